#include <winsock2.h>
#include <ws2tcpip.h>
// After the two above, which it needs.
#include <iphlpapi.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "processes/ListenerOwner.h"

namespace halvern {
namespace {

// One of the two tables of listeners with their owners' process ids, read whole; the size
// may grow between the two calls, hence the loop.
template <typename Table>
bool readListeners(ULONG family, std::vector<unsigned char>& buffer) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size,
                                                 FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (result == NO_ERROR) {
            return buffer.size() >= sizeof(Table);
        }
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        buffer.resize(size + sizeof(Table));
    }
    return false;
}

void addOwner(std::vector<std::uint32_t>& owners, DWORD pid) {
    if (pid != 0) {
        owners.push_back(pid);
    }
}

}  // namespace

std::optional<std::vector<std::uint32_t>> loopbackListenerOwners(int port) {
    const auto networkPort = static_cast<DWORD>(htons(static_cast<u_short>(port)));
    std::vector<std::uint32_t> owners;
    std::vector<unsigned char> buffer;
    if (!readListeners<MIB_TCPTABLE_OWNER_PID>(AF_INET, buffer)) {
        return std::nullopt;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        if ((row.dwLocalPort & 0xFFFFU) == networkPort &&
            (row.dwLocalAddr == htonl(INADDR_LOOPBACK) || row.dwLocalAddr == htonl(INADDR_ANY))) {
            addOwner(owners, row.dwOwningPid);
        }
    }
    // A dual-stack socket on :: takes IPv4 connections as well. A system without IPv6 has no
    // such table.
    buffer.clear();
    if (readListeners<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, buffer)) {
        const auto* table6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data());
        static constexpr unsigned char kAny[16] = {};
        for (DWORD i = 0; i < table6->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = table6->table[i];
            if ((row.dwLocalPort & 0xFFFFU) == networkPort &&
                std::equal(std::begin(kAny), std::end(kAny), std::begin(row.ucLocalAddr))) {
                addOwner(owners, row.dwOwningPid);
            }
        }
    }
    return owners;
}

std::optional<std::uint32_t> childListenerOwner(const JournalledChild& child) {
    const std::uint32_t pid = child.process.id();
    return pid != 0 ? std::optional<std::uint32_t>(pid) : std::nullopt;
}

const char* listenerOwnerKind() noexcept {
    return "process";
}

}  // namespace halvern
