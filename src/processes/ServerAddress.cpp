#include "processes/ServerAddress.h"

#include "common/AddressText.h"
#include "processes/SocketCalls.h"

// Finding the proxy server's address in the client's configuration. This is a plain text search:
// the first "address" after "vnext" (or else after "servers") past "outbounds". It does not check
// that the address belongs to the element the key opens, and JSON escapes are not decoded; the
// result only decides which host route keeps the server outside the tunnel.

namespace halvern {
namespace {

// The value of the first "address" key at or after the first `key` at or after `from`, or empty.
// `key` includes its double quotes; a `from` of npos gives empty.
std::string findAddressAfter(const std::string& text, const std::string& key,
                             std::string::size_type from) {
    // Each step searches on `skip` past the last one's find; once a step finds nothing, so do
    // all that follow.
    const auto next = [&text](const auto& what, std::string::size_type at, std::size_t skip) {
        return at == std::string::npos ? at : text.find(what, at + skip);
    };
    static const std::string kAddressKey = "\"address\"";
    const auto addressAt = next(kAddressKey, next(key, from, 0), 0);
    const auto openQuote = next('"', next(':', addressAt, kAddressKey.size()), 1);
    const auto closeQuote = next('"', openQuote, 1);
    if (closeQuote == std::string::npos) {
        return {};
    }
    return text.substr(openQuote + 1, closeQuote - openQuote - 1);
}

}  // namespace

std::optional<std::string> extractServerAddress(const std::string& configJson) {
    const auto outbounds = configJson.find("\"outbounds\"");
    std::string host = findAddressAfter(configJson, "\"vnext\"", outbounds);
    if (host.empty()) {
        host = findAddressAfter(configJson, "\"servers\"", outbounds);
    }
    if (host.empty()) {
        return std::nullopt;
    }
    // The whole text, as the journal keeps it: a NUL would end it early for getaddrinfo and for
    // the route command, while the next start's replay reads every byte and passes over the
    // entry, leaving the route for good. Such a host is no address at all.
    if (host.find('\0') != std::string::npos) {
        return std::string();
    }
    if (isIpv4Text(host)) {
        return host;
    }
    // A name that does not resolve is not an error: the tunnel then simply gets no host route
    // for the server.
    return resolveFirstIpv4(host);
}

}  // namespace halvern
