#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "processes/ProxyCoreProcess.h"

namespace halvern {
namespace {

TEST(ServerAddress, TakesTheFirstVnextAddressElseServersAfterOutbounds) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"outbounds":[{"settings":{"vnext":[{"address":"203.0.113.7","port":443}]}}]})",
         "203.0.113.7"},
        {"{\"outbounds\":[{\"vnext\":[{\"address\"\r\n :\n\t\"198.51.100.2\"}]}]}", "198.51.100.2"},
        {R"({"outbounds":[{"servers":[{"address":"192.0.2.1"}]},{"vnext":[{"address":"192.0.2.2"}]}]})",
         "192.0.2.2"},
        {R"({"outbounds":[{"freedom":1},{"vnext":[{"address":"192.0.2.3"},{"address":"x"}]}]})",
         "192.0.2.3"},
        {R"({"outbounds":[{"servers":[{"address":"192.0.2.6"}]},{"vnext":[]}]})", "192.0.2.6"},
        {R"({"outbounds":[{"vnext":[{"address":"open)", ""},
        {R"({"outbounds":[{"vnext":[{"address" "no colon"}]}]})", ""},
        {R"({"vnext":[{"address":"192.0.2.9"}]})", ""},
        {R"({"outbounds":[{"protocol":"freedom"}]})", ""},
        // A name resolves to its first IPv4 address (from the hosts file: no query leaves).
        {R"({"outbounds":[{"vnext":[{"address":"localhost"}]}]})", "127.0.0.1"},
    };
    for (const auto& [config, expected] : cases) {
        ProxyCoreProcess core("xray");
        core.extractServerAddress(config);
        EXPECT_EQ(core.serverAddress(), expected) << config;
    }
}

TEST(ServerAddress, ANewConfigWithoutServerKeepsTheOldAddress) {
    ProxyCoreProcess core("xray");
    core.extractServerAddress(R"({"outbounds":[{"vnext":[{"address":"192.0.2.10"}]}]})");
    core.extractServerAddress(R"({"outbounds":[]})");
    EXPECT_EQ(core.serverAddress(), "192.0.2.10");
    core.extractServerAddress(R"({"outbounds":[{"vnext":[{"address":"::1"}]}]})");
    EXPECT_EQ(core.serverAddress(), "");  // an address without an IPv4 form clears it
}

}  // namespace
}  // namespace halvern
