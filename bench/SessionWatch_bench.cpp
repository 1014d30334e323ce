// The session watcher on Linux, in a network namespace of the benchmark's own (root): the time
// from a change of the default route to the proxy server's host route re-pointed at the new
// gateway (target: under 1 s), and the watcher's CPU time while nothing changes (target: none
// measurable), per minute.
//
// The uplink and the tunnel adapter (named like ours) are veth links: the real route
// discovery, command builder, `ip` runs and rtnetlink events, without children or DNS.
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/MonotonicClock.h"
#include "network/NetworkConfigurator.h"
#include "network/NetworkSystem.h"
#include "tunnel/SessionWatcher.h"

namespace {

using halvern::CommandLine;

constexpr int kMoves = 20;
constexpr int kIdleSeconds = 10;
constexpr const char* kAdapter = "Halvern_bench";
constexpr const char* kServer = "198.51.100.9";

// The host's system, but DNS left alone: the benchmark must not touch the machine's resolver.
class BenchSystem final : public halvern::NetworkSystem {
  public:
    bool readIpv4ForwardTable(std::vector<halvern::ForwardRow>& rows) override {
        return host().readIpv4ForwardTable(rows);
    }
    halvern::AdapterNameMap listAdapterNames(int family) override {
        return host().listAdapterNames(family);
    }
    halvern::AdapterNameMap listUpAdapterNames(int family) override {
        return host().listUpAdapterNames(family);
    }
    const halvern::NetworkCommandBuilder& commands() override { return host().commands(); }
    halvern::CommandOutcome runCommand(const CommandLine& commandLine,
                                       halvern::FailurePolicy policy) override {
        if (commandLine.front() == "resolvectl") {
            return halvern::CommandOutcome::succeeded;
        }
        return host().runCommand(commandLine, policy);
    }

  private:
    static halvern::NetworkSystem& host() { return halvern::hostNetworkSystem(); }
};

bool ip(const std::string& arguments) {
    return std::system(("ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;  // NOLINT
}

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
        std::cerr << "session_watch_bench: needs root for a network namespace\n";
        return 2;
    }
    const bool built = ip("link set lo up") && ip("link add up0 type veth peer name up0peer") &&
                       ip("link set up0peer up") && ip("address add 192.0.2.2/24 dev up0") &&
                       ip("link set up0 up") &&
                       ip("link add " + std::string(kAdapter) + " type veth peer name tunpeer") &&
                       ip("link set tunpeer up") && ip("route add default via 192.0.2.1 dev up0");
    if (!built) {
        std::cerr << "session_watch_bench: cannot build the namespace\n";
        return 2;
    }
    BenchSystem system;
    halvern::NetworkConfigurator network(system);
    network.apply(kAdapter, kServer, "10.255.0.1", {},
                  halvern::NetworkConfigurator::AdapterAddress::set);

    std::atomic<std::int64_t> followedAt{0};
    halvern::SessionWatcher watcher(nullptr, [&](bool networkMayHaveChanged) {
        if (networkMayHaveChanged && network.followDefaultRoute()) {
            followedAt = halvern::MonotonicClock::now().time_since_epoch().count();
        }
        return true;
    });

    // Each move replaces the default route's gateway; the clock starts once `ip` has returned,
    // so the time of starting a program is not counted.
    std::vector<double> delaysMs;
    for (int move = 0; move < kMoves; ++move) {
        const std::string gateway = move % 2 == 0 ? "192.0.2.9" : "192.0.2.1";
        followedAt = 0;
        ip("route replace default via " + gateway + " dev up0");
        const auto changed = halvern::MonotonicClock::now();
        while (followedAt == 0 && halvern::elapsedMilliseconds(changed) < 5000) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const halvern::MonotonicClock::time_point at{
            halvern::MonotonicClock::duration{followedAt.load()}};
        delaysMs.push_back(followedAt == 0
                               ? 5000.0
                               : std::chrono::duration<double, std::milli>(at - changed).count());
    }
    std::sort(delaysMs.begin(), delaysMs.end());

    const double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double idlePerMinute = (cpuSeconds() - before) * 60.0 / kIdleSeconds;

    watcher.stop();
    network.restore();
    std::printf(
        "route change to re-pointed host route, %d moves: median %.1f ms, max %.1f ms "
        "(target < 1000 ms)\n",
        kMoves, delaysMs[delaysMs.size() / 2], delaysMs.back());
    std::printf("watcher idle, while nothing changes: %.1f ms CPU per minute\n",
                idlePerMinute * 1000.0);
    return delaysMs.back() < 1000.0 ? 0 : 1;
}
