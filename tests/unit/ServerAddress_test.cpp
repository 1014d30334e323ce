#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "processes/ServerAddress.h"

namespace halvern {
namespace {

// Nothing where no server is named: the record then keeps the address it had.
TEST(ServerAddress, TakesTheFirstVnextAddressElseServersAfterOutbounds) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"{\"outbounds\":[{\"vnext\":[{\"address\"\r\n :\n\t\"198.51.100.2\"}]}]}", "198.51.100.2"},
        {R"({"outbounds":[{"servers":[{"address":"192.0.2.1"}]},{"vnext":[{"address":"192.0.2.2"}]}]})",
         "192.0.2.2"},
        {R"({"outbounds":[{"freedom":1},{"vnext":[{"address":"192.0.2.3"},{"address":"x"}]}]})",
         "192.0.2.3"},
        {R"({"outbounds":[{"servers":[{"address":"192.0.2.6"}]},{"vnext":[]}]})", "192.0.2.6"},
        {R"({"outbounds":[{"vnext":[{"address":"open)", std::nullopt},
        {R"({"outbounds":[{"vnext":[{"address" "no colon"}]}]})", std::nullopt},
        {R"({"vnext":[{"address":"192.0.2.9"}]})", std::nullopt},
        {R"({"outbounds":[{"protocol":"freedom"}]})", std::nullopt},
        // A name resolves to its first IPv4 address (from the hosts file: no query leaves).
        {R"({"outbounds":[{"vnext":[{"address":"localhost"}]}]})", "127.0.0.1"},
        // A host without an IPv4 form is named, but gives no address.
        {R"({"outbounds":[{"vnext":[{"address":"::1"}]}]})", ""},
        // Every byte counts, a NUL too: the journal and the replay read the whole text.
        {std::string(R"({"outbounds":[{"vnext":[{"address":"192.0.2.7)") + '\0' + "x\"}]}]}", ""},
        {std::string(R"({"outbounds":[{"vnext":[{"address":"localhost)") + '\0' + "\"}]}]}", ""},
    };
    for (const auto& [config, expected] : cases) {
        EXPECT_EQ(extractServerAddress(config), expected) << config;
    }
}

}  // namespace
}  // namespace halvern
