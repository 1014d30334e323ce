// The Windows runner on real Win32 calls (under Wine in CI), with our own netsh.exe and
// powershell.exe beside the test executable recording how they were started.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/MonotonicClock.h"
#include "network/CommandRunner.h"
#include "network/NetworkCommands.h"
#include "network/NetworkConfigurator.h"

namespace halvern {
namespace {

struct Started {
    unsigned long pid = 0;
    std::string flags;
    std::string show;
    std::string inherited;
    std::string line;
};

std::string field(const std::string& text, const std::string& name) {
    const std::string key = name + "=";
    const auto start = text.find(key);
    if (start == std::string::npos) {
        return {};
    }
    const auto end = text.find(' ', start);
    return text.substr(start + key.size(),
                       end == std::string::npos ? std::string::npos : end - start - key.size());
}

// Sets the stand-ins' instructions for one test and takes them away again.
class StandIns {
  public:
    StandIns() {
        char directory[MAX_PATH + 1] = {};
        GetTempPathA(sizeof(directory), directory);
        record_ = std::string(directory) + "halvern-standin-" +
                  std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(record_.c_str());
        SetEnvironmentVariableA("HALVERN_STANDIN_RECORD", record_.c_str());
    }
    ~StandIns() {
        for (const char* name :
             {"HALVERN_STANDIN_RECORD", "HALVERN_STANDIN_EXIT", "HALVERN_STANDIN_SLEEP_MS",
              "HALVERN_STANDIN_FAIL_ON", "HALVERN_STANDIN_PROBE_HANDLE"}) {
            SetEnvironmentVariableA(name, nullptr);
        }
        DeleteFileA(record_.c_str());
    }
    StandIns(const StandIns&) = delete;
    StandIns& operator=(const StandIns&) = delete;

    static void set(const char* name, const std::string& value) {
        SetEnvironmentVariableA(name, value.c_str());
    }

    std::vector<Started> started() const {
        std::vector<Started> result;
        std::ifstream file(record_, std::ios::binary);
        for (std::string text; std::getline(file, text);) {
            Started entry;
            entry.pid = std::stoul(field(text, "pid"));
            entry.flags = field(text, "flags");
            entry.show = field(text, "show");
            entry.inherited = field(text, "inherited");
            const auto line = text.find(" line=");
            entry.line = line == std::string::npos ? "" : text.substr(line + 6);
            result.push_back(entry);
        }
        return result;
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        for (const Started& entry : started()) {
            result.push_back(entry.line);
        }
        return result;
    }

