#include "control/JsonText.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace halvern {
namespace {

std::string readString(const std::string& text, const std::string& key) {
    std::string out = "<unchanged>";
    getJsonString(text, key, out);
    return out;
}

TEST(JsonLookup, NothingToFindInTextsWithoutQuotes) {
    for (const std::string text : {"", "   ", "{command:status}", "12345"}) {
        EXPECT_EQ(findJsonValue(text, "command"), npos) << text;
        EXPECT_EQ(readString(text, "command"), "<unchanged>");
        std::int64_t n = 99;
        EXPECT_FALSE(getJsonInt64(text, "command", n));
        EXPECT_EQ(n, 99);
        std::vector<std::string> list{"keep"};
        EXPECT_FALSE(getJsonStringArray(text, "command", list));
        EXPECT_EQ(list, std::vector<std::string>{"keep"});
    }
}

TEST(JsonLookup, KeyWithoutColonIsSkippedAndLaterOneRead) {
    EXPECT_EQ(readString(R"({"command" "stop", "command": "status"})", "command"), "status");
}

TEST(JsonLookup, FirstOccurrenceAnywhereWinsIgnoringNesting) {
    EXPECT_EQ(readString(R"({"inner":{"command":"stop"},"command":"status"})", "command"), "stop");
    EXPECT_EQ(readString(R"({"list":[{"command":"a"}],"command":"b"})", "command"), "a");
}

TEST(JsonLookup, KeysInsideStringValuesAreNotTokens) {
    const std::string text =
        R"({"configJson":"{\"command\":\"stop\",\"x\":1}","command":"status"})";
    EXPECT_EQ(readString(text, "command"), "status");
    EXPECT_EQ(readString(text, "configJson"), R"({"command":"stop","x":1})");
}

TEST(JsonLookup, MalformedLiteralBeforeTheKeyHidesIt) {
    EXPECT_EQ(findJsonValue(R"({"a":"bad \q escape","command":"status"})", "command"), npos);
    EXPECT_EQ(findJsonValue(R"({"a":"unclosed, "b":1})", "b"), npos);
}

TEST(JsonLookup, MalformedTextAfterTheFieldDoesNotMatter) {
    EXPECT_EQ(readString(R"({"command":"status"} "broken \q)", "command"), "status");
}

TEST(JsonLookup, KeysAreComparedDecodedAndCaseSensitive) {
    EXPECT_EQ(readString(R"({"Command":"x","command":"y"})", "command"), "y");
    EXPECT_EQ(readString(R"({"a\/b":"slash"})", "a/b"), "slash");
    // \u never matches a protocol key: it decodes to '?'.
    EXPECT_EQ(readString(R"({"comm\u0061nd":"x"})", "command"), "<unchanged>");
    EXPECT_EQ(readString(R"({"comm\u0061nd":"x"})", "comm?nd"), "x");
}

TEST(JsonLookup, WhitespaceAroundTheColon) {
    const std::string text = "{\"command\" \t\r\n\v\f: \n \"status\"}";
    EXPECT_EQ(readString(text, "command"), "status");
    EXPECT_EQ(findJsonValue("{\"k\":   ", "k"), 8U);
    // Bytes from 0x80 up are never whitespace.
    EXPECT_EQ(findJsonValue("{\"k\"\xA0:1}", "k"), npos);
}

TEST(JsonString, EscapesDecode) {
    EXPECT_EQ(readString(R"({"v":"a\"b\\c\/d\be\ff\ng\rh\ti"})", "v"), "a\"b\\c/d\be\ff\ng\rh\ti");
    EXPECT_EQ(readString(R"({"v":"caf\u00e9"})", "v"), "caf?");
    EXPECT_EQ(readString(R"({"v":"\ud83d\ude00"})", "v"), "??");
    EXPECT_EQ(readString(R"({"v":""})", "v"), "");
    // Control bytes and high bytes inside a literal pass unchanged.
    EXPECT_EQ(readString("{\"v\":\"\x01\xC3\xA9\t\"}", "v"), "\x01\xC3\xA9\t");
}

