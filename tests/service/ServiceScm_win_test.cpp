// HalvernService.exe under the service control manager, each verb a real process whose full
// 32-bit exit code is read (from outside Windows it is cut to 8 bits). Under Wine an installed
// auto-start service starts again with the prefix's next server: it is removed on every path.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/ExecutablePath.h"
#include "common/SessionJournal.h"
#include "common/WinHandle.h"
#include "halvernctl/ControlClient.h"
#include "service/ServiceHandle_win.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

const std::filesystem::path kExecutable =
    (executablePath().parent_path() / HALVERN_SERVICE_FILE).lexically_normal();

// The full 32-bit exit code of the executable run with ARGUMENT.
DWORD runVerb(const std::string& argument, const std::filesystem::path& executable = kExecutable) {
    const testing::ScopedTempDirectory files;
    return static_cast<DWORD>(testing::runProgram({executable.string(), argument},
                                                  files.path() / "out", files.path() / "err"));
}

ServiceHandle openService(DWORD access) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ServiceHandle(OpenServiceW(manager.get(), L"HalvernService", access));
}

// The service's state and exit codes; all 0 when it cannot be queried.
SERVICE_STATUS serviceStatus() {
    SERVICE_STATUS status{};
    QueryServiceStatus(openService(SERVICE_QUERY_STATUS).get(), &status);
    return status;
}

bool waitForState(DWORD wanted) {
    return testing::eventually([&] { return serviceStatus().dwCurrentState == wanted; }, 15000);
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
    // Anything but a verb asks for the dispatcher, which a console process cannot reach (Wine
    // takes about 10 s to give up). Not installed: stopping and removing succeed, starting cannot.
    EXPECT_EQ(runVerb("Install"), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(runVerb("stop"), 0U);
    EXPECT_EQ(runVerb("uninstall"), 0U);
    EXPECT_EQ(runVerb("start"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    // A second install repairs a registration that was changed since.
    ASSERT_EQ(runVerb("install"), 0U);
    ASSERT_TRUE(ChangeServiceConfigW(openService(SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                     L"C:\\elsewhere\\old.exe", nullptr, nullptr, nullptr, nullptr,
                                     nullptr, L"Old name"));
    ASSERT_EQ(runVerb("install"), 0U);
    std::vector<unsigned char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(openService(SERVICE_QUERY_CONFIG).get(), config,
                                    static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + kExecutable.native() + L"\"");
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Halvern Service");

    EXPECT_EQ(runVerb("start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(runVerb("start"), 0U);  // already running is success
    EXPECT_EQ(exchangeRequest(R"({"command":"status"})").response,
              R"({"ok":true,"status":"disconnected","activeProtocol":""})");

    // The verb waits for the stop; the service's own stop is quick without a tunnel.
    EXPECT_EQ(runVerb("stop"), 0U);
    EXPECT_EQ(serviceStatus().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(serviceStatus().dwWin32ExitCode, 0U);
}

// A server that holds the pipe's name first keeps the service off it, with one line. Then a hard
// kill, while a tunnel is up and this test holds a handle to the process (as the SCM does): the
// children die with the service, and its next start undoes the routes from the journal in its
// registry key. Nothing goes under %ProgramData%.
TEST_F(ServiceScm, ASquattedPipeAndAKilledServicesSessionAreHandled) {
    const testing::SocksPortLock lock;
    testing::debugOutputCount("");  // listening from here on
    UniqueFileHandle squatter(CreateNamedPipeW(L"\\\\.\\pipe\\HalvernService", PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 4096,
                                               4096, 0, nullptr));
    const auto folder = executablePath().parent_path() / "service_folder";  // see CMakeLists.txt
    ASSERT_EQ(runVerb("install", folder / HALVERN_SERVICE_NAME), 0U);
    ASSERT_EQ(runVerb("start"), 0U);
    const std::string taken =
        "HalvernService pipe: cannot create \\\\.\\pipe\\HalvernService (error 5): "
        "another process holds the name";
    EXPECT_EQ(testing::debugOutputCount(taken), 1U);
    Sleep(1500);
    EXPECT_EQ(testing::debugOutputCount(taken), 1U);
    squatter.reset();
    EXPECT_EQ(testing::debugOutputCount(
                  "HalvernService pipe: serving \\\\.\\pipe\\HalvernService again\n"),
              1U);
    EXPECT_TRUE(testing::eventually([] {
        return exchangeRequest(R"({"command":"startXray","configJson":"{\"fakeBehaviour\": )"
                               R"(\"listen 10807\", \"outbounds\": [{\"vnext\": [{\"address\": )"
                               R"(\"198.51.100.7\"}]}]}"})")
                   .response == R"({"ok":true,"status":"connected"})";
    }));
    const auto journal = [] {
        std::string text;
        readJournalFile(
            L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HalvernService\\Parameters\\"
            L"SessionJournal",
            text);
        return text;
    };

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(openService(SERVICE_QUERY_STATUS).get(), SC_STATUS_PROCESS_INFO,
                         reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed);
    const UniqueHandle killed(OpenProcess(PROCESS_TERMINATE, FALSE, status.dwProcessId));
    ASSERT_TRUE(TerminateProcess(killed.get(), 1));
    // Wine's SCM goes on reporting the dead instance as running; its start starts a new one.
    EXPECT_EQ(runVerb("start"), 0U);
    EXPECT_EQ(testing::debugOutputCount(
                  "HalvernService recovery: deleted the host route to 198.51.100.7"),
              1U);
    EXPECT_EQ(
        testing::debugOutputCount("HalvernService recovery: deleted the tunnel routes of Halvern"),
        1U);
    // The children went with the service's jobs, before the recovery could end them.
    EXPECT_EQ(testing::debugOutputCount("of the previous instance had already ended"), 2U);
    EXPECT_TRUE(testing::eventually([&] { return journal().empty(); })) << journal();
    EXPECT_FALSE(std::filesystem::exists("C:\\ProgramData\\Halvern"));
    EXPECT_EQ(runVerb("uninstall"), 0U);  // which stops the running service first
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
}

}  // namespace
}  // namespace halvern
