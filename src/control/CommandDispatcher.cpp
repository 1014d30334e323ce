#include "control/CommandDispatcher.h"

#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

#include "control/JsonText.h"
#include "control/TunnelService.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {
namespace {

std::string startXray(std::string_view request, TunnelController& tunnel) {
    std::string configJson;
    if (!getJsonString(request, "configJson", configJson) || configJson.empty()) {
        return makeErrorResponse("Missing Xray configJson");
    }
    std::vector<std::string> dnsServers;
    getJsonStringArray(request, "dnsServers", dnsServers);
    tunnel.disconnect();
    tunnel.connect(configJson, "xray", dnsServers);
    const std::string state = tunnel.status();
    if (state == "error") {
        return makeErrorResponse(tunnel.lastError());
    }
    return makeOkResponse("\"status\":" + quoteJson(state));
}

std::string stop(std::string_view /*request*/, TunnelController& tunnel) {
    tunnel.disconnect();
    return makeOkResponse("\"status\":\"disconnected\"");
}

std::string status(std::string_view /*request*/, TunnelController& tunnel) {
    const std::string protocol = tunnel.activeProtocol();
    const std::string state = tunnel.status();
    return makeOkResponse("\"status\":" + quoteJson(state) +
                          ",\"activeProtocol\":" + quoteJson(protocol));
}

std::string lastError(std::string_view /*request*/, TunnelController& tunnel) {
    return makeOkResponse("\"error\":" + quoteJson(tunnel.lastError()));
}

std::string trafficStats(std::string_view /*request*/, TunnelController& tunnel) {
    const TrafficStats stats = tunnel.trafficStats();
    // Written as signed 64-bit decimals, as the protocol has always reported them.
    return makeOkResponse(
        "\"txBytes\":" + std::to_string(static_cast<std::int64_t>(stats.txBytes)) +
        ",\"rxBytes\":" + std::to_string(static_cast<std::int64_t>(stats.rxBytes)));
}

// Read-only, beside the six commands of the protocol: what the session's watcher has done. Empty
// and zero while no session is up.
std::string sessionInfo(std::string_view /*request*/, TunnelController& tunnel) {
    const SessionUpkeep upkeep = tunnel.sessionUpkeep();
    return makeOkResponse("\"uplinkGateway\":" + quoteJson(upkeep.uplink.gateway) +
                          ",\"uplinkInterface\":" + quoteJson(upkeep.uplink.interfaceName) +
                          ",\"coreRestarts\":" + std::to_string(upkeep.coreRestarts) +
                          ",\"bridgeRestarts\":" + std::to_string(upkeep.bridgeRestarts));
}

// Byte for byte what quoteJson of the whole content would give: escapeJson treats each byte on
// its own, so escaping chunk by chunk changes nothing. It reads the log files alone, nothing of
// the controller, so it runs outside the controller's locks: a client that reads slowly, or not
// at all, holds no other command and no stop.
void readLogDelta(std::string_view request, const TunnelService& service,
                  const ResponseWriter& write) {
    std::string source;
    std::int64_t offset = 0;
    std::int64_t maxBytes = 65536;
    getJsonString(request, "source", source);
    getJsonInt64(request, "offset", offset);
    getJsonInt64(request, "maxBytes", maxBytes);
    bool open = write(R"({"ok":true,"content":")");
    // A stop that begins meanwhile cuts a long answer short, after the chunk in hand, so the
    // client still gets a whole object whose nextOffset says where the piece ended.
    const LogDelta delta = streamLogDelta(source, offset, maxBytes, [&](std::string_view chunk) {
        open = open && write(escapeJson(chunk));
        return open && !service.stopping();
    });
    if (open) {
        write("\",\"nextOffset\":" + std::to_string(delta.nextOffset) +
              ",\"fileSize\":" + std::to_string(delta.fileSize) + "}");
    }
}

// Every command but readLogDelta, whose answer is streamed.
std::string answerCommand(const std::string& command, std::string_view request,
                          TunnelController& tunnel) {
    using Handler = std::string (*)(std::string_view, TunnelController&);
    static constexpr std::pair<std::string_view, Handler> kCommands[] = {
        {"startXray", startXray},
        {"stop", stop},
        {"status", status},
        {"lastError", lastError},
        {"trafficStats", trafficStats},
        {"sessionInfo", sessionInfo},
    };
    for (const auto& [name, handler] : kCommands) {
        if (command == name) {
            return handler(request, tunnel);
        }
    }
    return makeErrorResponse("Unknown command: " + command);
}

}  // namespace

std::string makeOkResponse(std::string_view fields) {
    return "{\"ok\":true," + std::string(fields) + "}";
}

std::string makeErrorResponse(std::string_view message) {
    return "{\"ok\":false,\"error\":" + quoteJson(message) + "}";
}

void dispatchCommand(TunnelService& service, std::string_view request,
                     const ResponseWriter& write) {
    std::string command;
    if (!getJsonString(request, "command", command)) {
        write(makeErrorResponse("Missing command"));
        return;
    }
    const bool initialized = service.withController([&](TunnelController* controller) {
        if (controller != nullptr && command != "readLogDelta") {
            write(answerCommand(command, request, *controller));
        }
        return controller != nullptr;
    });
    if (!initialized) {
        write(makeErrorResponse("HalvernService is not initialized"));
    } else if (command == "readLogDelta") {
        readLogDelta(request, service, write);
    }
}

std::string dispatchCommand(TunnelService& service, std::string_view request) {
    std::string response;
    dispatchCommand(service, request, [&response](std::string_view piece) {
        response.append(piece);
        return true;
    });
    return response;
}

void answerRequest(TunnelService& service, std::string_view request, const ResponseWriter& write) {
    bool started = false;
    std::string failure;
    try {
        dispatchCommand(service, request, [&](std::string_view piece) {
            started = true;
            return write(piece);
        });
        return;
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "Unknown error";
    }
    if (!started) {
        write(makeErrorResponse(failure));
    }
}

}  // namespace halvern