TEST(JsonString, UnicodeEscapeSwallowsFourBytesEvenAClosingQuote) {
    // \u"abc swallows `"abc`; the literal ends at the next quote.
    EXPECT_EQ(readString(R"({"v":"x\u"abcy"})", "v"), "x?y");
    std::size_t p = 0;
    std::string out = "keep";
    EXPECT_FALSE(parseJsonString(R"("ab\u12)", p, out));
    EXPECT_FALSE(parseJsonString(R"("\u123)", p, out));
    EXPECT_EQ(out, "keep");
    EXPECT_EQ(p, 0U);
}

TEST(JsonString, ParseReportsPositionPastClosingQuote) {
    std::size_t p = 3;
    std::string out;
    ASSERT_TRUE(parseJsonString(R"(ab "x\ny" tail)", p, out));
    EXPECT_EQ(out, "x\ny");
    EXPECT_EQ(p, 9U);
}

TEST(JsonString, LiteralsThatDoNotClose) {
    for (const std::string bad : {"\"", "\"abc", "\"abc\\", "\"abc\\\"", "x\"a\""}) {
        std::size_t p = 0;
        std::string out = "keep";
        EXPECT_FALSE(parseJsonString(bad, p, out)) << bad;
        EXPECT_EQ(out, "keep");
    }
}

TEST(JsonString, NonStringValuesFail) {
    for (const std::string value : {"5", "{\"a\":1}", "[\"a\"]", "true", "false", "null"}) {
        EXPECT_EQ(readString("{\"v\":" + value + "}", "v"), "<unchanged>") << value;
    }
}

TEST(JsonInt64, AcceptedAndRefusedForms) {
    const auto read = [](const std::string& value) {
        std::int64_t n = 1234;
        const bool ok = getJsonInt64("{\"n\":" + value, "n", n);
        return std::make_pair(ok, n);
    };
    EXPECT_EQ(read("-12"), std::make_pair(true, std::int64_t{-12}));
    EXPECT_EQ(read("007"), std::make_pair(true, std::int64_t{7}));
    EXPECT_EQ(read("-0"), std::make_pair(true, std::int64_t{0}));
    EXPECT_EQ(read("12.75"), std::make_pair(true, std::int64_t{12}));
    EXPECT_EQ(read("3e5"), std::make_pair(true, std::int64_t{3}));
    EXPECT_EQ(read("42abc"), std::make_pair(true, std::int64_t{42}));
    EXPECT_EQ(read("9223372036854775807"), std::make_pair(true, INT64_MAX));
    EXPECT_EQ(read("-9223372036854775808"), std::make_pair(true, INT64_MIN));
    for (const std::string refused : {"\"12\"", "+12", "-", "true", "", " ", "-x"}) {
        EXPECT_EQ(read(refused), std::make_pair(false, std::int64_t{1234})) << refused;
    }
}

TEST(JsonInt64, OutOfRangeThrowsTheProtocolText) {
    for (const std::string value :
         {"99999999999999999999", "9223372036854775808", "-9223372036854775809"}) {
        std::int64_t n = 5;
        try {
            getJsonInt64("{\"n\":" + value + "}", "n", n);
            ADD_FAILURE() << "no exception for " << value;
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "stoll argument out of range");
        }
        EXPECT_EQ(n, 5);
    }
}

TEST(JsonStringArray, ShapesThatSucceed) {
    const auto read = [](const std::string& value) {
        std::vector<std::string> list{"old"};
        const bool ok = getJsonStringArray("{\"a\":" + value, "a", list);
        return std::make_pair(ok, list);
    };
    using List = std::vector<std::string>;
    EXPECT_EQ(read("[]"), std::make_pair(true, List{}));
    EXPECT_EQ(read("[ \n ]"), std::make_pair(true, List{}));
    EXPECT_EQ(read(R"(["1.1.1.1", "9.9.9.9"])"), std::make_pair(true, List{"1.1.1.1", "9.9.9.9"}));
    EXPECT_EQ(read(R"(["x",])"), std::make_pair(true, List{"x"}));
    EXPECT_EQ(read(R"([ "a\"b" , "" ] trailing)"), std::make_pair(true, List{"a\"b", ""}));
}

TEST(JsonStringArray, FailuresKeepThePreviousList) {
    for (const std::string value : {R"(["a", 1])", R"("a")", R"([,"a"])", R"(["a" "b"])", R"(["a")",
                                    "[", R"(["a",)", R"([null])", R"([["a"]])", R"(["a"; "b"])"}) {
        std::vector<std::string> list{"old"};
        EXPECT_FALSE(getJsonStringArray("{\"a\":" + value, "a", list)) << value;
        EXPECT_EQ(list, std::vector<std::string>{"old"}) << value;
    }
}

TEST(JsonEscape, WhatIsEscapedAndWhatIsNot) {
    EXPECT_EQ(escapeJson(std::string("\x01\x7F\xC3\xA9/")), "\\u0001\x7F\xC3\xA9/");
    EXPECT_EQ(escapeJson(std::string("\b\t\n\f\r\"\\", 7)), R"(\b\t\n\f\r\"\\)");
    EXPECT_EQ(escapeJson(std::string("\0\x0B\x1F", 3)), R"(\u0000\u000b\u001f)");
    EXPECT_EQ(quoteJson(""), "\"\"");
    EXPECT_EQ(quoteJson("a\nb"), "\"a\\nb\"");
}

TEST(JsonEscape, EveryByteSurvivesTheReaderExceptUnnamedControlBytes) {
    // Control bytes without a short escape go out as \u00XX, which the reader turns into '?':
    // a response read back by our own client shows them as question marks.
    std::string all;
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        const auto c = static_cast<char>(b);
        all += c;
        const bool named = c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
        expected += b < 0x20 && !named ? '?' : c;
    }
    std::string back;
    ASSERT_TRUE(getJsonString("{\"v\":" + quoteJson(all) + "}", "v", back));
    EXPECT_EQ(back, expected);
}

}  // namespace
}  // namespace halvern
