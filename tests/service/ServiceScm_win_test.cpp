// HalvernService.exe under the service control manager, each verb a real process whose full
// 32-bit exit code is read with GetExitCodeProcess (from outside Windows it is cut to 8 bits).
// Under Wine an installed auto-start service would start again with the next Wine server of this
// prefix: each test removes the service on every path.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ExecutablePath.h"
#include "common/MonotonicClock.h"
#include "common/WinHandle.h"
#include "halvernctl/ControlClient.h"
#include "service/ServiceHandle_win.h"

namespace halvern {
namespace {

const std::wstring kQuotedExecutable =
    L"\"" + (executablePath().parent_path() / HALVERN_SERVICE_FILE).lexically_normal().native() +
    L"\"";

UniqueHandle launch(const std::wstring& argument) {
    std::wstring commandLine = kQuotedExecutable + L" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << GetLastError();
    const UniqueHandle thread(process.hThread);
    return UniqueHandle(process.hProcess);
}

// The exit code, or STILL_ACTIVE (259) for a process still running after a minute.
DWORD exitCodeOf(const UniqueHandle& process) {
    WaitForSingleObject(process.get(), 60000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

DWORD runVerb(const std::wstring& verb) {
    return exitCodeOf(launch(verb));
}

ServiceHandle openService(DWORD access) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ServiceHandle(OpenServiceW(manager.get(), L"HalvernService", access));
}

// The service's state and exit codes; all 0 when it cannot be queried.
SERVICE_STATUS_PROCESS serviceStatus() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(openService(SERVICE_QUERY_STATUS).get(), SC_STATUS_PROCESS_INFO,
                         reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed);
    return status;
}

bool waitForState(DWORD wanted) {
    const auto start = MonotonicClock::now();
    while (serviceStatus().dwCurrentState != wanted && elapsedMilliseconds(start) < 15000) {
        Sleep(100);
    }
    return serviceStatus().dwCurrentState == wanted;
}

class ServiceScm : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        if (const ServiceHandle service =
                openService(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)) {
            SERVICE_STATUS ignored{};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
            waitForState(SERVICE_STOPPED);
            DeleteService(service.get());
        }
    }
};

TEST_F(ServiceScm, VerbsCarryTheServiceThroughItsWholeLife) {
    // Not installed: stopping and removing it succeed, starting it cannot.
    EXPECT_EQ(runVerb(L"stop"), 0U);
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_EQ(runVerb(L"start"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    // A second install repairs a registration that was changed since.
    ASSERT_EQ(runVerb(L"install"), 0U);
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(L"old text")};
    ASSERT_TRUE(ChangeServiceConfigW(openService(SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                     L"C:\\elsewhere\\old.exe", nullptr, nullptr, nullptr, nullptr,
                                     nullptr, L"Old name"));
    ASSERT_TRUE(ChangeServiceConfig2W(openService(SERVICE_CHANGE_CONFIG).get(),
                                      SERVICE_CONFIG_DESCRIPTION, &description));
    ASSERT_EQ(runVerb(L"install"), 0U);
    std::vector<unsigned char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(openService(SERVICE_QUERY_CONFIG).get(), config,
                                    static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), kQuotedExecutable);
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Halvern Service");
    ASSERT_TRUE(QueryServiceConfig2W(openService(SERVICE_QUERY_CONFIG).get(),
                                     SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                     static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription,
                 L"Runs Halvern Windows tunnel processes and routes.");

    EXPECT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(runVerb(L"start"), 0U);  // already running is success
    // The running service answers on its pipe; no xray.exe beside it, so a connect fails.
    EXPECT_EQ(exchangeRequest(R"({"command":"status"})").response,
              R"({"ok":true,"status":"disconnected","activeProtocol":""})");
    const std::string answer =
        exchangeRequest(R"({"command":"startXray","configJson":"{}"})").response;
    EXPECT_EQ(answer.rfind(R"({"ok":false,"error":)", 0), 0U) << answer;
    SERVICE_STATUS ignored{};  // control codes other than stop and shutdown change nothing
    ControlService(openService(SERVICE_PAUSE_CONTINUE).get(), SERVICE_CONTROL_PAUSE, &ignored);
    Sleep(300);
    EXPECT_EQ(serviceStatus().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // The verb waits for the stop; the service's own stop is quick without a tunnel.
    EXPECT_EQ(runVerb(L"stop"), 0U);
    const SERVICE_STATUS_PROCESS stopped = serviceStatus();
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0U);

    // Uninstall stops a running service first.
    ASSERT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceScm, AnythingButAVerbAsksForTheDispatcher) {
    // From a console there is no service control manager to connect to: 1063. Wine takes
    // about 10 s to give up, so the runs overlap.
    std::vector<UniqueHandle> processes;
    for (const wchar_t* argument : {L"", L"Install", L"installed", L"-stop"}) {
        processes.push_back(launch(argument));
    }
    for (const UniqueHandle& process : processes) {
        EXPECT_EQ(exitCodeOf(process), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    }
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));  // and none of them registered anything
}

}  // namespace
}  // namespace halvern
