// halvernctl: one request per invocation to the service's control endpoint.
//
// Exit codes: 0 when the service answers "ok": true, 1 when it answers "ok": false, 2 when it
// cannot be reached (the message says why), 64 for a command line it does not understand.

#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ControlClient.h"
#include "common/AddressText.h"
#include "common/ByteEscape.h"
#include "common/MonotonicClock.h"
#include "control/JsonText.h"

namespace halvern {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUnreachable = 2;
constexpr int kExitUsage = 64;

constexpr std::int64_t kLogPieceBytes = 65536;
constexpr std::int64_t kFollowPauseMilliseconds = 500;

constexpr const char* kUsage =
    "usage: halvernctl [--json] COMMAND\n"
    "       halvernctl --version\n"
    "\n"
    "commands:\n"
    "  status                            tunnel state and protocol\n"
    "  start --config FILE [--dns IP]... bring the tunnel up with a proxy configuration\n"
    "  stop                              take the tunnel down\n"
    "  last-error                        the last failure message\n"
    "  session                           the uplink the proxy server is reached through, and\n"
    "                                    how often each program was restarted\n"
    "  stats [--watch [SECONDS]]         bytes sent and received (with --watch: rates too,\n"
    "                                    every SECONDS (default 1) until interrupted)\n"
    "  logs --source xray|tun2socks [--follow]\n"
    "                                    a child's output log (with --follow: keep reading)\n"
    "  raw JSON                          send JSON as the request and print the answer\n"
    "\n"
    "--json prints the service's answers unchanged.\n"
    "exit codes: 0 ok, 1 the service answered with an error, 2 the service cannot be reached,\n"
    "64 usage error.\n";

struct UsageError {
    std::string message;
};

struct Options {
    bool json = false;
    std::string command;
    std::vector<std::string> arguments;
};

// One answer from the service, or the reason there is none.
struct Answer {
    int exitCode = kExitOk;
    std::string response;
};

bool isOk(std::string_view response) {
    const std::size_t position = findJsonValue(response, "ok");
    return position != npos && response.substr(position).starts_with("true");
}

std::string stringField(std::string_view response, std::string_view key) {
    std::string value;
    getJsonString(response, key, value);
    return value;
}

std::int64_t numberField(std::string_view response, std::string_view key) {
    std::int64_t value = 0;
    getJsonInt64(response, key, value);
    return value;
}

// Sends one request. On an error answer or no answer the reason is printed here (the answer
// itself with --json) and the exit code says which it was.
Answer ask(const Options& options, const std::string& request) {
    const ControlExchange exchange = exchangeRequest(request);
    if (!exchange.reached) {
        std::cerr << "halvernctl: cannot reach HalvernService: " << exchange.failure << '\n';
        return {kExitUnreachable, {}};
    }
    if (isOk(exchange.response)) {
        return {kExitOk, exchange.response};
    }
    if (options.json) {
        std::cout << exchange.response << std::endl;
    } else {
        std::string error = stringField(exchange.response, "error");
        std::cerr << "halvernctl: " << (error.empty() ? exchange.response : error) << '\n';
    }
    return {kExitRefused, exchange.response};
}

std::string commandRequest(std::string_view command) {
    return "{\"command\":" + quoteJson(command) + "}";
}

// Prints the answer of a one-shot command: unchanged with --json, else as `human` makes it.
template <typename Human>
int runOnce(const Options& options, const std::string& request, Human human) {
    const Answer answer = ask(options, request);
    if (answer.exitCode != kExitOk) {
        return answer.exitCode;
    }
    if (options.json) {
        std::cout << answer.response << std::endl;
    } else {
        human(answer.response);
    }
    return kExitOk;
}

void printSession(std::string_view response) {
    const std::string gateway = stringField(response, "uplinkGateway");
    std::cout << "uplink: "
              << (gateway.empty() ? "none"
                                  : gateway + " on " + stringField(response, "uplinkInterface"))
              << "\nrestarts: xray " << numberField(response, "coreRestarts") << ", tun2socks "
              << numberField(response, "bridgeRestarts") << '\n';
}

void printStatus(std::string_view response) {
    std::cout << "status: " << stringField(response, "status") << '\n';
    const std::string protocol = stringField(response, "activeProtocol");
    if (!protocol.empty()) {
        std::cout << "protocol: " << protocol << '\n';
    }
}

std::string readConfigFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError{"cannot read " + path};
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

int runStart(const Options& options) {
    std::optional<std::string> configPath;
    std::string dnsServers;  // quoted, comma-separated
    for (std::size_t i = 0; i < options.arguments.size(); ++i) {
        const std::string& argument = options.arguments[i];
        if ((argument == "--config" || argument == "--dns") && i + 1 < options.arguments.size()) {
            const std::string& value = options.arguments[++i];
            if (argument == "--config") {
                configPath = value;
            } else {
                dnsServers += (dnsServers.empty() ? "" : ",") + quoteJson(value);
            }
        } else {
            throw UsageError{"start: unexpected argument " + argument};
        }
    }
    if (!configPath) {
        throw UsageError{"start needs --config FILE"};
    }
    std::string request =
        "{\"command\":\"startXray\",\"configJson\":" + quoteJson(readConfigFile(*configPath));
    if (!dnsServers.empty()) {
        request += ",\"dnsServers\":[" + dnsServers + ']';
    }
    request += '}';
    return runOnce(options, request, printStatus);
}

std::string formatBytes(double bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(kUnits)) {
        bytes /= 1024.0;
        ++unit;
    }
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(unit == 0 ? 0 : 1);
    text << bytes << ' ' << kUnits[unit];
    return text.str();
}

