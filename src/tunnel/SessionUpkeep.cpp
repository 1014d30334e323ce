// The watcher's side of TunnelController: what it does to a connected session after a change of
// network or the end of a child. Runs on the watcher's thread with the command lock held (see
// SessionWatcher.h) and takes the controller's own lock, like any command.

#include <exception>
#include <string>

#include "common/DebugOutput.h"
#include "common/SessionNames.h"
#include "processes/ChildLaunch.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "tunnel/TunnelController.h"

namespace halvern {
namespace {

constexpr int kSocksReadyTimeoutMs = 10000;
constexpr std::size_t kExitTailBytes = 2048;

void trace(const std::string& text) noexcept {
    try {
        writeDebugOutput("HalvernService session: " + text + "\n");
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the trace is a nicety
    }
}

std::string uplinkText(const Uplink& uplink) {
    return uplink.gateway + " on " + uplink.interfaceName;
}

}  // namespace

void TunnelController::startWatcher() noexcept {
    try {
        watcher_ = std::make_unique<SessionWatcher>(
            commandLock_,
            [this](bool networkMayHaveChanged) { return keepSession(networkMayHaveChanged); });
    } catch (...) {
        trace("cannot watch the session: no thread");
    }
}

void TunnelController::stopWatcher() noexcept {
    if (watcher_) {
        watcher_->stop();
        watcher_.reset();
    }
}

// A session given up keeps what holds traffic back (Linux's dead ends) and its DNS change until
// stop or the next connect, which both come here first. Its watcher has already ended.
void TunnelController::releaseGivenUpSession() noexcept {
    watcher_.reset();
    restoreNetworkQuietly();
}

SessionUpkeep TunnelController::sessionUpkeep() const {
    const std::lock_guard lock(mutex_);
    if (!connected_) {
        return {};
    }
    return {network_ ? network_->uplink() : Uplink{}, coreRestarts_.total(),
            bridgeRestarts_.total()};
}

// Children first: a bridge that came back needs its routes before anything else reads them.
bool TunnelController::keepSession(bool networkMayHaveChanged) {
    const std::lock_guard lock(mutex_);
    if (!connected_ || !proxyCore_ || !tunnelBridge_ || !network_) {
        return false;
    }
    if (const auto code = proxyCore_->exitCodeIfEnded()) {
        if (!recoverChild(Child::proxyCore, *code)) {
            return false;
        }
    }
    if (const auto code = tunnelBridge_->exitCodeIfEnded()) {
        if (!recoverChild(Child::tunnelBridge, *code)) {
            return false;
        }
    }
    if (networkMayHaveChanged) {
        followNetwork();
    }
    return true;
}

// Any end of a child while connected is unexpected, whatever its code: Wine reports a killed
// child as 0. A restart that fails gives up at once with its own message.
bool TunnelController::recoverChild(Child child, std::uint32_t exitCode) {
    const bool core = child == Child::proxyCore;
    const std::string name = executableFileName(core ? "xray" : "tun2socks");
    RestartBudget& budget = core ? coreRestarts_ : bridgeRestarts_;
    const std::string exited = name + " exited unexpectedly with code ";
    if (!budget.allowRestart(MonotonicClock::now())) {
        const std::string tail = readLogTail(
            core ? session::kCoreLogFileName : session::kBridgeLogFileName, kExitTailBytes);
        giveUp(exitMessage(exited, exitCode, tail),
               exited + std::to_string(exitCode) + " after " +
                   std::to_string(RestartBudget::kMaxRestarts) + " restarts within " +
                   std::to_string(RestartBudget::kWindowMs / 1000) + " s; giving up");
        return false;
    }
    try {
        if (core) {
            proxyCore_->restart(kSocksReadyTimeoutMs);
        } else {
            tunnelBridge_->restart();
            network_->reapplyAdapter();
        }
    } catch (const std::exception& error) {
        giveUp(error.what(), "restarting " + name + " failed; giving up");
        return false;
    }
    trace(name + " exited with code " + std::to_string(exitCode) + "; restarted (" +
          std::to_string(budget.total()) + " so far)");
    return true;
}

// A failure is traced once, not on every pass, and tried again on the next pass.
void TunnelController::followNetwork() {
    try {
        if (const std::optional<UplinkMove> move = network_->followDefaultRoute()) {
            const std::string server = proxyCore_->serverAddress();
            trace(move->from == move->to
                      ? "host route for " + server + " put back via " + uplinkText(move->to)
                      : "host route for " + server + " followed the default route from " +
                            uplinkText(move->from) + " to " + uplinkText(move->to));
        }
        lastFollowFailure_.clear();
    } catch (const std::exception& error) {
        if (lastFollowFailure_ != error.what()) {
            lastFollowFailure_ = error.what();
            trace("cannot follow the default route: " + lastFollowFailure_);
        }
    }
}

// What a failed connect leaves: "error", no protocol, the message, no child. The routes through
// the adapter and the host route go; the leak guard and the DNS change stay until stop.
void TunnelController::giveUp(const std::string& message, const std::string& traceText) noexcept {
    trace(traceText);
    try {
        lastError_ = message;
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the clean-up must still run
    }
    tunnelBridge_.reset();
    proxyCore_.reset();
    endLeftoverChildren();
    if (network_) {
        network_->retreat();
    }
    connected_ = false;
    activeProtocol_.clear();
    try {
        publishStatus("error");
    } catch (...) {  // NOLINT(bugprone-empty-catch): a throwing callback cannot undo the failure
    }
}

}  // namespace halvern
