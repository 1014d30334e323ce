#pragma once

#include <optional>
#include <string>

namespace halvern {

// The proxy server's IPv4 address in the client's configuration, for the host route that keeps
// it outside the tunnel: the first server host, a name resolved to its first IPv4 address.
// Nothing when the configuration names no server; empty when the host has no IPv4 address.
std::optional<std::string> serverAddressIn(const std::string& configJson);

// The value of the first "address" key at or after the first `key` at or after `from`, or empty.
// `key` includes its double quotes; a `from` of npos gives empty.
std::string findAddressAfter(const std::string& text, const std::string& key,
                             std::string::size_type from);

}  // namespace halvern
