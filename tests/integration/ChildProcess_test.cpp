// Starting, watching and stopping real children: our stand-ins for xray and tun2socks.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "common/ExecutablePath.h"
#include "common/MonotonicClock.h"
#include "common/ProcessIdentity.h"
#include "common/SessionNames.h"
#include "journal/SessionJournal.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

// Linux: the stand-in's step that prints its descriptors, and all it may print: its streams.
const char* const kDescriptors = kOnWindows ? "" : ";fds";
std::string descriptorsLine(const std::filesystem::path& log) {
    const std::string target = kOnWindows ? "" : std::filesystem::canonical(log).string();
    return kOnWindows ? "" : "fds: 0=/dev/null 1=" + target + " 2=" + target + "\n";
}

std::string waitForContent(const std::filesystem::path& path, const std::string& expected) {
    std::string content;
    eventually([&] { return (content = readFileBytes(path)) == expected; });
    return content;
}

// Private directories for the service's files and the stand-ins; no child, not even a zombie, left.
class ChildProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{}) << "left behind";
    }

    // The stand-in for `stem` under its real name, a non-empty `behaviour` as STEM.behaviour.
    std::string install(const std::string& stem, const std::string& behaviour = {}) {
        const auto target = programs_.path() / executableFileName(stem);
        const auto fakes = executablePath().parent_path() / HALVERN_FAKES_RELATIVE_DIR;
        std::filesystem::copy_file(fakes / executableFileName("fake_" + stem), target,
                                   std::filesystem::copy_options::overwrite_existing);
        if (!behaviour.empty()) {
            writeFileBytes(programs_.path() / (stem + ".behaviour"), behaviour);
        }
        return target.string();
    }

    ScopedRuntimeDirectory runtime_;
    const std::filesystem::path config_ = runtime_.path() / session::kCoreConfigFileName;
    const std::filesystem::path coreLog_ = runtime_.path() / session::kCoreLogFileName;
    const std::filesystem::path bridgeLog_ = runtime_.path() / session::kBridgeLogFileName;
    ScopedTempDirectory programs_;
};

using ProxyCoreStart = ChildProcessTest;
using TunnelBridgeStart = ChildProcessTest;

TEST_F(ProxyCoreStart, RunsPrivatelyInItsDirectoryOnItsConfigurationUntilStopped) {
    // libstdc++ opens a file without close-on-exec: the child must not get it all the same.
    const std::ifstream stray("/dev/null");
    const std::string config = "{\"outbounds\": [{\"vnext\": [{\"address\": \"192.0.2.1\"}]}]}\n";
    ProxyCoreProcess core(install("xray", std::string("cwd;args") + kDescriptors));
    core.start(config);
    const std::uint32_t pid = core.processId();
    ASSERT_NE(pid, 0U);
    // Windows stores the text in text mode, Linux byte for byte, root's, readable by the core.
    EXPECT_EQ(readFileBytes(config_),
              kOnWindows ? config.substr(0, config.size() - 1) + "\r\n" : config);
    for (const auto& file : {config_, coreLog_}) {
        EXPECT_TRUE(kOnWindows ||
                    std::filesystem::status(file).permissions() == std::filesystem::perms(0640))
            << file;
    }
    const std::string expected = programs_.path().string() + "\nrun -c " + config_.string() + "\n" +
                                 descriptorsLine(coreLog_);
    EXPECT_EQ(waitForContent(coreLog_, expected), expected);

    core.stop();
    EXPECT_TRUE(processHasEnded(pid));
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_EQ(core.serverAddress(), "");
}

