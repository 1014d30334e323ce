// The Windows adapter counters against interfaces that this test's script made (run by
// adapter_counters_namespace.sh inside a network namespace of its own, where Wine's server was
// started, so the adapter list is the namespace's): many adapters, so that the first adapter
// list does not fit, the target adapter last among them, and a longer namesake beside it. Run
// directly, outside that setting, it skips.
#include <winsock2.h>
// clang-format off
#include <ws2ipdef.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "processes/AdapterCounters.h"

namespace halvern {
namespace {

std::string variable(const char* name) {
    char buffer[256] = {};
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string{};
}

TEST(AdapterCountersNamespace, TheNamedAdapterIsFoundThroughTheSecondEnumeration) {
    const std::string target = variable("HALVERN_COUNTERS_ADAPTER");
    if (target.empty()) {
        GTEST_SKIP() << "run through tests/integration/adapter_counters_namespace.sh";
    }
    // The premise: the first, 15360-byte list is too small here.
    std::vector<unsigned long long> buffer(15360 / sizeof(unsigned long long));
    ULONG size = 15360;
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));

    const TrafficStats before = adapterTrafficStats(target);
    const TrafficStats sibling = adapterTrafficStats(target + "0");
    // The wrapper keeps sending datagrams out of the target meanwhile.
    Sleep(3000);
    const TrafficStats after = adapterTrafficStats(target);
    EXPECT_GE(after.txBytes - before.txBytes, 30000U)
        << "the target's counters did not follow its traffic: tx " << before.txBytes << " -> "
        << after.txBytes << ", rx " << before.rxBytes << " -> " << after.rxBytes;
    // Its longer namesake carried none of it.
    EXPECT_LT(adapterTrafficStats(target + "0").txBytes - sibling.txBytes, 30000U);
    const TrafficStats prefix = adapterTrafficStats(target.substr(0, target.size() - 1));
    EXPECT_EQ(prefix.txBytes + prefix.rxBytes, 0U) << "a prefix of a name names no adapter";
}

}  // namespace
}  // namespace halvern