int runStats(const Options& options) {
    std::optional<std::int64_t> watchSeconds;
    for (std::size_t i = 0; i < options.arguments.size(); ++i) {
        if (options.arguments[i] != "--watch") {
            throw UsageError{"stats: unexpected argument " + options.arguments[i]};
        }
        watchSeconds = 1;
        if (i + 1 < options.arguments.size()) {
            const std::string& value = options.arguments[++i];
            const auto seconds = value.size() <= 6 ? wholeNumber(value, 999999) : std::nullopt;
            if (!seconds || *seconds == 0) {
                throw UsageError{"stats: --watch takes a whole number of seconds, not " + value};
            }
            watchSeconds = static_cast<std::int64_t>(*seconds);
        }
    }
    const std::string request = commandRequest("trafficStats");
    if (!watchSeconds) {
        return runOnce(options, request, [](std::string_view response) {
            std::cout << "sent: " << numberField(response, "txBytes") << " bytes\n"
                      << "received: " << numberField(response, "rxBytes") << " bytes\n";
        });
    }
    std::optional<std::pair<std::int64_t, std::int64_t>> previous;
    auto previousTime = MonotonicClock::now();
    for (;;) {
        const Answer answer = ask(options, request);
        const auto now = MonotonicClock::now();
        if (answer.exitCode != kExitOk) {
            return answer.exitCode;
        }
        const std::int64_t tx = numberField(answer.response, "txBytes");
        const std::int64_t rx = numberField(answer.response, "rxBytes");
        if (options.json) {
            std::cout << answer.response << std::endl;
        } else {
            std::cout << "sent " << formatBytes(static_cast<double>(tx)) << ", received "
                      << formatBytes(static_cast<double>(rx));
            const double seconds = std::chrono::duration<double>(now - previousTime).count();
            // Counters that went down belong to a new adapter: no rate for that step.
            if (previous && seconds > 0 && tx >= previous->first && rx >= previous->second) {
                std::cout << "  (up "
                          << formatBytes(static_cast<double>(tx - previous->first) / seconds)
                          << "/s, down "
                          << formatBytes(static_cast<double>(rx - previous->second) / seconds)
                          << "/s)";
            }
            std::cout << std::endl;
        }
        previous = {tx, rx};
        previousTime = now;
        sleepMilliseconds(*watchSeconds * 1000);
    }
}

