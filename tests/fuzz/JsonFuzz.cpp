// libFuzzer target for the request text routines and the dispatcher. Beyond "no crash, no
// sanitizer report", every input must keep these properties, or the target aborts naming the
// broken one (libFuzzer then keeps and prints the input):
//  - findJsonValue and parseJsonString agree with a plain byte-by-byte reading of the rules;
//  - a reader that fails leaves its output alone, and the only exception is getJsonInt64's
//    out-of-range one, with its fixed message;
//  - every response is one line of valid JSON that begins with "ok", and a request without a
//    readable "command" gets exactly the "Missing command" answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/CommandDispatcher.h"
#include "control/JsonText.h"
#include "control/ServiceState.h"

namespace halvern {
namespace {

void check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The string literal rules as plainly as they are stated.
bool referenceParse(std::string_view text, std::size_t& position, std::string& output) {
    std::size_t p = position;
    if (p >= text.size() || text[p++] != '"') {
        return false;
    }
    std::string decoded;
    while (p < text.size()) {
        const char c = text[p++];
        if (c == '"') {
            output = decoded;
            position = p;
            return true;
        }
        if (c != '\\') {
            decoded += c;
            continue;
        }
        const std::string_view from = "\"\\/bfnrtu";
        const std::string_view to = "\"\\/\b\f\n\r\t?";
        if (p == text.size() || from.find(text[p]) == npos ||
            (text[p] == 'u' && text.size() - p < 5)) {
            return false;
        }
        decoded += to[from.find(text[p])];
        p += text[p] == 'u' ? 5 : 1;
    }
    return false;
}

std::size_t referenceFind(std::string_view text, std::string_view key) {
    for (std::size_t p = text.find('"'); p != npos; p = text.find('"', p)) {
        std::string token;
        if (!referenceParse(text, p, token)) {
            return npos;
        }
        std::size_t q = p;
        while (q < text.size() && isSpace(text[q])) {
            ++q;
        }
        if (token == key && q < text.size() && text[q] == ':') {
            for (++q; q < text.size() && isSpace(text[q]);) {
                ++q;
            }
            return q;
        }
    }
    return npos;
}

// Bytes from 0x80 up pass through the protocol as they come, valid UTF-8 or not; the library
// checks UTF-8, so they stand in as 'x' for it.
bool isResponse(std::string text) {
    if ((!text.starts_with("{\"ok\":true") && !text.starts_with("{\"ok\":false,\"error\":\"")) ||
        text.find('\n') != npos) {
        return false;
    }
    for (char& c : text) {
        c = static_cast<unsigned char>(c) >= 0x80 ? 'x' : c;
    }
    return nlohmann::json::accept(text);
}

void checkReaders(std::string_view text) {
    std::size_t open = text.find('"');
    for (int n = 0; n < 8 && open != npos; ++n, open = text.find('"', open + 1)) {
        std::size_t p = open;
        std::size_t q = open;
        std::string read = "unchanged";
        std::string expected = "unchanged";
        check(parseJsonString(text, p, read) == referenceParse(text, q, expected) && p == q &&
                  read == expected,
              "parseJsonString follows the rules");
    }
    for (const std::string_view key :
         {"command", "configJson", "dnsServers", "offset", "a/b", "?"}) {
        check(findJsonValue(text, key) == referenceFind(text, key),
              "findJsonValue follows the rules");
        std::int64_t number = 42;
        try {
            check(getJsonInt64(text, key, number) || number == 42, "getJsonInt64 keeps output");
        } catch (const std::out_of_range& error) {
            check(std::string_view(error.what()) == "stoll argument out of range" && number == 42,
                  "an out-of-range number throws the fixed message and keeps the output");
        }
        std::vector<std::string> list{"unchanged"};
        check(getJsonStringArray(text, key, list) || list == std::vector<std::string>{"unchanged"},
              "getJsonStringArray keeps its output");
    }
}

void checkDispatch(std::string_view request) {
    std::string command;
    const bool hasCommand = getJsonString(request, "command", command);
    for (const bool withController : {false, true}) {
        if (withController) {
            controller = std::make_unique<TunnelController>(nullptr);
        }
        std::string response;
        try {
            response = dispatchCommand(request);
        } catch (const std::out_of_range& error) {
            check(std::string_view(error.what()) == "stoll argument out of range",
                  "the dispatcher throws only the out-of-range error");
            response = answerRequest(request);
        }
        check(isResponse(response), "a response is one line of JSON that begins with \"ok\"");
        check(hasCommand || response == R"({"ok":false,"error":"Missing command"})",
              "a request without a readable command is a missing command");
    }
    controller.reset();
}

}  // namespace
}  // namespace halvern

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    halvern::checkReaders(text);
    halvern::checkDispatch(text);
    return 0;
}
