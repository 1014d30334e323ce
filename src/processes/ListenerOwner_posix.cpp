#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <sstream>
#include <string_view>

#include "common/AddressText.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"
#include "processes/ListenerOwner.h"

namespace halvern {
namespace {

constexpr std::size_t kMaxTableBytes = 64U << 20U;
constexpr const char* kListenState = "0A";

// Addresses as the kernel's tables print them (32-bit words in host order) that a connection to
// 127.0.0.1 reaches: 127.0.0.1 and 0.0.0.0, and in tcp6 :: and their IPv4-mapped forms.
bool reachableFromLoopback(const std::string& address) {
    static constexpr std::string_view kReachable[] = {
        "0100007F", "00000000", "00000000000000000000000000000000",
        "0000000000000000FFFF00000100007F", "0000000000000000FFFF000000000000"};
    return std::ranges::find(kReachable, address) != std::end(kReachable);
}

// 0 or the errno of the failed open or read, taken before the descriptor is closed.
int readTable(const char* path, std::string& text) {
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid() || !readWholeFile(file.get(), kMaxTableBytes, text)) {
        const int error = errno;
        return error != 0 ? error : EIO;
    }
    return 0;
}

}  // namespace

// /proc/net/tcp and tcp6 of the service's network namespace, where the core listens too. A
// kernel without IPv6 has no tcp6.
std::optional<std::vector<std::uint32_t>> loopbackListenerOwners(int port) {
    std::vector<std::uint32_t> owners;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::string text;
        if (const int error = readTable(path, text); error != 0) {
            if (error == ENOENT && std::string_view(path).ends_with('6')) {
                continue;
            }
            return std::nullopt;
        }
        std::istringstream lines(text);
        std::string line;
        std::getline(lines, line);  // the column titles
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            std::string slot, local, remote, state, queues, timer, retransmits;
            std::uint32_t uid = 0;
            if (!(words >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
                  uid)) {
                continue;
            }
            const std::size_t colon = local.find(':');
            if (state == kListenState && colon != std::string::npos &&
                wholeNumber(std::string_view(local).substr(colon + 1), 0xFFFF, 16) ==
                    static_cast<std::uint64_t>(port) &&
                reachableFromLoopback(local.substr(0, colon))) {
                owners.push_back(uid);
            }
        }
    }
    return owners;
}

// The effective uid of /proc/PID/status; the directory's own owner is root for a child that
// changed its user, as the core does.
std::optional<std::uint32_t> childListenerOwner(const JournalledChild& child) {
    const std::uint32_t pid = child.process.id();
    std::string text;
    if (pid == 0 || readTable(("/proc/" + std::to_string(pid) + "/status").c_str(), text) != 0) {
        return std::nullopt;
    }
    const std::size_t at = text.find("\nUid:");
    std::istringstream words(at == std::string::npos ? std::string{} : text.substr(at + 5));
    std::uint32_t real = 0;
    std::uint32_t effective = 0;
    if (!(words >> real >> effective)) {
        return std::nullopt;
    }
    return effective;
}

const char* listenerOwnerKind() noexcept {
    return "uid";
}

}  // namespace halvern
