#include "tunnel/TunnelController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvern {
namespace {

TEST(TunnelControllerState, IdleControllerAndWrongProtocols) {
    std::vector<std::string> words;
    TunnelController tunnel([&words](const std::string& word) { words.push_back(word); });
    EXPECT_EQ(tunnel.status(), "disconnected");
    tunnel.disconnect();  // idle: announces nothing
    EXPECT_EQ(tunnel.trafficStats().txBytes + tunnel.trafficStats().rxBytes, 0U);
    EXPECT_TRUE(words.empty());

    // The protocol word is compared byte for byte; nothing starts for any other.
    for (const std::string protocol : {"vless", "Xray", "xray "}) {
        tunnel.connect("{}", protocol, {});
        EXPECT_EQ(tunnel.status(), "error");
        EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
        EXPECT_EQ(tunnel.activeProtocol(), "");
    }
    EXPECT_EQ(words, (std::vector<std::string>{"connecting", "error", "connecting", "error",
                                               "connecting", "error"}));
    // An idle disconnect resets the word silently and keeps the failure text.
    tunnel.disconnect();
    EXPECT_EQ(tunnel.status(), "disconnected");
    EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
    EXPECT_EQ(words.size(), 6U);

    TunnelController silent{StatusCallback{}};  // an empty callback is allowed
    silent.connect("{}", "other", {});
    EXPECT_EQ(silent.status(), "error");
}

}  // namespace
}  // namespace halvern
