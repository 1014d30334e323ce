#include "control/ControlServer.h"

#include <array>
#include <string_view>

#include "control/CommandDispatcher.h"
#include "control/ControlEndpoint.h"
#include "control/TunnelService.h"

namespace halvern {
namespace {

constexpr std::size_t kReadChunkBytes = 4096;
constexpr std::size_t kRequestLimitBytes = 1048576;

bool writeResponse(ControlConnection& connection, std::string_view response) {
    std::size_t written = 0;
    while (written < response.size()) {
        const std::size_t count =
            connection.write(response.data() + written, response.size() - written);
        if (count == 0) {
            return false;
        }
        written += count;
    }
    return true;
}

// The request of one connected client: the bytes up to its first line feed (which is dropped),
// the end of its message or stream, or the size limit, whichever comes first. Possibly empty.
std::string readRequestLine(ControlConnection& connection) {
    std::string request;
    std::array<char, kReadChunkBytes> buffer{};
    while (request.size() < kRequestLimitBytes) {
        const ControlReadResult result = connection.read(buffer.data(), buffer.size());
        if (result.count > 0) {
            const std::string_view chunk(buffer.data(), result.count);
            request.append(chunk);
            if (chunk.find('\n') != std::string_view::npos) {
                break;
            }
        }
        if (!result.more) {
            break;
        }
    }
    const std::size_t lineFeed = request.find('\n');
    if (lineFeed != std::string::npos) {
        request.resize(lineFeed);
    }
    return request;
}

void serveClient(TunnelService& service, ControlConnection& connection) {
    const std::string request = readRequestLine(connection);
    // Once a stop has begun the request is not looked at: the client (or the stop's own wake-up
    // connection) learns that the service is going away.
    if (service.stopping()) {
        writeResponse(connection, makeOkResponse("\"status\":\"disconnecting\""));
        return;
    }
    const bool inPieces = connection.takesResponseInPieces();
    std::string whole;
    answerRequest(service, request, [&](std::string_view piece) {
        if (inPieces) {
            return writeResponse(connection, piece);
        }
        whole.append(piece);
        return true;
    });
    if (!inPieces) {
        writeResponse(connection, whole);
    }
}

}  // namespace

void runControlServer(TunnelService& service) {
    if (service.stopping()) {
        return;
    }
    const std::unique_ptr<ControlEndpoint> endpoint = makeControlEndpoint(service);
    for (;;) {
        // Nothing that goes wrong with one client may end the thread: the dispatcher's own
        // exceptions are answered inside answerRequest, and anything else (memory exhaustion
        // while gathering a request) drops only this connection, which its owner closes.
        try {
            if (const std::unique_ptr<ControlConnection> connection = endpoint->waitForClient()) {
                serveClient(service, *connection);
            }
        } catch (...) {  // NOLINT(bugprone-empty-catch): the connection is dropped, serving goes on
        }
        if (service.stopping()) {
            return;
        }
    }
}

}  // namespace halvern
