#include "processes/ProxyCoreProcess.h"

#include <stdexcept>
#include <utility>

#include "common/MonotonicClock.h"
#include "processes/ListenerOwner.h"
#include "processes/SocketCalls.h"

namespace halvern {
namespace {

constexpr std::size_t kExitTailBytes = 2048;
constexpr std::size_t kTimeoutTailBytes = 4096;
constexpr std::int64_t kProbeIntervalMs = 200;

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
    extractServerAddress(configJson);

    // Kept before the file is opened: from here on stop deletes whatever ends up there. The
    // configuration holds the client's credentials, so a service that dies leaves it to the
    // next start to delete.
    configPath_ = ProcessLauncher::tempFilePath(kConfigFileName).string();
    if (journal_ != nullptr) {
        journal_->record(configEntry());
    }
    if (!ProcessLauncher::writeConfigFile(configPath_, configJson)) {
        throw std::runtime_error("Failed to write Xray config to " + configPath_);
    }

    logFile_ = ProcessLauncher::createChildLog(kLogFileName);
    process_ =
        ProcessLauncher::launchHidden(proxyCoreCommand(exePath_, configPath_), exePath_, logFile_,
                                      ProcessLauncher::executableFileName("xray"), journal_);
}

void ProxyCoreProcess::waitForSocksPort(int timeoutMs) {
    const auto started = MonotonicClock::now();
    // The order within a pass matters: a port that opens during the last pass still counts, and
    // a child that has ended is reported as such even when the time is also up.
    for (;;) {
        ensureWinsock();
        if (tryConnectLoopback(kSocksPort)) {
            requireListenerOf(process_, kSocksPort, ProcessLauncher::executableFileName("xray"));
            return;
        }
        if (process_.valid()) {
            if (const auto code = ProcessLauncher::exitCodeIfExited(process_)) {
                throw std::runtime_error(ProcessLauncher::exitMessage(
                    ProcessLauncher::executableFileName("xray") + " exited prematurely with code ",
                    *code, ProcessLauncher::readLogTail(kLogFileName, kExitTailBytes)));
            }
        }
        if (elapsedMilliseconds(started) >= timeoutMs) {
            throw std::runtime_error(ProcessLauncher::exitMessage(
                "Timed out waiting for " + ProcessLauncher::executableFileName("xray") +
                    " SOCKS5 port ",
                kSocksPort, ProcessLauncher::readLogTail(kLogFileName, kTimeoutTailBytes)));
        }
        sleepMilliseconds(kProbeIntervalMs);
    }
}

void ProxyCoreProcess::stop() noexcept {
    ProcessLauncher::terminateChild(process_, logFile_);
    if (!configPath_.empty()) {
        ProcessLauncher::deleteFileQuietly(configPath_);
        configPath_.clear();
        if (journal_ != nullptr) {
            journal_->forget(configEntry());
        }
    }
    serverAddress_.clear();
}

std::uint32_t ProxyCoreProcess::processId() const noexcept {
    return ProcessLauncher::childProcessId(process_);
}

}  // namespace halvern