// On Linux a planted symlink must not redirect the write; on Windows a directory blocks it.
TEST_F(ProxyCoreStart, AMissingProgramOrAConfigurationThatCannotBeWrittenStopsTheStart) {
    ProxyCoreProcess missing((programs_.path() / executableFileName("absent")).string());
    EXPECT_EQ(errorFrom([&] { missing.start("{}"); }),
              "Failed to start " + executableFileName("xray") + " (error 2)");
    missing.stop();     // the configuration goes, the log stays
    if (!kOnWindows) {  // the children's private /tmp hides a program there
        EXPECT_EQ(errorFrom([] { ProxyCoreProcess("/tmp/xray").start("{}"); }),
                  "Failed to start xray (error 2): /tmp/xray lies in /tmp or /dev/shm, which its "
                  "children see empty");
    }
    std::filesystem::remove(coreLog_);
    const auto victim = programs_.path() / "victim";
    writeFileBytes(victim, "untouched");
    if (!kOnWindows) {  // a planted link is replaced, never followed
        std::filesystem::create_symlink(victim, config_);
        ProxyCoreProcess linked(install("xray", "hold"));
        linked.start("{}");
        EXPECT_FALSE(std::filesystem::is_symlink(config_));
        linked.stop();
        std::filesystem::remove(coreLog_);
    }
    std::filesystem::create_directory(config_);
    ProxyCoreProcess core(install("xray", "hold"));
    EXPECT_EQ(errorFrom([&] { core.start("{\"secret\":1}"); }),
              "Failed to write Xray config to " + config_.string());
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_EQ(readFileBytes(victim), "untouched");
    EXPECT_FALSE(std::filesystem::exists(coreLog_));
#ifdef _WIN32
    // Files planted at the session's names and held open get none of its bytes.
    std::filesystem::remove(config_);
    for (const auto& [planted, error] :
         {std::pair{config_, "Failed to write Xray config to " + config_.string()},
          std::pair{coreLog_, "Failed to create " + coreLog_.string() + " (error 32)"}}) {
        std::ofstream held(planted);  // shares reading and writing, not deletion
        const ScopedJournalPlace place;
        SessionJournal journal(place.path());
        ProxyCoreProcess again(install("xray", "hold"), &journal);
        EXPECT_EQ(errorFrom([&] { again.start("{\"secret\":2}"); }), error);
        held.close();
        EXPECT_EQ(readFileBytes(planted), "");
        again.stop();  // which deletes what stands at the configuration's name, and only then
        EXPECT_FALSE(place.holdsJournal());  // forgets it
        std::filesystem::remove(planted);
    }
    // Nor is a session folder used that users may change.
    letEveryoneChange(runtime_.path());
    ProxyCoreProcess exposed(install("xray", "hold"));
    EXPECT_EQ(errorFrom([&] { exposed.start("{}"); }),
              "Failed to write Xray config to " + config_.string());
    EXPECT_FALSE(std::filesystem::exists(config_));
#endif

    // A journal that cannot record the child fails its start; the child goes too, jobless or not.
    SessionJournal nowhere(kOnWindows ? "HKLM\\SOFTWARE\\HalvernAbsent\\Key\\Value" : victim / "x");
    refuseChildJobsForTesting(true);
    const std::string exe = install("xray", "hold");
    EXPECT_EQ(errorFrom([&] {
                  launchHidden(proxyCoreCommand(exe, "c"), exe, ChildLog{}, "xray", &nowhere);
              }).rfind("Cannot write the session", 0),
              0U);
    refuseChildJobsForTesting(false);
}

TEST_F(ProxyCoreStart, AnEndOrATimeOutIsReportedWithTheEndOfTheOutput) {
    ASSERT_TRUE(waitUntilPortIsFree(session::kSocksPort)) << "10807 is held";
    const SocksPortLock lock;
    const std::string xray = executableFileName("xray");
    const std::string timedOut = "Timed out waiting for " + xray + " SOCKS5 port 10807";
    const auto waitMessage = [&](const std::string& behaviour, int timeoutMs) {
        ProxyCoreProcess core(install("xray"));
        core.start("{\"fakeBehaviour\": \"" + behaviour + "\"}");
        return errorFrom([&] { core.waitForSocksPort(timeoutMs); });
    };
    EXPECT_EQ(waitMessage("fill 10000;exit 1", 10000),
              xray + " exited prematurely with code 1 | output: " +
                  fillPattern(10000).substr(10000 - 2048));
    // Ended 100 ms in: a second attempt, 200 ms later, would report the end, not the time-out.
    EXPECT_EQ(waitMessage("sleep 100;exit 9", 0), timedOut);

    ProxyCoreProcess core(install("xray", "fill 10000;hold"));
    core.start("{}");
    ASSERT_EQ(waitForContent(coreLog_, fillPattern(10000)), fillPattern(10000));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(500); }),
              timedOut + " | output: " + fillPattern(10000).substr(10000 - 4096));
    EXPECT_FALSE(processHasEnded(core.processId()));
}

