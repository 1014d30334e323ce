#include <windows.h>

#include <string>

#include "unit/CommandRunnerFixture.h"

namespace halvern::testing {

const std::uint32_t CommandRunnerTest::kCrashCode = 3221225477U;  // an access violation

void CommandRunnerTest::SetUp() {
    SetEnvironmentVariableA("HALVERN_STANDIN_RECORD",
                            (directory_.path() / "record").string().c_str());
}

void CommandRunnerTest::TearDown() {
    for (const char* name : {"HALVERN_STANDIN_RECORD", "HALVERN_STANDIN_EXIT",
                             "HALVERN_STANDIN_SLEEP_MS", "HALVERN_STANDIN_PROBE_HANDLE"}) {
        SetEnvironmentVariableA(name, nullptr);
    }
}

CommandLine CommandRunnerTest::exitingWith(std::uint32_t code) {
    SetEnvironmentVariableA("HALVERN_STANDIN_EXIT", std::to_string(code).c_str());
    return {"netsh interface ipv4 show config"};
}

CommandLine CommandRunnerTest::sleeping() {
    SetEnvironmentVariableA("HALVERN_STANDIN_SLEEP_MS", "9000");
    return {"netsh interface ipv4 add route 0.0.0.0/0 \"Halvern_Tun_1\" 10.255.0.1"};
}

// Our inheritable pipe must not be open in the child; a UTF-8 name reaches it as the same text.
void CommandRunnerTest::expectHiddenAndInheritingNothing() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    SetEnvironmentVariableA("HALVERN_STANDIN_PROBE_HANDLE",
                            std::to_string(reinterpret_cast<ULONG_PTR>(writeEnd)).c_str());
    const std::string route =
        "netsh interface ipv4 add route 203.0.113.5/32 \"Ethernet \xC3\x9C"
        "berall \xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C\" 192.0.2.1 metric=1";
    EXPECT_NO_THROW(runCommand({route}, false));
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    const std::string record = readFileBytes(directory_.path() / "record");
    // STARTF_USESHOWWINDOW alone, SW_HIDE, the pipe not inherited.
    EXPECT_EQ(record.substr(record.find(' ') + 1), "1 0 0 " + route + "\n");
}

// The runner leaves it running.
void CommandRunnerTest::expectSlowCommandDealtWith() {
    const HANDLE child =
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                    static_cast<DWORD>(std::stoul(readFileBytes(directory_.path() / "record"))));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(WaitForSingleObject(child, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(child, 1);
    WaitForSingleObject(child, 10000);
    CloseHandle(child);
}

}  // namespace halvern::testing
