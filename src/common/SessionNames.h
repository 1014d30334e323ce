#pragma once

#include <string_view>

// The names and numbers that one tunnel session shares between its pieces. They are fixed, not
// configurable: the client, the core's configuration and the tests all expect exactly these.
namespace halvern::session {

// The proxy core's SOCKS5 inbound, which the bridge forwards to.
inline constexpr std::string_view kSocksHost = "127.0.0.1";
inline constexpr int kSocksPort = 10807;

// The address that the tunnel adapter gets (mask 255.255.255.0).
inline constexpr std::string_view kTunnelAddress = "10.255.0.1";

// Files in the service's temporary directory.
inline constexpr std::string_view kCoreConfigFileName = "halvern_xray_config.json";
inline constexpr std::string_view kCoreLogFileName = "halvern_xray_output.log";
inline constexpr std::string_view kBridgeLogFileName = "halvern_tun2socks_output.log";

// Every adapter the service makes begins with this; route discovery passes over such adapters,
// and the crash journal accepts no other name.
inline constexpr std::string_view kAdapterPrefix = "Halvern";

}  // namespace halvern::session