TEST_F(TunnelBridgeStart, ABridgeThatStaysUpIsStartedAndKeepsTheServicesRightsUnlikeTheCore) {
    TunnelBridgeProcess bridge(install("tun2socks", std::string("args;cwd") + kDescriptors), "");
    const auto started = MonotonicClock::now();
    bridge.start(10807);
    EXPECT_GE(elapsedMilliseconds(started), 1500);  // it had time to fail first
    const std::uint32_t pid = bridge.processId();
    ASSERT_NE(pid, 0U);
    const std::string expected = "-device tun://" + bridge.adapterName() +
                                 " -proxy socks5://127.0.0.1:10807\n" + programs_.path().string() +
                                 "\n" + descriptorsLine(bridgeLog_);
    EXPECT_EQ(waitForContent(bridgeLog_, expected), expected);
    const std::string mark = processStartMark(pid);
    ProxyCoreProcess later(install("xray", "hold"));
    later.start("{}");
#ifdef _WIN32
    // The core keeps only the bypass of traverse checking (Linux: see daemon_test.sh). Wine 8
    // reports privileges once the launch names those it drops; integrity and restricting SIDs not.
    const auto service = processTokenRights(ownProcessId());
    const auto core = processTokenRights(later.processId());
    ASSERT_TRUE(service && core);
    ASSERT_GT(service->privileges.size(), 1U) << "the service has nothing to take away";
    EXPECT_EQ(processTokenRights(pid), service);
    EXPECT_EQ(core->privileges, std::vector<std::string>{"+SeChangeNotifyPrivilege"});
    EXPECT_TRUE(core->integrity == 0x1000U || runningUnderWine()) << core->integrity;
    EXPECT_TRUE(core->restricted || runningUnderWine());
    EXPECT_FALSE(service->restricted);
#endif
    bridge.stop();
    EXPECT_EQ(bridge.processId(), 0U);
    // A process started later, in a group of its own, is no remnant of the recorded child.
    EXPECT_EQ(endRecordedProcess(pid, mark), RecordedProcessOutcome::alreadyGone);
}

TEST_F(TunnelBridgeStart, AnEarlyEndIsReportedWithTheLast2048BytesOfOutput) {
    const std::string ended = executableFileName("tun2socks") + " exited prematurely with code ";
    const std::pair<std::string, std::string> cases[] = {
        {"exit 0", ended + "0"},
        {"fill 5000;exit 1", ended + "1 | output: " + fillPattern(5000).substr(5000 - 2048)},
        // Windows reports a crash status as an unsigned number; Linux a signal as 128 + it.
        {kOnWindows ? "print crash\n;exit 0xC0000005" : "raise 15",
         kOnWindows ? ended + "3221225477 | output: crash\n" : ended + "143"},
        // STILL_ACTIVE on Windows, taken for a running child; its low 8 bits on Linux.
        {"exit 259", kOnWindows ? "<no error>" : ended + "3"},
    };
    const ScopedSignalShunned shunned(SIGTERM);  // the signal is the child's all the same
    for (const auto& [behaviour, message] : cases) {
        TunnelBridgeProcess bridge(install("tun2socks", behaviour), "");
        EXPECT_EQ(errorFrom([&] { bridge.start(10807); }), message);
        EXPECT_EQ(bridge.processId() == 0U, message != "<no error>");
    }
}

TEST_F(TunnelBridgeStart, DriverLibraryIsCopiedBesideTheBridge) {
    if (!kOnWindows) {
        GTEST_SKIP() << "there is no driver library to copy on Linux";
    }
    const std::string tun2socks = install("tun2socks", "hold");
    const auto target = programs_.path() / "wintun.dll";
    const auto source = runtime_.path() / "wintun.dll";  // elsewhere
    writeFileBytes(source, "driver v2");
    TunnelBridgeProcess(tun2socks, source.string()).start(10807);
    EXPECT_EQ(readFileBytes(target), "driver v2");  // and the copy stays after stop
    std::filesystem::remove(target);
    std::filesystem::remove(source);
    std::filesystem::create_directory(source);
    const std::string message =
        errorFrom([&] { TunnelBridgeProcess(tun2socks, source.string()).start(10807); });
    EXPECT_EQ(message.rfind("Failed to copy " + source.string() + " to " + target.string(), 0), 0U)
        << message;
}

}  // namespace
}  // namespace halvern::testing
