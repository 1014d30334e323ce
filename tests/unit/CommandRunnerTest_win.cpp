// The Windows runner on real Win32 calls (under Wine in CI), with our own netsh.exe and
// powershell.exe beside the test executable recording how they were started.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/MonotonicClock.h"
#include "network/CommandRunner.h"

namespace halvern {
namespace {

// One field of a stand-in's record line: "pid=.. flags=.. show=.. inherited=.. line=..".
std::string field(const std::string& text, const std::string& name) {
    const auto start = text.find(name + "=") + name.size() + 1;
    return name == "line" ? text.substr(start) : text.substr(start, text.find(' ', start) - start);
}

// Sets the stand-ins' instructions for one test and takes them away again.
class CommandRunnerWindows : public ::testing::Test {
  protected:
    void SetUp() override {
        // Wine soon reuses process ids, so the id alone could meet an earlier run's record.
        record_ = "halvern-standin-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(std::random_device{}()) + ".log";
        set("HALVERN_STANDIN_RECORD", record_);
        set("HALVERN_STANDIN_EXIT", "0");
    }
    void TearDown() override {
        for (const char* name : {"HALVERN_STANDIN_RECORD", "HALVERN_STANDIN_EXIT",
                                 "HALVERN_STANDIN_SLEEP_MS", "HALVERN_STANDIN_PROBE_HANDLE"}) {
            SetEnvironmentVariableA(name, nullptr);
        }
        DeleteFileA(record_.c_str());
    }

    static void set(const char* name, const std::string& value) {
        SetEnvironmentVariableA(name, value.c_str());
    }

    std::vector<std::string> started() const {
        std::vector<std::string> result;
        std::ifstream file(record_, std::ios::binary);
        for (std::string text; std::getline(file, text);) {
            result.push_back(text);
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

TEST_F(CommandRunnerWindows, ExitCodesLaunchFailuresAndLinesArriveIntact) {
    const std::string line = "netsh interface ipv4 show config";
    set("HALVERN_STANDIN_EXIT", "1");
    EXPECT_EQ(runAndCatch(line), "Command failed with exit code 1: " + line);
    EXPECT_NO_THROW(runCommand({"powershell -x"}, true));
    set("HALVERN_STANDIN_EXIT", "3221225477");
    EXPECT_EQ(runAndCatch(line), "Command failed with exit code 3221225477: " + line);
    // A UTF-8 interface name reaches the command as the same text, whatever the code page.
    set("HALVERN_STANDIN_EXIT", "0");
    const std::string route =
        "netsh interface ipv4 add route 203.0.113.5/32 \"Ethernet \xC3\x9C"
        "berall \xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C\" 192.0.2.1 metric=1";
    EXPECT_NO_THROW(runCommand({route}, false));

    const std::vector<std::string> records = started();
    ASSERT_EQ(records.size(), 4U);
    const std::vector<std::string> lines = {line, "powershell -x", line, route};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(field(records[i], "line"), lines[i]);
        EXPECT_EQ(field(records[i], "flags"), "1") << "STARTF_USESHOWWINDOW and nothing else";
        EXPECT_EQ(field(records[i], "show"), "0") << "SW_HIDE";
    }

    EXPECT_EQ(runAndCatch("halvern-no-such-tool interface ipv4"),
              "Failed to launch command (error 2): halvern-no-such-tool interface ipv4");
    EXPECT_NO_THROW(runCommand({"halvern-no-such-tool interface ipv4"}, true));
}

TEST_F(CommandRunnerWindows, ChildInheritsNoHandle) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    set("HALVERN_STANDIN_PROBE_HANDLE", std::to_string(reinterpret_cast<ULONG_PTR>(writeEnd)));

    runCommand({"netsh probe"}, false);

    // The probe itself works: a child started with inheritance on does see the pipe.
    std::string control = "netsh control";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessA(nullptr, control.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    const DWORD error = created ? ERROR_SUCCESS : GetLastError();
    if (created) {
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    ASSERT_TRUE(created) << "CreateProcessA netsh control failed with error " << error;

    const std::vector<std::string> records = started();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(field(records[0], "line"), "netsh probe");
    EXPECT_EQ(field(records[0], "inherited"), "0");
    EXPECT_EQ(field(records[1], "line"), "netsh control");
    EXPECT_EQ(field(records[1], "inherited"), "1");
}

TEST_F(CommandRunnerWindows, SlowCommandIsLeftRunningAndFailsWith259) {
    set("HALVERN_STANDIN_SLEEP_MS", "9000");
    const std::string line =
        "netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_1\" 10.255.0.1";

    const auto start = MonotonicClock::now();
    EXPECT_EQ(runAndCatch(line), "Command failed with exit code 259: " + line);
    const std::int64_t waited = elapsedMilliseconds(start);
    EXPECT_GE(waited, 4900);  // Wine's wait may end a tick early
    EXPECT_LT(waited, 8000);

    const std::vector<std::string> records = started();
    ASSERT_EQ(records.size(), 1U);
    const HANDLE child =
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                    static_cast<DWORD>(std::stoul(field(records[0], "pid"))));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_TIMEOUT) << "the runner leaves it running";
    TerminateProcess(child, 1);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
}

}  // namespace
}  // namespace halvern
