#include <gtest/gtest.h>

#include <string>

#include "processes/ProxyCoreProcess.h"

namespace halvern {
namespace {

std::string addressOf(const std::string& config) {
    ProxyCoreProcess core("xray");
    core.extractServerAddress(config);
    return core.serverAddress();
}

TEST(FindAddressAfter, ReadsTheNextQuotedValueAfterTheKey) {
    const std::string text = R"({"a":{"address" :  "first"},"k":{"address": "second"}})";
    EXPECT_EQ(findAddressAfter(text, "\"a\"", 0), "first");
    EXPECT_EQ(findAddressAfter(text, "\"k\"", 0), "second");
    // The key is searched from `from` on.
    EXPECT_EQ(findAddressAfter(R"({"a":{"address":"1"},"a":{"address":"2"}})", "\"a\"", 1), "1");
    EXPECT_EQ(findAddressAfter(R"({"a":{"address":"1"},"a":{"address":"2"}})", "\"a\"", 2), "2");
    EXPECT_EQ(findAddressAfter(text, "\"a\"", std::string::npos), "");
    EXPECT_EQ(findAddressAfter(text, "\"missing\"", 0), "");
    EXPECT_EQ(findAddressAfter(R"("k" "address": "open)", "\"k\"", 0), "");
    EXPECT_EQ(findAddressAfter(R"("k" "address" "no colon")", "\"k\"", 0), "");
    EXPECT_EQ(findAddressAfter(R"("k" "address": 5, "next": "x")", "\"k\"", 0), "next");
    EXPECT_EQ(findAddressAfter(R"("k" "address": "")", "\"k\"", 0), "");
}

TEST(ServerAddress, TakesTheFirstVnextAddressAsItIs) {
    EXPECT_EQ(addressOf(R"({"outbounds":[{"protocol":"vless","settings":{"vnext":[
        {"address":"203.0.113.7","port":443}]}}]})"),
              "203.0.113.7");
    // Line breaks and spaces around the colon do not matter.
    EXPECT_EQ(addressOf("{\"outbounds\":[{\"vnext\":[{\"address\"\r\n :\n\t\"198.51.100.2\"}]}]}"),
              "198.51.100.2");
}

TEST(ServerAddress, PrefersVnextWhereverTheTwoForms) {
    const std::string serversFirst = R"({"outbounds":[
        {"protocol":"shadowsocks","settings":{"servers":[{"address":"192.0.2.1"}]}},
        {"protocol":"vmess","settings":{"vnext":[{"address":"192.0.2.2"}]}}]})";
    EXPECT_EQ(addressOf(serversFirst), "192.0.2.2");
    // A direct outbound first: the later vnext is found.
    EXPECT_EQ(addressOf(R"({"outbounds":[{"protocol":"freedom"},{"settings":{"vnext":[
        {"address":"192.0.2.3"},{"address":"192.0.2.4"}]}}]})"),
              "192.0.2.3");
    EXPECT_EQ(addressOf(R"({"outbounds":[{"settings":{"servers":[{"address":"192.0.2.5"}]}}]})"),
              "192.0.2.5");
    // A "vnext" with no "address" after it anywhere falls back to "servers".
    EXPECT_EQ(addressOf(R"({"outbounds":[{"servers":[{"address":"192.0.2.6"}]},{"vnext":[]}]})"),
              "192.0.2.6");
}

TEST(ServerAddress, NeedsOutbounds) {
    EXPECT_EQ(addressOf(R"({"vnext":[{"address":"192.0.2.9"}]})"), "");
    EXPECT_EQ(addressOf(""), "");
    EXPECT_EQ(addressOf("\"outbounds"), "");
    EXPECT_EQ(addressOf(R"({"outbounds":[{"protocol":"freedom"}]})"), "");
}

TEST(ServerAddress, ANameIsResolvedToItsFirstIpv4Address) {
    EXPECT_EQ(addressOf(R"({"outbounds":[{"vnext":[{"address":"localhost"}]}]})"), "127.0.0.1");
    // ".invalid" never resolves; neither does an IPv6 literal with an IPv4-only look-up.
    EXPECT_EQ(addressOf(R"({"outbounds":[{"vnext":[{"address":"no-such-host.invalid"}]}]})"), "");
    EXPECT_EQ(addressOf(R"({"outbounds":[{"vnext":[{"address":"::1"}]}]})"), "");
}

TEST(ServerAddress, ANewConfigWithoutServerKeepsTheOldAddress) {
    ProxyCoreProcess core("xray");
    core.extractServerAddress(R"({"outbounds":[{"vnext":[{"address":"192.0.2.10"}]}]})");
    core.extractServerAddress(R"({"outbounds":[]})");
    EXPECT_EQ(core.serverAddress(), "192.0.2.10");
    core.extractServerAddress(R"({"outbounds":[{"vnext":[{"address":"no-such-host.invalid"}]}]})");
    EXPECT_EQ(core.serverAddress(), "");
}

}  // namespace
}  // namespace halvern