  private:
    std::string record_;
};

std::string runAndCatch(const std::string& line) {
    try {
        runCommand({line}, false);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(CommandRunnerWindows, ExitCodesAndLaunchFailures) {
    const StandIns standIns;
    StandIns::set("HALVERN_STANDIN_EXIT", "0");
    EXPECT_NO_THROW(runCommand({"netsh interface ipv4 show config"}, false));

    StandIns::set("HALVERN_STANDIN_EXIT", "1");
    EXPECT_EQ(runAndCatch("netsh interface ipv4 show config"),
              "Command failed with exit code 1: netsh interface ipv4 show config");
    EXPECT_NO_THROW(runCommand({"netsh interface ipv4 show config"}, true));

    // A status meant as negative is written as its unsigned value.
    StandIns::set("HALVERN_STANDIN_EXIT", "3221225477");
    EXPECT_EQ(runAndCatch("netsh interface ipv4 show config"),
              "Command failed with exit code 3221225477: netsh interface ipv4 show config");

    const std::vector<Started> started = standIns.started();
    ASSERT_EQ(started.size(), 4U);
    for (const Started& entry : started) {
        EXPECT_EQ(entry.line, "netsh interface ipv4 show config");
        EXPECT_EQ(entry.flags, "1") << "STARTF_USESHOWWINDOW and nothing else";
        EXPECT_EQ(entry.show, "0") << "SW_HIDE";
    }

    EXPECT_EQ(runAndCatch("halvern-no-such-tool interface ipv4"),
              "Failed to launch command (error 2): halvern-no-such-tool interface ipv4");
    EXPECT_NO_THROW(runCommand({"halvern-no-such-tool interface ipv4"}, true));
}

TEST(CommandRunnerWindows, ChildInheritsNoHandle) {
    const StandIns standIns;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    StandIns::set("HALVERN_STANDIN_PROBE_HANDLE",
                  std::to_string(reinterpret_cast<ULONG_PTR>(writeEnd)));
    StandIns::set("HALVERN_STANDIN_EXIT", "0");

    runCommand({"netsh probe"}, false);

    // The probe itself works: a child started with inheritance on does see the pipe.
    std::string control = "netsh control";
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof(info));
    const BOOL created = CreateProcessA(nullptr, control.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    if (created) {
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    ASSERT_TRUE(created);

    const std::vector<Started> started = standIns.started();
    ASSERT_EQ(started.size(), 2U);
    EXPECT_EQ(started[0].line, "netsh probe");
    EXPECT_EQ(started[0].inherited, "0");
    EXPECT_EQ(started[1].line, "netsh control");
    EXPECT_EQ(started[1].inherited, "1");
}

TEST(CommandRunnerWindows, SlowCommandIsLeftRunningAndFailsWith259) {
    const StandIns standIns;
    StandIns::set("HALVERN_STANDIN_EXIT", "0");
    StandIns::set("HALVERN_STANDIN_SLEEP_MS", "9000");
    const std::string line =
        "netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_1\" 10.255.0.1";

    const auto start = MonotonicClock::now();
    EXPECT_EQ(runAndCatch(line), "Command failed with exit code 259: " + line);
    const std::int64_t waited = elapsedMilliseconds(start);
    EXPECT_GE(waited, 4900);  // Wine's wait may end a tick early
    EXPECT_LT(waited, 8000);

    const std::vector<Started> started = standIns.started();
    ASSERT_EQ(started.size(), 1U);
    const HANDLE child =
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                    static_cast<DWORD>(started[0].pid));
    ASSERT_NE(child, nullptr);
    DWORD exitCode = 0;
    GetExitCodeProcess(child, &exitCode);
    EXPECT_EQ(exitCode, STILL_ACTIVE) << "the runner must neither kill nor keep waiting";
    TerminateProcess(child, 1);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
}

TEST(CommandRunnerWindows, PowershellAndNonAsciiNamesArriveIntact) {
    const StandIns standIns;
    StandIns::set("HALVERN_STANDIN_EXIT", "1");
    const CommandList netbios = netshCommands().disableNetbios("Halvern_Tun_7");
    ASSERT_EQ(netbios.size(), 1U);
    EXPECT_NO_THROW(runCommand(netbios[0], true));

    StandIns::set("HALVERN_STANDIN_EXIT", "0");
    const std::string route =
        "netsh interface ipv4 add route 203.0.113.5/32 \"Ethernet \xC3\x9C"
        "berall \xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C\" 192.0.2.1 metric=1";
    runCommand({route}, false);

    EXPECT_EQ(standIns.lines(), (std::vector<std::string>{netbios[0][0], route}));
}

// The real route discovery and runner together. Under Wine the forwarding table and adapter
// names are the Linux host's, so the test takes whatever default route it finds.
TEST(CommandRunnerWindows, ApplyAndRestoreOnTheRealSystem) {
    const StandIns standIns;
    StandIns::set("HALVERN_STANDIN_EXIT", "0");
    NetworkConfigurator probe;
    if (!probe.findDefaultRoute()) {
        GTEST_SKIP() << "this machine has no IPv4 default route with a gateway";
    }
    const std::string iface = probe.defaultInterface();
    const std::string gateway = probe.defaultGateway();
    EXPECT_NE(iface.rfind("Halvern", 0), 0U);

    {
        NetworkConfigurator network;
        network.apply("Halvern_Tun_4242", "203.0.113.5", "", {}, true);
        EXPECT_TRUE(network.applied());
        network.restore();
    }
    const std::vector<std::string> lines = standIns.lines();
    ASSERT_EQ(lines.size(), 8U);
    EXPECT_EQ(lines[0],
              "netsh interface ipv4 set address name=\"Halvern_Tun_4242\" source=static "
              "addr=10.255.0.1 mask=255.255.255.0");
    EXPECT_EQ(lines[4], "netsh interface ipv4 add route 203.0.113.5/32 \"" + iface + "\" " +
                            gateway + " metric=1");
    EXPECT_EQ(lines[5],
              "netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_4242\" 10.255.0.1 metric=1");
    EXPECT_EQ(lines[6],
              "netsh interface ipv4 delete route 0.0.0.0/0 \"Halvern_Tun_4242\" 10.255.0.1");
    EXPECT_EQ(lines[7],
              "netsh interface ipv4 delete route 203.0.113.5/32 \"" + iface + "\" " + gateway);

    // The tunnel route fails for real now: the host route stays and nothing is restored.
    StandIns::set("HALVERN_STANDIN_EXIT", "1");
    StandIns::set("HALVERN_STANDIN_FAIL_ON", "0.0.0.0/0");
    {
        NetworkConfigurator network;
        try {
            network.apply("Halvern_Tun_4242", "203.0.113.5", "", {}, true);
            ADD_FAILURE() << "apply succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Command failed with exit code 1: netsh interface ipv4 add route 0.0.0.0/0 "
                      "\"Halvern_Tun_4242\" 10.255.0.1 metric=1");
        }
        EXPECT_FALSE(network.applied());
    }
    EXPECT_EQ(standIns.lines().size(), 14U) << "six more commands and no delete";
}

}  // namespace
}  // namespace halvern
