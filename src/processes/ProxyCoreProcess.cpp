#include "processes/ProxyCoreProcess.h"

#include <optional>
#include <stdexcept>
#include <utility>

#include "common/DebugOutput.h"
#include "common/ErrorText.h"
#include "common/MonotonicClock.h"
#include "common/SessionNames.h"
#include "processes/ListenerOwner.h"
#include "processes/ServerAddress.h"
#include "processes/SocketCalls.h"

namespace halvern {
namespace {

constexpr std::size_t kExitTailBytes = 2048;
constexpr std::size_t kTimeoutTailBytes = 4096;
constexpr std::int64_t kProbeIntervalMs = 200;
constexpr std::int64_t kPortReleaseMs = 2000;

JournalEntry configEntry() {
    return {JournalKind::proxyConfig, {}};
}

}  // namespace

ChildCommand proxyCoreCommand(const std::string& exePath, const std::string& configPath) {
    return ChildCommand{"\"" + exePath + "\" run -c \"" + configPath + "\"",
                        {exePath, "run", "-c", configPath}};
}

ProxyCoreProcess::ProxyCoreProcess(std::string exePath, JournalRecorder* journal)
    : exePath_(std::move(exePath)), journal_(journal) {}

ProxyCoreProcess::~ProxyCoreProcess() {
    stop();
}

void ProxyCoreProcess::start(const std::string& configJson) {
    if (auto address = extractServerAddress(configJson)) {
        serverAddress_ = std::move(*address);
    }

    // Kept before the file is opened: from here on stop deletes whatever ends up there. The
    // configuration holds the client's credentials, so a service that dies leaves it to the
    // next start to delete.
    configPath_ = tempFilePath(session::kCoreConfigFileName).string();
    if (journal_ != nullptr) {
        journal_->record(configEntry());
    }
    std::uint32_t error = 0;
    configFile_ = writeConfigFile(configPath_, configJson, error);
    if (!configFile_.valid()) {
        writeDebugOutput("HalvernService files: cannot write " + configPath_ +
                         errorCodeSuffix(error) + "\n");
        throw std::runtime_error("Failed to write Xray config to " + configPath_);
    }

    logFile_ = createChildLog(session::kCoreLogFileName);
    process_ = launchHidden(proxyCoreCommand(exePath_, configPath_), exePath_, logFile_,
                            executableFileName("xray"), journal_);
}

void ProxyCoreProcess::waitForSocksPort(int timeoutMs) {
    // The order within a look matters: a port that opens during the last pause still counts,
    // and a child that has ended is reported as such even when the time is also up.
    bool open = false;
    std::optional<std::uint32_t> code;
    waitUntil(
        [&] {
            open = tryConnectLoopback(session::kSocksPort);
            code = open ? std::nullopt : process_.process.exitCodeIfExited();
            return open || code.has_value();
        },
        timeoutMs, kProbeIntervalMs);
    if (open) {
        requireListenerOf(process_, session::kSocksPort, executableFileName("xray"));
    } else if (code) {
        throw std::runtime_error(
            exitMessage(executableFileName("xray") + " exited prematurely with code ", *code,
                        readLogTail(session::kCoreLogFileName, kExitTailBytes)));
    } else {
        throw std::runtime_error(exitMessage(
            "Timed out waiting for " + executableFileName("xray") + " SOCKS5 port ",
            session::kSocksPort, readLogTail(session::kCoreLogFileName, kTimeoutTailBytes)));
    }
}

void ProxyCoreProcess::stop() noexcept {
    process_.reset();  // the log file stays on disk
    logFile_.reset();
    // The entry goes only with the file: one that is still there is the next start's to delete.
    if (!configPath_.empty()) {
        if (deleteConfigFile(configFile_, configPath_) && journal_ != nullptr) {
            journal_->forget(configEntry());
        }
        configPath_.clear();
    }
    serverAddress_.clear();
}

std::optional<std::uint32_t> ProxyCoreProcess::exitCodeIfEnded() noexcept {
    return process_.process.exitCodeIfExited();
}

// The log's handle is the one start() opened, so the new child writes where the old one
// stopped: a client reading from its old offset loses nothing, and the crash's last lines stay.
void ProxyCoreProcess::restart(int timeoutMs) {
    if (configPath_.empty()) {
        throw std::runtime_error("Failed to start " + executableFileName("xray") +
                                 ": no configuration");
    }
    process_.reset();
    // A killed core's listener goes as its process is torn down, which may end after its exit
    // code can be read: until then the new core could not bind the port, and the readiness
    // probe would take the old listener for the new one's. The wait is bounded.
    waitUntil([] { return !tryConnectLoopback(session::kSocksPort); }, kPortReleaseMs,
              kProbeIntervalMs / 4);
    process_ = launchHidden(proxyCoreCommand(exePath_, configPath_), exePath_, logFile_,
                            executableFileName("xray"), journal_);
    waitForSocksPort(timeoutMs);
}

std::uint32_t ProxyCoreProcess::processId() const noexcept {
    return process_.process.id();
}

}  // namespace halvern
