#include "control/CommandDispatcher.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <vector>

#include "control/JsonText.h"
#include "control/ServiceState.h"

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

std::string stop(TunnelController& tunnel) {
    tunnel.disconnect();
    return makeOkResponse("\"status\":\"disconnected\"");
}

std::string status(const TunnelController& tunnel) {
    const std::string protocol = tunnel.activeProtocol();
    const std::string state = tunnel.status();
    return makeOkResponse("\"status\":" + quoteJson(state) +
                          ",\"activeProtocol\":" + quoteJson(protocol));
}

std::string lastError(const TunnelController& tunnel) {
    return makeOkResponse("\"error\":" + quoteJson(tunnel.lastError()));
}

std::string trafficStats(const TunnelController& tunnel) {
    const TrafficStats stats = tunnel.trafficStats();
    // Written as signed 64-bit decimals, as the protocol has always reported them.
    return makeOkResponse(
        "\"txBytes\":" + std::to_string(static_cast<std::int64_t>(stats.txBytes)) +
        ",\"rxBytes\":" + std::to_string(static_cast<std::int64_t>(stats.rxBytes)));
}

std::string readLogDelta(std::string_view request, const TunnelController& tunnel) {
    std::string source;
    std::int64_t offset = 0;
    std::int64_t maxBytes = 65536;
    getJsonString(request, "source", source);
    getJsonInt64(request, "offset", offset);
    getJsonInt64(request, "maxBytes", maxBytes);
    const LogDelta delta = tunnel.readLogDelta(source, offset, maxBytes);
    return makeOkResponse("\"content\":" + quoteJson(delta.content) +
                          ",\"nextOffset\":" + std::to_string(delta.nextOffset) +
                          ",\"fileSize\":" + std::to_string(delta.fileSize));
}

}  // namespace

std::string makeOkResponse(std::string_view fields) {
    if (fields.empty()) {
        return "{\"ok\":true}";
    }
    std::string response = "{\"ok\":true,";
    response.append(fields);
    response += '}';
    return response;
}

std::string makeErrorResponse(std::string_view message) {
    return "{\"ok\":false,\"error\":" + quoteJson(message) + "}";
}

std::string dispatchCommand(std::string_view request) {
    std::string command;
    if (!getJsonString(request, "command", command)) {
        return makeErrorResponse("Missing command");
    }
    const std::lock_guard lock(controllerMutex);
    if (!controller) {
        return makeErrorResponse("HalvernService is not initialized");
    }
    TunnelController& tunnel = *controller;
    if (command == "startXray") {
        return startXray(request, tunnel);
    }
    if (command == "stop") {
        return stop(tunnel);
    }
    if (command == "status") {
        return status(tunnel);
    }
    if (command == "lastError") {
        return lastError(tunnel);
    }
    if (command == "trafficStats") {
        return trafficStats(tunnel);
    }
    if (command == "readLogDelta") {
        return readLogDelta(request, tunnel);
    }
    return makeErrorResponse("Unknown command: " + command);
}

std::string answerRequest(std::string_view request) {
    try {
        return dispatchCommand(request);
    } catch (const std::exception& error) {
        return makeErrorResponse(error.what());
    } catch (...) {
        return makeErrorResponse("Unknown error");
    }
}

}  // namespace halvern
