#include <windows.h>

#include <string>

#include "common/WinHandle.h"
#include "unit/CommandRunnerFixture.h"

namespace halvern::testing {

CommandRunnerTest::~CommandRunnerTest() {
    SetEnvironmentVariableA("HALVERN_STANDIN_RECORD", nullptr);
    SetEnvironmentVariableA("HALVERN_STANDIN_EXIT", nullptr);
    SetEnvironmentVariableA("HALVERN_STANDIN_SLEEP_MS", nullptr);
}

CommandLine CommandRunnerTest::exitingWith(std::uint32_t code) {
    SetEnvironmentVariableA("HALVERN_STANDIN_EXIT", std::to_string(code).c_str());
    shown_ = "netsh interface ipv4 show config";
    return {shown_};
}

CommandLine CommandRunnerTest::sleeping() {
    SetEnvironmentVariableA("HALVERN_STANDIN_RECORD",
                            (directory_.path() / "record").string().c_str());
    SetEnvironmentVariableA("HALVERN_STANDIN_SLEEP_MS", "9000");
    // A UTF-8 adapter name must reach the command as the same text.
    shown_ =
        "netsh interface ipv4 add route 203.0.113.5/32 \"Ethernet \xC3\x9C"
        "berall \xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C\" 192.0.2.1 metric=1";
    return {shown_};
}

// Started hidden (STARTF_USESHOWWINDOW alone, SW_HIDE); the runner leaves it running.
void CommandRunnerTest::expectSlowCommandDealtWith(const CommandLine& command) {
    const std::string record = readFileBytes(directory_.path() / "record");
    EXPECT_EQ(record.substr(record.find(' ') + 1), "1 0 " + command[0] + "\n");
    const UniqueHandle child(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                         static_cast<DWORD>(std::stoul(record))));
    ASSERT_TRUE(child.valid());
    EXPECT_EQ(WaitForSingleObject(child.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(child.get(), 1);
    WaitForSingleObject(child.get(), 10000);
}

}  // namespace halvern::testing
