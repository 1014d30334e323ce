#include "control/JsonLiteralScan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "control/JsonLiteralKernels.h"

namespace halvern::json_detail {
namespace {

// Every set of block kernels this processor can run: the baseline always, AVX-512 when present.
std::vector<LiteralKernels> kernelSets() {
    std::vector<LiteralKernels> sets{baselineLiteralKernels()};
    if (literalKernels().scanBlocks != sets.front().scanBlocks) {
        sets.push_back(literalKernels());
    }
    return sets;
}

// The block-at-a-time scanner must agree with the byte-by-byte rules on every input, in
// particular where escapes, \u swallows and backslash runs straddle its 64-byte blocks.
TEST(JsonLiteralScan, AgreesWithBytewiseRulesOnRandomLiterals) {
    std::mt19937 random(20261205);
    const std::string alphabet = "\"\\\\\\\\unqt/ab";
    for (int round = 0; round < 40000; ++round) {
        const std::size_t length = random() % 300;
        std::string text = "\"";
        for (std::size_t i = 0; i < length; ++i) {
            // Mostly plain bytes, with bursts of backslashes and quotes, and now and then a
            // run of backslashes longer than a block.
            const auto pick = random() % 100;
            if (pick == 0) {
                text += std::string(random() % 200, '\\');
            } else {
                text += pick < 50 ? 'x' : alphabet[random() % alphabet.size()];
            }
        }
        bool slowEscape = false;
        const std::size_t slow = scanStringLiteralBytewise(text, 0, slowEscape);
        for (const LiteralKernels& kernels : kernelSets()) {
            bool fastEscape = false;
            const std::size_t fast = scanStringLiteralWith(kernels, text, 0, fastEscape);
            ASSERT_EQ(fast, slow) << text;
            if (slow != std::string::npos) {
                ASSERT_EQ(fastEscape, slowEscape) << text;
            }
        }
    }
}

// The block decoder against the byte-by-byte one, on valid bodies dense with every kind of
// escape, at every alignment.
TEST(JsonLiteralScan, BlockDecoderAgreesWithBytewiseDecoder) {
    std::mt19937 random(7);
    const char* const pieces[] = {
        "\\\"", "\\\\", "\\n", "\\/", "\\u12\"4", "x", "yy", "zzzzzzzzzzzzzzzzzzzz", "\\\\\\\""};
    for (int round = 0; round < 20000; ++round) {
        std::string text = "\"";
        const std::size_t count = random() % 120;
        for (std::size_t i = 0; i < count; ++i) {
            text += pieces[random() % std::size(pieces)];
        }
        text += "\"";
        bool hasEscape = false;
        const std::size_t end = scanStringLiteral(text, 0, hasEscape);
        ASSERT_EQ(end, text.size()) << text;
        const std::string_view body(text.data() + 1, text.size() - 2);
        std::string slow;
        decodeStringBodyBytewise(body, slow);
        for (const LiteralKernels& kernels : kernelSets()) {
            std::string fast;
            decodeStringBodyWith(kernels, body, fast);
            ASSERT_EQ(fast, slow) << text;
        }
    }
}

}  // namespace
}  // namespace halvern::json_detail
