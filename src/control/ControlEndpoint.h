#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// The platform half of the control endpoint: creating it, waiting for a client, reading and
// writing bytes, and closing a connection the way the platform wants it closed. The loop that
// uses it (limits, line cut, stopping, dispatch, write-all) is shared by every platform.
namespace halvern {

class TunnelService;

// Bounds on how long one client may keep the endpoint to itself. The server serves one client
// at a time, so a client that connects and never writes, or never reads its answer, would
// otherwise hold every other client and the wake-up connection of a service stop. A local
// client writes its request and reads its answer within milliseconds, so these leave a wide
// margin while keeping a stalled one's hold to about three seconds in all. On POSIX the write
// budget bounds each wait for the client to make room, not the time the service takes to
// produce a long response, and a stop ends the wait at once (see SocketConnection::write).
inline constexpr std::int64_t kRequestReadBudgetMilliseconds = 2000;
inline constexpr std::int64_t kResponseWriteBudgetMilliseconds = 1000;

// How one read ended. `more` is true only when the client has certainly sent more of this
// request (Windows: the message is longer than the buffer) or may still send more (POSIX: the
// stream is still open); it is false at the end of the message or stream and on any failure,
// a read that ran out of its time budget included.
struct ControlReadResult {
    std::size_t count = 0;
    bool more = false;
};

// One connected client. Destroying it ends the connection (Windows: flush and disconnect the
// service's one pipe instance, which the endpoint keeps for the next client).
class ControlConnection {
  public:
    ControlConnection() = default;
    virtual ~ControlConnection() = default;
    ControlConnection(const ControlConnection&) = delete;
    ControlConnection& operator=(const ControlConnection&) = delete;
    ControlConnection(ControlConnection&&) = delete;
    ControlConnection& operator=(ControlConnection&&) = delete;

    virtual ControlReadResult read(char* buffer, std::size_t size) = 0;

    // Bytes accepted by the system; 0 when the write failed or timed out.
    virtual std::size_t write(const char* data, std::size_t size) = 0;

    // Whether a response may go out in several writes (a stream), or must be one write (a
    // message, which the client reads as the whole response).
    virtual bool takesResponseInPieces() const { return true; }
};

class ControlEndpoint {
  public:
    ControlEndpoint() = default;
    virtual ~ControlEndpoint() = default;
    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;
    ControlEndpoint(ControlEndpoint&&) = delete;
    ControlEndpoint& operator=(ControlEndpoint&&) = delete;

    // Waits for the next client this endpoint may serve. Null after a failure that the loop
    // should pass over (the endpoint could not be created, the wait failed, or the client is
    // not allowed to talk); any pause before the next try has already been taken.
    virtual std::unique_ptr<ControlConnection> waitForClient() = 0;
};

// What wakeControlEndpoint() sends: a request that changes nothing, should it be served.
inline constexpr std::string_view kWakeRequest = "{\"command\":\"status\"}\n";

// The endpoint reads only whether `service` is stopping: a stop that begins while no endpoint
// exists yet finds nothing to wake, so the endpoint looks once it exists (see waitForClient).
std::unique_ptr<ControlEndpoint> makeControlEndpoint(const TunnelService& service);

}  // namespace halvern
