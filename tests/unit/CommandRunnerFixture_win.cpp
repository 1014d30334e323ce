#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "unit/CommandRunnerFixture.h"

namespace halvern::testing {

namespace {

void set(const char* name, const std::string& value) {
    SetEnvironmentVariableA(name, value.c_str());
}

// The stand-ins' record lines ("pid=.. flags=.. show=.. inherited=.. line=..") so far.
std::vector<std::string> started(const ScopedTempDirectory& directory) {
    std::vector<std::string> result;
    std::ifstream file(directory.path() / "record", std::ios::binary);
    for (std::string text; std::getline(file, text);) {
        result.push_back(text);
    }
    return result;
}

std::string field(const std::string& text, const std::string& name) {
    const auto start = text.find(name + "=") + name.size() + 1;
    return name == "line" ? text.substr(start) : text.substr(start, text.find(' ', start) - start);
}

}  // namespace

const std::uint32_t CommandRunnerTest::kCrashCode = 3221225477U;  // an access violation

void CommandRunnerTest::SetUp() {
    set("HALVERN_STANDIN_RECORD", (directory_.path() / "record").string());
}

void CommandRunnerTest::TearDown() {
    for (const char* name : {"HALVERN_STANDIN_RECORD", "HALVERN_STANDIN_EXIT",
                             "HALVERN_STANDIN_SLEEP_MS", "HALVERN_STANDIN_PROBE_HANDLE"}) {
        SetEnvironmentVariableA(name, nullptr);
    }
}

CommandLine CommandRunnerTest::exitingWith(std::uint32_t code) {
    set("HALVERN_STANDIN_EXIT", std::to_string(code));
    return {"netsh interface ipv4 show config"};
}

CommandLine CommandRunnerTest::sleeping() {
    set("HALVERN_STANDIN_SLEEP_MS", "9000");
    return {"netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_1\" 10.255.0.1"};
}

// Our pipe, inheritable, must not be open in the child; a child started with inheritance on
// shows that the probe sees it. A UTF-8 name reaches the command as the same text.
void CommandRunnerTest::expectHiddenAndInheritingNothing() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    set("HALVERN_STANDIN_PROBE_HANDLE", std::to_string(reinterpret_cast<ULONG_PTR>(writeEnd)));
    const std::string route =
        "netsh interface ipv4 add route 203.0.113.5/32 \"Ethernet \xC3\x9C"
        "berall \xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C\" 192.0.2.1 metric=1";
    EXPECT_NO_THROW(runCommand({route}, false));
    std::string control = "netsh control";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
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

    const std::vector<std::string> records = started(directory_);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(field(records[0], "line"), route);
    EXPECT_EQ(field(records[0], "flags"), "1") << "STARTF_USESHOWWINDOW and nothing else";
    EXPECT_EQ(field(records[0], "show"), "0") << "SW_HIDE";
    EXPECT_EQ(field(records[0], "inherited"), "0");
    EXPECT_EQ(field(records[1], "inherited"), "1");
}

void CommandRunnerTest::expectSlowCommandDealtWith() {
    const std::vector<std::string> records = started(directory_);
    ASSERT_EQ(records.size(), 1U);
    const HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                     static_cast<DWORD>(std::stoul(field(records[0], "pid"))));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(WaitForSingleObject(child, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the runner leaves it running";
    TerminateProcess(child, 1);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
}

}  // namespace halvern::testing
