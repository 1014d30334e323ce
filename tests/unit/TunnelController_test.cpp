#include "tunnel/TunnelController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvern {
namespace {

struct Recorder {
    std::vector<std::string> words;
    StatusCallback callback() {
        return [this](const std::string& word) { words.push_back(word); };
    }
};

TEST(TunnelControllerState, FreshControllerIsQuiet) {
    Recorder recorder;
    {
        TunnelController tunnel(recorder.callback());
        EXPECT_EQ(tunnel.status(), "disconnected");
        EXPECT_EQ(tunnel.activeProtocol(), "");
        EXPECT_EQ(tunnel.lastError(), "");
        tunnel.disconnect();
        tunnel.disconnect();
        EXPECT_EQ(tunnel.status(), "disconnected");
        const TrafficStats stats = tunnel.trafficStats();
        EXPECT_EQ(stats.txBytes, 0U);
        EXPECT_EQ(stats.rxBytes, 0U);
    }
    EXPECT_TRUE(recorder.words.empty());
}

TEST(TunnelControllerState, WrongProtocolFailsBeforeAnythingStarts) {
    Recorder recorder;
    TunnelController tunnel(recorder.callback());
    tunnel.connect("{}", "vless", {});
    EXPECT_EQ(tunnel.status(), "error");
    EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
    EXPECT_EQ(tunnel.activeProtocol(), "");
    EXPECT_EQ(recorder.words, (std::vector<std::string>{"connecting", "error"}));

    // An idle disconnect resets the word silently and keeps the failure text.
    tunnel.disconnect();
    EXPECT_EQ(tunnel.status(), "disconnected");
    EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
    EXPECT_EQ(recorder.words.size(), 2U);

    // The protocol word is compared byte for byte.
    tunnel.connect("{}", "Xray", {});
    EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
    tunnel.connect("{}", "xray ", {});
    EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
}

TEST(TunnelControllerState, NewAttemptClearsTheLastErrorFirst) {
    std::vector<std::string> seenErrors;
    TunnelController* self = nullptr;
    std::string errorWhenConnecting = "<none>";
    TunnelController tunnel([&](const std::string& word) {
        seenErrors.push_back(word);
        (void)self;
    });
    tunnel.connect("{}", "bad", {});
    ASSERT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
    tunnel.connect("{}", "worse", {});
    EXPECT_EQ(tunnel.lastError(), "Windows v1 supports Xray-family configs only");
    EXPECT_EQ(seenErrors, (std::vector<std::string>{"connecting", "error", "connecting", "error"}));
}

TEST(TunnelControllerState, EmptyCallbackIsAllowed) {
    TunnelController tunnel{StatusCallback{}};
    tunnel.connect("{}", "other", {});
    EXPECT_EQ(tunnel.status(), "error");
    tunnel.disconnect();
    EXPECT_EQ(tunnel.status(), "disconnected");
}

TEST(TunnelControllerState, ReadLogDeltaOfUnknownSourceEchoesTheOffset) {
    TunnelController tunnel{StatusCallback{}};
    for (const std::string source : {"", "xray", "Windows_xray", "windows_xray "}) {
        const LogDelta delta = tunnel.readLogDelta(source, 42, 100);
        EXPECT_EQ(delta.content, "");
        EXPECT_EQ(delta.nextOffset, 42);
        EXPECT_EQ(delta.fileSize, 0);
    }
}

}  // namespace
}  // namespace halvern
