#pragma once

#include <optional>
#include <string>

namespace halvern {

// The proxy server's IPv4 address in the client's configuration, for the host route that keeps
// it outside the tunnel: the first server host, a name resolved to its first IPv4 address.
// Nothing when the configuration names no server; empty when the host has no IPv4 address.
std::optional<std::string> extractServerAddress(const std::string& configJson);

}  // namespace halvern
