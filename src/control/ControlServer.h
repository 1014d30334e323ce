#pragma once

#include <filesystem>

// The service's control server: the named pipe "\\.\pipe\HalvernService" on Windows, the Unix
// socket "/run/halvern/HalvernService.sock" on POSIX. One connection carries one request
// line and gets one response; clients are served strictly one after another.
namespace halvern {

class TunnelService;

// The body of the server thread: serves `service`'s dispatcher. Returns once it sees the
// service stopping: at entry, after each request (which is then answered
// {"ok":true,"status":"disconnecting"}) and after each connection. To end it, set the service
// stopping and call wakeControlEndpoint().
void runControlServer(TunnelService& service);

// Connects once to the endpoint and sends a "status" request without waiting for its answer, so
// that a server waiting for a client wakes and sees the service stopping. Does nothing when no
// server waits, and never retries.
void wakeControlEndpoint() noexcept;

// Where clients connect: the pipe name on Windows, the socket path on POSIX.
std::filesystem::path controlEndpointAddress();

}  // namespace halvern
