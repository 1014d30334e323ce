// Order matters: Winsock and its IP definitions before windows.h, and all of them before the
// IP Helper headers, which declare the interface-row calls only when they have been seen.
#include <winsock2.h>
// clang-format off
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "processes/AdapterCounters.h"

namespace halvern {
namespace {

constexpr ULONG kFirstBufferBytes = 15360;

// Room for the adapter list, kept in 64-bit units so that the records the system writes into it
// are suitably aligned; new room starts out zeroed.
class AdapterBuffer {
  public:
    explicit AdapterBuffer(ULONG bytes) { resize(bytes); }
    void resize(ULONG bytes) {
        units_.resize((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    }
    IP_ADAPTER_ADDRESSES* first() { return reinterpret_cast<IP_ADAPTER_ADDRESSES*>(units_.data()); }

  private:
    std::vector<std::uint64_t> units_;
};

TrafficStats queryAdapter(const std::string& adapterName) {
    AdapterBuffer buffer(kFirstBufferBytes);
    ULONG size = kFirstBufferBytes;
    ULONG result = GetAdaptersAddresses(AF_INET, 0, nullptr, buffer.first(), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        // Adapters may come and go between the two calls; one more attempt with the size the
        // system asked for is all that is made.
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_INET, 0, nullptr, buffer.first(), &size);
    }
    if (result != NO_ERROR) {
        return {};
    }
    // The adapter's name is ASCII: each byte becomes one UTF-16 unit of the same value.
    std::wstring wideName;
    wideName.reserve(adapterName.size());
    for (const char byte : adapterName) {
        wideName.push_back(static_cast<wchar_t>(static_cast<unsigned char>(byte)));
    }
    for (const IP_ADAPTER_ADDRESSES* adapter = buffer.first(); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->FriendlyName == nullptr ||
            std::wstring_view(adapter->FriendlyName) != wideName) {
            continue;
        }
        MIB_IF_ROW2 row{};
        row.InterfaceLuid = adapter->Luid;
        if (GetIfEntry2(&row) != NO_ERROR) {
            return {};
        }
        return TrafficStats{row.OutOctets, row.InOctets};
    }
    return {};
}

}  // namespace

TrafficStats adapterTrafficStats(const std::string& adapterName) noexcept {
    try {
        return queryAdapter(adapterName);
    } catch (...) {  // no memory for the adapter list: report nothing, as for any failure
        return {};
    }
}

}  // namespace halvern