int runLogs(const Options& options) {
    std::string source;
    bool follow = false;
    for (std::size_t i = 0; i < options.arguments.size(); ++i) {
        const std::string& argument = options.arguments[i];
        if (argument == "--follow") {
            follow = true;
        } else if (argument == "--source" && i + 1 < options.arguments.size()) {
            source = options.arguments[++i];
        } else {
            throw UsageError{"logs: unexpected argument " + argument};
        }
    }
    if (source != "xray" && source != "tun2socks") {
        throw UsageError{"logs needs --source xray or --source tun2socks"};
    }
    // The protocol names the logs after the platform the service was first written for.
    const std::string quotedSource = quoteJson("windows_" + source);
    const bool terminal = standardOutputIsTerminal();
    std::int64_t offset = 0;
    for (;;) {
        const std::string request = "{\"command\":\"readLogDelta\",\"source\":" + quotedSource +
                                    ",\"offset\":" + std::to_string(offset) +
                                    ",\"maxBytes\":" + std::to_string(kLogPieceBytes) + "}";
        const Answer answer = ask(options, request);
        if (answer.exitCode != kExitOk) {
            return answer.exitCode;
        }
        const std::string content = stringField(answer.response, "content");
        const std::int64_t nextOffset = numberField(answer.response, "nextOffset");
        const std::int64_t fileSize = numberField(answer.response, "fileSize");
        if (options.json) {
            std::cout << answer.response << std::endl;
        } else if (!content.empty()) {
            // A log is a child's output, and a child may be hostile: a terminal is shown its
            // controls (not line feeds or tabs) as \xNN; a file or pipe gets every byte.
            const std::string shown =
                terminal ? escapeBytes(content, LineFeedsAndTabs::kept) : content;
            std::cout.write(shown.data(), static_cast<std::streamsize>(shown.size()));
            std::cout.flush();
        }
        if (fileSize < offset) {
            // Smaller than what was already read: the program was restarted with a new log.
            offset = 0;
            continue;
        }
        const bool caughtUp = content.empty() || nextOffset <= offset || nextOffset >= fileSize;
        offset = nextOffset;
        if (!caughtUp) {
            continue;
        }
        if (!follow) {
            return kExitOk;
        }
        sleepMilliseconds(kFollowPauseMilliseconds);
    }
}

int run(const Options& options) {
    const auto noArguments = [&options] {
        if (!options.arguments.empty()) {
            throw UsageError{options.command + ": unexpected argument " + options.arguments[0]};
        }
    };
    if (options.command == "status" || options.command == "stop") {
        noArguments();
        return runOnce(options, commandRequest(options.command), printStatus);
    }
    if (options.command == "start") {
        return runStart(options);
    }
    if (options.command == "last-error") {
        noArguments();
        return runOnce(options, commandRequest("lastError"), [](std::string_view response) {
            const std::string error = stringField(response, "error");
            std::cout << (error.empty() ? "no error recorded" : error) << '\n';
        });
    }
    if (options.command == "session") {
        noArguments();
        return runOnce(options, commandRequest("sessionInfo"), printSession);
    }
    if (options.command == "stats") {
        return runStats(options);
    }
    if (options.command == "logs") {
        return runLogs(options);
    }
    if (options.command == "raw") {
        if (options.arguments.size() != 1) {
            throw UsageError{"raw takes exactly one argument, the JSON request"};
        }
        // The answer is the output, with or without --json.
        Options unchanged = options;
        unchanged.json = true;
        return runOnce(unchanged, options.arguments[0], [](std::string_view) {});
    }
    throw UsageError{options.command.empty() ? "no command given"
                                             : "unknown command " + options.command};
}

}  // namespace
}  // namespace halvern

int main(int argc, char** argv) {
    using namespace halvern;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (argument == "--version") {
            std::cout << "halvernctl " HALVERN_VERSION "\n";
            return kExitOk;
        }
        if (argument == "--json") {
            options.json = true;
        } else if (options.command.empty()) {
            options.command = argument;
        } else {
            options.arguments.push_back(argument);
        }
    }
    try {
        return run(options);
    } catch (const UsageError& error) {
        std::cerr << "halvernctl: " << error.message << "\n\n" << kUsage;
        return kExitUsage;
    } catch (const std::exception& error) {
        std::cerr << "halvernctl: " << error.what() << '\n';
        return kExitRefused;
    }
}
