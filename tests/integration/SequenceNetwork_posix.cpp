#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/UniqueFd.h"
#include "integration/ResolverSandbox.h"
#include "integration/SequenceNetwork.h"

namespace halvern::testing {

static bool sh(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;  // NOLINT(cert-env33-c)
}

std::string commandOutput(const std::string& command) {
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string output;
    for (int c = 0; pipe && (c = std::fgetc(pipe.get())) != EOF;) {
        output += static_cast<char>(c);
    }
    return output;
}

SequenceNetwork::SequenceNetwork(const std::string& adapterName) : adapterName_(adapterName) {
    namespace_ = "hvseq" + std::to_string(::getpid());
    originalNamespace_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (::geteuid() != 0 || originalNamespace_ < 0 || !sh("ip netns add " + namespace_)) {
        unavailable_ = "cannot create network namespace " + namespace_ + " (needs root, as in CI)";
        namespace_.clear();
        return;
    }
    // IPv6 addresses by hand, without duplicate detection: nothing arrives late to spoil a diff.
    const UniqueFd target(::open(("/run/netns/" + namespace_).c_str(), O_RDONLY | O_CLOEXEC));
    const bool built =
        target.valid() && ::setns(target.get(), CLONE_NEWNET) == 0 &&
        sh("{ set -e; echo 1 >/proc/sys/net/ipv6/conf/default/addr_gen_mode; ip link set lo up; "
           "ip link add uplink type veth peer name uplinkpeer; ip link set uplink addrgenmode "
           "none; ip link set uplinkpeer addrgenmode none; ip link set uplinkpeer up; "
           "ip address add 192.0.2.2/24 dev uplink; ip address add 2001:db8:1::2/64 dev uplink "
           "nodad; ip address add fe80::2/64 dev uplink nodad; ip link set uplink up; "
           "ip route add default via 192.0.2.1 dev uplink; "
           "ip -6 route add default via 2001:db8:1::fe dev uplink; ip tuntap add dev " +
           adapterName_ + " mode tun; }");
    if (!built) {
        unavailable_ = "cannot enter or build network namespace " + namespace_;
        return;
    }
    auto sandbox = std::make_shared<ResolverSandbox>();
    resolverSandbox_ = sandbox;
    if (!sandbox->unavailable().empty()) {
        unavailable_ = sandbox->unavailable();
        return;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): tests set their environment on one thread
    ::setenv("PATH", pathWithout(sandbox->savedPath(), "resolvconf").c_str(), 1);
}

SequenceNetwork::~SequenceNetwork() {
    resolverSandbox_.reset();  // back to the host's mounts, where "ip netns" keeps its names
    if (originalNamespace_ >= 0) {
        ::setns(originalNamespace_, CLONE_NEWNET);
        ::close(originalNamespace_);
    }
    if (!namespace_.empty()) {
        sh("ip netns delete " + namespace_);
    }
}

void SequenceNetwork::bridgeEnded() {
    sh("ip link delete " + adapterName_);
}

bool SequenceNetwork::change(const std::string& command) const {
    return sh(command);
}

std::string SequenceNetwork::commandRecord() const {
    return {};
}

std::string SequenceNetwork::routingTable() const {
    return commandOutput("ip -4 route show table all; ip -6 route show table all");
}

std::string SequenceNetwork::resolverConfiguration() const {
    return commandOutput("cat /etc/resolv.conf; stat -c %a /etc/resolv.conf");
}

}  // namespace halvern::testing
