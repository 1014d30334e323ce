// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>

#include "network/RouteDiscovery.h"

namespace halvern {

static_assert(AF_INET == kIpv4Family);

namespace {

constexpr ULONG kInitialAdapterBufferSize = 15360;

std::string utf8Name(const wchar_t* name) {
    if (name == nullptr) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name, -1, text.data(), length, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(length) - 1);
    return text;
}

AdapterNameMap adapterNames(int family, bool upOnly) {
    AdapterNameMap names;
    ULONG size = kInitialAdapterBufferSize;
    std::vector<unsigned char> buffer(size, 0);
    ULONG result =
        GetAdaptersAddresses(static_cast<ULONG>(family), 0, nullptr,
                             reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        // One retry with the size the system asked for; a list that grew again in between
        // gives up rather than chasing it.
        buffer.assign(size, 0);
        result =
            GetAdaptersAddresses(static_cast<ULONG>(family), 0, nullptr,
                                 reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        return names;
    }
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (upOnly && adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        names.emplace(static_cast<std::uint32_t>(adapter->IfIndex),
                      utf8Name(adapter->FriendlyName));
    }
    return names;
}

}  // namespace

AdapterNameMap listAdapterNames(int family) {
    return adapterNames(family, false);
}

AdapterNameMap listUpAdapterNames(int family) {
    return adapterNames(family, true);
}

bool readIpv4ForwardTable(std::vector<ForwardRow>& rows) {
    ULONG size = 0;
    GetIpForwardTable(nullptr, &size, FALSE);
    if (size == 0) {
        return false;
    }
    std::vector<unsigned char> buffer(size, 0);
    auto* table = reinterpret_cast<PMIB_IPFORWARDTABLE>(buffer.data());
    if (GetIpForwardTable(table, &size, FALSE) != NO_ERROR) {
        return false;
    }
    const MIB_IPFORWARDROW* entries = table->table;
    rows.clear();
    rows.reserve(table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& entry = entries[i];
        rows.push_back({entry.dwForwardDest, entry.dwForwardMask, entry.dwForwardNextHop,
                        entry.dwForwardIfIndex, entry.dwForwardMetric1});
    }
    return true;
}

}  // namespace halvern
