#include "control/JsonLiteralScan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "control/JsonText.h"

namespace halvern::json_detail {
namespace {

// The block-at-a-time scanner must agree with the byte-by-byte rules on every input, in
// particular where escapes, \u swallows and backslash runs straddle its 64-byte blocks.
TEST(JsonLiteralScan, AgreesWithBytewiseRulesOnRandomLiterals) {
    std::mt19937 random(20261205);
    const std::string alphabet = "\"\\\\\\\\unqt/ab";
    for (int round = 0; round < 40000; ++round) {
        const std::size_t length = random() % 300;
        std::string text = "\"";
        for (std::size_t i = 0; i < length; ++i) {
            // Mostly plain bytes, with bursts of backslashes and quotes.
            const auto pick = random() % 10;
            text += pick < 5 ? 'x' : alphabet[random() % alphabet.size()];
        }
        bool fastEscape = false;
        bool slowEscape = false;
        const std::size_t fast = scanStringLiteral(text, 0, fastEscape);
        const std::size_t slow = scanStringLiteralBytewise(text, 0, slowEscape);
        ASSERT_EQ(fast, slow) << text;
        if (slow != std::string::npos) {
            ASSERT_EQ(fastEscape, slowEscape) << text;
        }
    }
}

TEST(JsonLiteralScan, LongRunsOfBackslashesAcrossBlocks) {
    for (std::size_t run = 0; run < 200; ++run) {
        for (std::size_t prefix = 0; prefix < 70; prefix += 7) {
            const std::string text = "\"" + std::string(prefix, 'a') + std::string(run, '\\') +
                                     "\"" + std::string(80, 'b') + "\"";
            bool a = false;
            bool b = false;
            ASSERT_EQ(scanStringLiteral(text, 0, a), scanStringLiteralBytewise(text, 0, b))
                << run << " " << prefix;
        }
    }
}

TEST(JsonLiteralScan, DecodedValueMatchesForLargeEscapedDocuments) {
    std::string inner;
    for (int i = 0; i < 5000; ++i) {
        inner += "{\"tag\":\"out" + std::to_string(i) + "\",\"path\":\"a\\\\b\\n\"},";
    }
    std::string decoded;
    ASSERT_TRUE(getJsonString("{\"configJson\":" + quoteJson(inner) + "}", "configJson", decoded));
    EXPECT_EQ(decoded, inner);
}

}  // namespace
}  // namespace halvern::json_detail
