// libFuzzer target for the request text routines and the dispatcher. Besides "no crash, no
// sanitizer report", every input must keep these properties:
//  - findJsonValue and parseJsonString give what a byte-by-byte reading of the rules gives, and
//    what they return lies inside the text;
//  - the readers leave their output alone when they fail, and the only exception is the
//    out-of-range one of getJsonInt64, with its fixed message;
//  - getJsonString reads back what quoteJson wrote (control bytes without a short escape come
//    back as '?');
//  - every response is one line of valid JSON that begins with "ok", and a request without a
//    readable "command" gets exactly the "Missing command" answer.
// A broken property aborts with its name, so that libFuzzer keeps and prints the input.
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

// The string literal rules, one byte at a time, as plainly as they are stated.
bool referenceParse(std::string_view text, std::size_t& position, std::string& output) {
    std::size_t p = position;
    if (p >= text.size() || text[p++] != '"' || p == text.size()) {
        return false;
    }
    std::string decoded;
    for (;;) {
        const char c = text[p++];
        if (c == '"') {
            output = decoded;
            position = p;
            return true;
        }
        if (c == '\\') {
            if (p == text.size()) {
                return false;
            }
            const char escape = text[p++];
            const std::string_view from = "\"\\/bfnrtu";
            const std::string_view to = "\"\\/\b\f\n\r\t?";
            if (from.find(escape) == std::string_view::npos ||
                (escape == 'u' && text.size() - p < 4)) {
                return false;
            }
            decoded += to[from.find(escape)];
            p += escape == 'u' ? 4 : 0;
        } else {
            decoded += c;
        }
        if (p == text.size()) {
            return false;
        }
    }
}

std::size_t referenceFind(std::string_view text, std::string_view key) {
    for (std::size_t p = 0; p < text.size();) {
        if (text[p] != '"') {
            ++p;
            continue;
        }
        std::string token;
        if (!referenceParse(text, p, token)) {
            return npos;
        }
        if (token == key) {
            while (p < text.size() && isSpace(text[p])) {
                ++p;
            }
            if (p < text.size() && text[p] == ':') {
                for (++p; p < text.size() && isSpace(text[p]);) {
                    ++p;
                }
                return p;
            }
        }
    }
    return npos;
}

// One line of JSON that begins with "ok". Bytes from 0x80 up pass through the protocol as they
// come, valid UTF-8 or not; the library checks UTF-8, so they stand in as 'x' for it.
bool isResponse(std::string text) {
    if ((!text.starts_with("{\"ok\":true") && !text.starts_with("{\"ok\":false,\"error\":\"")) ||
        text.find('\n') != std::string::npos) {
        return false;
    }
    for (char& c : text) {
        c = static_cast<unsigned char>(c) >= 0x80 ? 'x' : c;
    }
    return nlohmann::json::accept(text);
}

void checkLiterals(std::string_view text) {
    std::size_t open = text.find('"');
    for (int n = 0; n < 8 && open != npos; ++n, open = text.find('"', open + 1)) {
        std::size_t p = open;
        std::size_t q = open;
        std::string read = "unchanged";
        std::string expected = "unchanged";
        const bool ok = parseJsonString(text, p, read);
        check(ok == referenceParse(text, q, expected) && p == q && read == expected,
              "parseJsonString follows the rules");
        check(ok ? p > open && p <= text.size() : p == open, "a literal ends inside the text");
    }
}

void checkLookups(std::string_view text) {
    static const char* const kKeys[] = {"command", "configJson", "dnsServers", "source",
                                        "offset",  "maxBytes",   "a/b",        "?"};
    for (const std::string_view key : kKeys) {
        const std::size_t found = findJsonValue(text, key);
        check(found == referenceFind(text, key), "findJsonValue follows the rules");
        check(found == npos || found <= text.size(), "a value's position lies inside the text");

        std::string read = "unchanged";
        std::string expected = "unchanged";
        std::size_t p = found;
        check(getJsonString(text, key, read) ==
                      (found != npos && referenceParse(text, p, expected)) &&
                  read == expected,
              "getJsonString is findJsonValue then parseJsonString");

        std::int64_t number = 42;
        try {
            if (!getJsonInt64(text, key, number)) {
                check(number == 42, "a failed getJsonInt64 leaves its output");
            }
        } catch (const std::out_of_range& error) {
            check(std::string_view(error.what()) == "stoll argument out of range" && number == 42,
                  "an out-of-range number throws the fixed message and leaves the output");
        }

        std::vector<std::string> list{"unchanged"};
        if (!getJsonStringArray(text, key, list)) {
            check(list == std::vector<std::string>{"unchanged"},
                  "a failed getJsonStringArray leaves its output");
        }
    }
}

// What getJsonString gives back for bytes that quoteJson wrote.
std::string readBack(std::string_view bytes) {
    std::string result(bytes);
    for (char& c : result) {
        if (static_cast<unsigned char>(c) < 0x20 &&
            std::string_view("\b\t\n\f\r").find(c) == npos) {
            c = '?';
        }
    }
    return result;
}

void checkRoundTrip(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    const std::size_t keyLength =
        std::min<std::size_t>(static_cast<unsigned char>(bytes[0]) % 16, bytes.size() - 1);
    const std::string_view key = bytes.substr(1, keyLength);
    const std::string_view value = bytes.substr(1 + keyLength);
    check(quoteJson(value) == "\"" + escapeJson(value) + "\"", "quoteJson quotes escapeJson");
    const std::string document = "{" + quoteJson(key) + ":" + quoteJson(value) + "}";
    check(isResponse("{\"ok\":true," + document.substr(1)), "quoteJson writes valid JSON");
    std::string read;
    check(getJsonString(document, readBack(key), read) && read == readBack(value),
          "getJsonString reads back what quoteJson wrote");
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
    halvern::checkLiterals(text);
    halvern::checkLookups(text);
    halvern::checkRoundTrip(text);
    halvern::checkDispatch(text);
    return 0;
}
