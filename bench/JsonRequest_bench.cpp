// How fast the dispatcher reads a 1 MiB "startXray" request, against parsing the same text with
// a general JSON library: startXrayAgainstNlohmann reports how many times as fast it is (the
// target is at least 5). Six memchr passes over the text are a reference line for the floor, not
// a target.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "control/CommandDispatcher.h"
#include "control/JsonText.h"
#include "control/ServiceState.h"

namespace {

// About 1 MiB of configuration shaped like a real one: inbounds, many outbounds with nested
// settings, and long routing rule lists.
std::string makeConfig() {
    std::string config =
        R"({"log":{"loglevel":"warning"},"inbounds":[{"tag":"socks-in","port":10807,)"
        R"("listen":"127.0.0.1","protocol":"socks","settings":{"udp":true,"auth":"noauth"}}],)"
        R"("outbounds":[)";
    for (int i = 0; config.size() < std::size_t{600} * 1024; ++i) {
        config += R"({"tag":"proxy-)" + std::to_string(i) +
                  R"(","protocol":"vless","settings":{"vnext":[{"address":"203.0.113.)" +
                  std::to_string(i % 250) +
                  R"(","port":443,"users":[{"id":"27848739-7e62-4138-9fd3-098a63964b6b",)"
                  R"("encryption":"none","flow":"xtls-rprx-vision"}]}]},"streamSettings":)"
                  R"({"network":"tcp","security":"reality","realitySettings":{"serverName":)"
                  R"("www.example.com","fingerprint":"chrome","shortId":"6ba85179e30d4fc2",)"
                  R"("spiderX":"/path\\to"}}},)";
    }
    config += R"({"tag":"direct","protocol":"freedom"}],"routing":{"rules":[)";
    for (int i = 0; config.size() < std::size_t{1024} * 1024 - 64; ++i) {
        config += R"({"type":"field","domain":["domain:site)" + std::to_string(i) +
                  R"(.example","geosite:cn"],"outboundTag":"direct"},)";
    }
    config += R"({"type":"field","ip":["geoip:private"],"outboundTag":"direct"}]}})";
    return config;
}

const std::string& startRequest() {
    static const std::string request = R"({"command":"startXray","configJson":)" +
                                       halvern::quoteJson(makeConfig()) +
                                       R"(,"dnsServers":["1.1.1.1","8.8.8.8"]})";
    return request;
}

void readSixFields(benchmark::State& state) {
    const std::string& request = startRequest();
    while (state.KeepRunning()) {
        std::string command;
        std::string configJson;
        std::vector<std::string> dnsServers;
        std::string source;
        std::int64_t offset = 0;
        std::int64_t maxBytes = 65536;
        halvern::getJsonString(request, "command", command);
        halvern::getJsonString(request, "configJson", configJson);
        halvern::getJsonStringArray(request, "dnsServers", dnsServers);
        halvern::getJsonString(request, "source", source);
        halvern::getJsonInt64(request, "offset", offset);
        halvern::getJsonInt64(request, "maxBytes", maxBytes);
        benchmark::DoNotOptimize(configJson.data());
        benchmark::DoNotOptimize(dnsServers.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(request.size()));
}
BENCHMARK(readSixFields)->Unit(benchmark::kMicrosecond);

// The reads that dispatching this request makes: "command", then "configJson" (decoded whole),
// then "dnsServers" after it.
void readStartXray(const std::string& request) {
    std::string command;
    std::string configJson;
    std::vector<std::string> dnsServers;
    halvern::getJsonString(request, "command", command);
    halvern::getJsonString(request, "configJson", configJson);
    halvern::getJsonStringArray(request, "dnsServers", dnsServers);
    benchmark::DoNotOptimize(configJson.data());
    benchmark::DoNotOptimize(dnsServers.data());
}

void readStartXrayFields(benchmark::State& state) {
    const std::string& request = startRequest();
    while (state.KeepRunning()) {
        readStartXray(request);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(request.size()));
}
BENCHMARK(readStartXrayFields)->Unit(benchmark::kMicrosecond);

// The two in turns on the same text, each timed by the processor time it took, so that a busy
// machine slows both alike and the ratio stays meaningful.
void startXrayAgainstNlohmann(benchmark::State& state) {
    const std::string& request = startRequest();
    std::clock_t ours = 0;
    std::clock_t general = 0;
    while (state.KeepRunning()) {
        const std::clock_t start = std::clock();
        readStartXray(request);
        const std::clock_t middle = std::clock();
        auto document = nlohmann::json::parse(request);
        benchmark::DoNotOptimize(document);
        general += std::clock() - middle;
        ours += middle - start;
    }
    state.counters["times_as_fast"] =
        ours > 0 ? static_cast<double>(general) / static_cast<double>(ours) : 0.0;
}
BENCHMARK(startXrayAgainstNlohmann)->Unit(benchmark::kMicrosecond);

// The floor for six lookups: a reference line only.
void memchrSixTimes(benchmark::State& state) {
    const std::string& request = startRequest();
    while (state.KeepRunning()) {
        for (int pass = 0; pass < 6; ++pass) {
            // A byte that never occurs, so every pass reads the whole text.
            benchmark::DoNotOptimize(std::memchr(request.data(), 1, request.size()));
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(request.size()));
}
BENCHMARK(memchrSixTimes)->Unit(benchmark::kMicrosecond);

void nlohmannParse(benchmark::State& state) {
    const std::string& request = startRequest();
    while (state.KeepRunning()) {
        auto document = nlohmann::json::parse(request);
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(request.size()));
}
BENCHMARK(nlohmannParse)->Unit(benchmark::kMicrosecond);

void dispatchStatus(benchmark::State& state) {
    halvern::controller = std::make_unique<halvern::TunnelController>(halvern::StatusCallback{});
    while (state.KeepRunning()) {
        benchmark::DoNotOptimize(halvern::dispatchCommand(R"({"command":"status"})"));
    }
    halvern::controller.reset();
}
BENCHMARK(dispatchStatus);

}  // namespace

BENCHMARK_MAIN();
