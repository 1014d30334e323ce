#include "processes/TunnelBridgeProcess.h"

#include <stdexcept>
#include <utility>

#include "common/MonotonicClock.h"
#include "common/SessionNames.h"
#include "processes/AdapterCounters.h"

namespace halvern {
namespace {

constexpr std::int64_t kSettleMs = 1500;
constexpr std::size_t kExitTailBytes = 2048;

}  // namespace

ChildCommand tunnelBridgeCommand(const std::string& exePath, const std::string& adapterName,
                                 int socksPort) {
    const std::string device = "tun://" + adapterName;
    const std::string proxy =
        "socks5://" + std::string(session::kSocksHost) + ":" + std::to_string(socksPort);
    return ChildCommand{"\"" + exePath + "\" -device " + device + " -proxy " + proxy,
                        {exePath, "-device", device, "-proxy", proxy}};
}

TunnelBridgeProcess::TunnelBridgeProcess(std::string exePath, std::string wintunPath,
                                         JournalRecorder* journal)
    : exePath_(std::move(exePath)),
      wintunPath_(std::move(wintunPath)),
      journal_(journal),
      adapterName_(tunnelAdapterName()) {}

TunnelBridgeProcess::~TunnelBridgeProcess() {
    stop();
}

void TunnelBridgeProcess::start(int socksPort) {
    ensureWintun();
    socksPort_ = socksPort;
    logFile_ = createChildLog(session::kBridgeLogFileName);
    launch();
}

// The log's handle is the one start() opened: the new child's output follows the old one's.
void TunnelBridgeProcess::restart() {
    process_.reset();
    launch();
}

std::optional<std::uint32_t> TunnelBridgeProcess::exitCodeIfEnded() noexcept {
    return process_.process.exitCodeIfExited();
}

void TunnelBridgeProcess::launch() {
    const std::string exeName = executableFileName("tun2socks");
    process_ = launchHidden(tunnelBridgeCommand(exePath_, adapterName_, socksPort_), exePath_,
                            logFile_, exeName, journal_, ChildRights::networkAdmin);

    // One look only, after the bridge has had time to fail on a bad device or driver. Whether
    // the adapter really exists is found out by the network setup that follows.
    sleepMilliseconds(kSettleMs);
    const auto code = process_.process.exitCodeIfExited();
    if (!code) {
        return;
    }
    const std::string tail = readLogTail(session::kBridgeLogFileName, kExitTailBytes);
    process_.reset();  // it has ended (and on POSIX been reaped): only the handle goes
    throw std::runtime_error(exitMessage(exeName + " exited prematurely with code ", *code, tail));
}

void TunnelBridgeProcess::stop() noexcept {
    process_.reset();  // the log file stays on disk
    logFile_.reset();
}

TrafficStats TunnelBridgeProcess::trafficStats() const {
    return adapterTrafficStats(adapterName_);
}

std::uint32_t TunnelBridgeProcess::processId() const noexcept {
    return process_.process.id();
}

}  // namespace halvern
