#include "control/JsonText.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/ByteEscape.h"

namespace halvern {
namespace {

// Tokens, whitespace and first occurrence are the fuzz target's; here what safety rests on.
TEST(JsonLookup, KeysAreTokensComparedDecodedAndValuesComeBackUnescaped) {
    const struct {
        std::string text, key, expected;
    } cases[] = {
        // Keys inside string values are not tokens: a configuration cannot name the command.
        {R"({"configJson":"{\"command\":\"stop\"}","command":"status"})", "command", "status"},
        // Keys compare decoded; \u decodes to '?'.
        {R"({"\u0041":"","comm\u0061nd":"x"})", "comm?nd", "x"},
        {"{\"k\"\xA0:\"v\"}", "k", "<unchanged>"},  // bytes from 0x80 up are not whitespace
        // Escapes; \u swallows four bytes, even a closing quote.
        {R"({"v":"a\"b\\c\/d\be\ff\ng\rh\ti"})", "v", "a\"b\\c/d\be\ff\ng\rh\ti"},
        {R"({"v":"x\u"abcy"})", "v", "x?y"},
    };
    for (const auto& c : cases) {
        std::string out = "<unchanged>";
        getJsonString(c.text, c.key, out);
        EXPECT_EQ(out, c.expected) << c.text;
    }
    EXPECT_EQ(findJsonValue("{\"k\\t\": ", "k\t"), 8U);  // a short escape just before the end
}

TEST(JsonInt64, ASignedIntegerPartIsTakenAnythingElseLeavesTheValue) {
    const auto read = [](const std::string& value) {
        std::int64_t n = 1234;
        const bool ok = getJsonInt64("{\"n\":" + value, "n", n);
        return std::make_pair(ok, n);
    };
    const std::pair<std::string, std::int64_t> accepted[] = {{"-12", -12},
                                                             {"12.75", 12},
                                                             {"9223372036854775807", INT64_MAX},
                                                             {"-9223372036854775808", INT64_MIN}};
    for (const auto& [value, expected] : accepted) {
        EXPECT_EQ(read(value), std::make_pair(true, expected)) << value;
    }
    for (const std::string refused : {"\"12\"", "+12", "-", "true", "", " ", "-x"}) {
        EXPECT_EQ(read(refused), std::make_pair(false, std::int64_t{1234})) << refused;
    }
}

TEST(JsonStringArray, OnlyAnArrayOfStringsIsTakenAndAFailureLeavesTheList) {
    using List = std::vector<std::string>;
    const auto read = [](const std::string& value) {
        List list{"old"};
        const bool ok = getJsonStringArray("{\"a\":" + value, "a", list);
        return std::make_pair(ok, list);
    };
    EXPECT_EQ(read("[ \n ]"), std::make_pair(true, List{}));
    EXPECT_EQ(read(R"(["1.1.1.1", "9.9.9.9"])"), std::make_pair(true, List{"1.1.1.1", "9.9.9.9"}));
    EXPECT_EQ(read(R"(["x",])"), std::make_pair(true, List{"x"}));  // a trailing comma passes
    EXPECT_EQ(read(R"([ "a\"b" , "" ] trailing)"), std::make_pair(true, List{"a\"b", ""}));
    for (const std::string value : {R"(["a", 1])", R"("a")", R"([,"a"])", R"(["a" "b"])", R"(["a")",
                                    R"(["a",)", R"([null])", R"([["a"]])", R"(["a"; "b"])"}) {
        EXPECT_EQ(read(value), std::make_pair(false, List{"old"})) << value;
    }
}

TEST(JsonEscape, ControlsQuotesAndBackslashesAreEscapedOtherBytesPass) {
    EXPECT_EQ(escapeJson(std::string("\x01\x7F\xC3\xA9/ ")), "\\u0001\x7F\xC3\xA9/ ");
    EXPECT_EQ(escapeJson(std::string("\b\t\n\f\r\"\\", 7)), R"(\b\t\n\f\r\"\\)");
    EXPECT_EQ(escapeJson(std::string("\0\x0B\x1F", 3)), R"(\u0000\u000b\u001f)");
}

// What a hostile child's bytes become in a line of the service's stderr, and on a terminal.
TEST(ByteEscape, ControlsC1AndIllFormedUtf8AreShownAsHex) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\tb\n \x1b[2J\x7f", R"(a\x09b\x0a \x1b[2J\x7f)"},
        // U+009B is a terminal's CSI; U+00A0, U+0800, U+1F600 and U+10FFFF are characters.
        {"\xc2\x9b\xc2\xa0\xe0\xa0\x80\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
         "\\xc2\\x9b\xc2\xa0\xe0\xa0\x80\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
        // Past U+10FFFF, overlong, a surrogate, cut short, a stray continuation byte.
        {"\xf4\x90\x80\x80\xfc\x84\x80\x80", R"(\xf4\x90\x80\x80\xfc\x84\x80\x80)"},
        {"\xe0\x9f\xbf\xed\xa0\x80\xed\xbf\xbf", R"(\xe0\x9f\xbf\xed\xa0\x80\xed\xbf\xbf)"},
        {"\xc1\xbf\xe2\x82\x41\x80\xf0\x9f\x98", R"(\xc1\xbf\xe2\x82A\x80\xf0\x9f\x98)"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(escapeBytes(text), shown);
    }
    EXPECT_EQ(escapeBytes("a\tb\n\x1b\xc2\x9b", LineFeedsAndTabs::kept), "a\tb\n\\x1b\\xc2\\x9b");
    EXPECT_EQ(escapeBytes("\n\xff", LineFeedsAndTabs::escaped, HexDigits::upperCase),
              R"(\x0A\xFF)");
}

}  // namespace
}  // namespace halvern
