// HalvernService.exe under the SCM, each verb a real process with its full 32-bit exit code, and
// the MSI. Wine restarts an installed auto-start service with the next server: always removed.
#include <windows.h>

#include <psapi.h>  // needs <windows.h> first

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ExecutablePath.h"
#include "common/WinHandle.h"
#include "halvernctl/ControlClient.h"
#include "service/ServiceHandle_win.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

const std::filesystem::path kExecutable =
    (executablePath().parent_path() / HALVERN_SERVICE_FILE).lexically_normal();

const auto kFolder = executablePath().parent_path() / "service_folder";  // see CMakeLists.txt
const std::string kStatus = R"({"command":"status"})";
const std::string kStatusAnswer = R"({"ok":true,"status":"disconnected","activeProtocol":""})";
const std::string kConnected = R"({"ok":true,"status":"connected"})";
// A tunnel through our stand-ins (see CMakeLists.txt), to a documentation address.
const std::string kConnect =
    R"({"command":"startXray","configJson":"{\"fakeBehaviour\": \"listen 10807\", )"
    R"(\"outbounds\": [{\"vnext\": [{\"address\": \"198.51.100.7\"}]}]}"})";

const auto ask = [](const std::string& request) { return exchangeRequest(request).response; };

const auto childrenEnded = [] {
    return testing::debugOutputCount("of the previous instance had already ended");
};

// The exit code of ARGUMENTS run by `executable`.
DWORD runVerb(std::vector<std::string> arguments,
              const std::filesystem::path& executable = kExecutable) {
    arguments.insert(arguments.begin(), executable.string());
    return static_cast<DWORD>(testing::runCaptured(arguments).exitCode);
}

ServiceHandle openService(DWORD access) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ServiceHandle(OpenServiceW(manager.get(), L"HalvernService", access));
}

// The service's state, exit codes and process id; all 0 when it cannot be queried.
SERVICE_STATUS_PROCESS serviceStatus() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(openService(SERVICE_QUERY_STATUS).get(), SC_STATUS_PROCESS_INFO,
                         reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    return status;
}

// type|start|error control|tag|image|group|dependencies|account|display name|description|.
std::wstring registration() {
    const ServiceHandle service = openService(SERVICE_QUERY_CONFIG);
    std::vector<unsigned char> config(8192), description(8192);
    DWORD needed = 0;
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    QueryServiceConfigW(service.get(), c, 8192, &needed);
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(), 8192,
                         &needed);
    std::wstring text;
    for (const DWORD number : {c->dwServiceType, c->dwStartType, c->dwErrorControl, c->dwTagId}) {
        text += std::to_wstring(number) + L"|";
    }
    for (const wchar_t* field :
         {c->lpBinaryPathName, c->lpLoadOrderGroup, c->lpDependencies, c->lpServiceStartName,
          c->lpDisplayName,
          reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data())->lpDescription}) {
        text += std::wstring(field ? field : L"-") + L"|";
    }
    return text;
}

// What the "install" verb registers for the executable at IMAGE_PATH (quoted).
std::wstring verbRegistration(const std::wstring& imagePath) {
    return L"16|2|1|0|" + imagePath +
           L"|||LocalSystem|Halvern Service|Runs Halvern Windows tunnel processes and routes.|";
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
    // A non-verb asks for the dispatcher (Wine gives up in ~10 s); uninstalled, only start fails.
    EXPECT_EQ(runVerb({"Install"}), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(runVerb({"stop"}), 0U);
    EXPECT_EQ(runVerb({"uninstall"}), 0U);
    EXPECT_EQ(runVerb({"start"}), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    // Installing from a folder that users may change would let them replace what SYSTEM runs.
    const testing::ScopedTempDirectory unpacked;
    std::filesystem::copy_file(kExecutable, unpacked.path() / HALVERN_SERVICE_NAME);
    testing::letEveryoneChange(unpacked.path());
    const auto refused =
        testing::runCaptured({(unpacked.path() / HALVERN_SERVICE_NAME).string(), "install"});
    EXPECT_EQ(static_cast<DWORD>(refused.exitCode), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const std::string why =
        "HalvernService install: refused: users other than SYSTEM and the "
        "administrators may change " +
        unpacked.path().string();
    EXPECT_NE(refused.errors.find(why), std::string::npos) << refused.errors;
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));

    // A second install repairs a registration that was changed since.
    ASSERT_EQ(runVerb({"install"}), 0U);
    ASSERT_TRUE(ChangeServiceConfigW(openService(SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                     L"C:\\elsewhere\\old.exe", nullptr, nullptr, nullptr, nullptr,
                                     nullptr, L"Old name"));
    SERVICE_DESCRIPTIONW oldText{const_cast<wchar_t*>(L"Old text")};
    ASSERT_TRUE(ChangeServiceConfig2W(openService(SERVICE_CHANGE_CONFIG).get(),
                                      SERVICE_CONFIG_DESCRIPTION, &oldText));
    ASSERT_EQ(runVerb({"install"}), 0U);
    EXPECT_EQ(registration(), verbRegistration(L"\"" + kExecutable.native() + L"\""));

    EXPECT_EQ(runVerb({"start"}), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(runVerb({"start"}), 0U);  // already running is success
    EXPECT_EQ(ask(kStatus), kStatusAnswer);

    // The verb waits for the stop; the service's own stop is quick without a tunnel.
    EXPECT_EQ(runVerb({"stop"}), 0U);
    EXPECT_EQ(serviceStatus().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(serviceStatus().dwWin32ExitCode, 0U);
}

// A squatter keeps the service off the pipe, with one line. A hard kill with a tunnel up: the
// children die with it, the next start undoes the routes from its registry journal.
TEST_F(ServiceScm, ASquattedPipeAndAKilledServicesSessionAreHandled) {
    const testing::SocksPortLock lock;
    testing::debugOutputCount("");  // listening from here on
    UniqueFileHandle squatter(CreateNamedPipeW(L"\\\\.\\pipe\\HalvernService", PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 4096,
                                               4096, 0, nullptr));
    ASSERT_EQ(runVerb({"install"}, kFolder / HALVERN_SERVICE_NAME), 0U);
    ASSERT_EQ(runVerb({"start"}), 0U);
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
    EXPECT_TRUE(testing::eventually([] { return ask(kConnect) == kConnected; }));

    const UniqueHandle killed(OpenProcess(PROCESS_TERMINATE, FALSE, serviceStatus().dwProcessId));
    ASSERT_TRUE(TerminateProcess(killed.get(), 1));
    // Wine's SCM goes on reporting the dead instance as running; its start starts a new one.
    EXPECT_EQ(runVerb({"start"}), 0U);
    for (const char* undone :
         {"deleted the host route to 198.51.100.7", "deleted the tunnel routes of Halvern"}) {
        EXPECT_EQ(testing::debugOutputCount("HalvernService recovery: " + std::string(undone)), 1U)
            << undone;
    }
    // The children went with the service's jobs, before the recovery could end them.
    EXPECT_TRUE(testing::eventually([] { return childrenEnded() == 2U; })) << childrenEnded();
    EXPECT_FALSE(std::filesystem::exists("C:\\ProgramData\\Halvern"));

    // Killed again, then removed: uninstall undoes the session and takes its folder along.
    ASSERT_EQ(ask(kConnect), kConnected);
    const UniqueHandle again(OpenProcess(PROCESS_TERMINATE, FALSE, serviceStatus().dwProcessId));
    ASSERT_TRUE(TerminateProcess(again.get(), 1));
    EXPECT_EQ(runVerb({"uninstall"}, kFolder / HALVERN_SERVICE_NAME), 0U);
    EXPECT_EQ(testing::debugOutputCount("recovery: deleted the host route to 198.51.100.7"), 2U);
    EXPECT_TRUE(testing::eventually([] { return childrenEnded() == 4U; })) << childrenEnded();
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
    EXPECT_FALSE(std::filesystem::exists(kFolder / "runtime"));
}

// An ordinary user against the pipe and files (the ACLs themselves only Windows enforces).
TEST_F(ServiceScm, NoUserCatchesAnothersRequestsOrFiles) {
    const testing::SocksPortLock lock;
    // Planted where the session's files lived before (LocalSystem's temporary folder, here).
    const std::filesystem::path oldPlace = L"C:\\windows";
    const char* const logs[] = {"halvern_xray_output.log", "halvern_tun2socks_output.log"};
    std::filesystem::create_directory(oldPlace / "halvern_xray_config.json");
    std::vector<std::ofstream> held;
    for (const char* log : logs) {
        held.emplace_back(oldPlace / log);
    }
    ASSERT_EQ(runVerb({"install"}, kFolder / HALVERN_SERVICE_NAME), 0U);
    ASSERT_EQ(runVerb({"start"}), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));

    // No instance can be made beside the service's while clients come and go.
    std::atomic<bool> done{false};
    std::atomic<int> squatted{0};
    std::thread squatter([&] {
        while (!done) {
            const UniqueFileHandle pipe(CreateNamedPipeW(
                L"\\\\.\\pipe\\HalvernService", PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
            squatted += pipe.valid() ? 1 : 0;
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(ask(kStatus), kStatusAnswer);
    }
    done = true;
    squatter.join();
    EXPECT_EQ(squatted, 0);

    ASSERT_EQ(ask(kConnect), kConnected);
    const auto runtime = kFolder / "runtime";
    EXPECT_TRUE(std::filesystem::is_regular_file(runtime / "halvern_xray_config.json"));
    EXPECT_EQ(ask(R"({"command":"stop"})"), R"({"ok":true,"status":"disconnected"})");
    held.clear();
    for (const char* log : logs) {
        EXPECT_EQ(std::filesystem::file_size(oldPlace / log), 0U) << log;
        std::filesystem::remove(oldPlace / log);
    }
    EXPECT_TRUE(std::filesystem::is_directory(oldPlace / "halvern_xray_config.json"));
    std::filesystem::remove(oldPlace / "halvern_xray_config.json");
    EXPECT_FALSE(std::filesystem::exists(runtime / "halvern_xray_config.json"));

    // A sparse 64 MiB log, largest limit: one bounded piece of JSON, memory near where it was.
    const auto log = runtime / "halvern_xray_output.log";
    std::filesystem::remove(log);
    testing::writeFileBytes(log, "x");
    std::filesystem::resize_file(log, 64 << 20);
    const UniqueHandle service(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ,
                                           FALSE, serviceStatus().dwProcessId));
    PROCESS_MEMORY_COUNTERS idle{}, after{};
    ASSERT_TRUE(GetProcessMemoryInfo(service.get(), &idle, sizeof(idle)));
    const std::string piece = ask(
        R"({"command":"readLogDelta","source":"windows_xray","offset":0,"maxBytes":4294967295})");
    ASSERT_TRUE(GetProcessMemoryInfo(service.get(), &after, sizeof(after)));
    EXPECT_LT(after.PeakWorkingSetSize, idle.WorkingSetSize + (32U << 20));
    std::string content = "x";
    for (int i = 1; i < 1 << 20; ++i) {
        content += "\\u0000";
    }
    EXPECT_TRUE(piece == R"({"ok":true,"content":")" + content +
                             R"(","nextOffset":1048576,"fileSize":67108864})")
        << piece.size();

    // Removed with its session folder.
    EXPECT_EQ(runVerb({"uninstall"}, kFolder / HALVERN_SERVICE_NAME), 0U);
    EXPECT_FALSE(std::filesystem::exists(runtime));
}

// msiexec ACTION PACKAGE PROPERTY, quiet: 0 or 3010 (a reboot merely suggested), else the log.
void msiexec(const std::string& action, const std::wstring& package,
             const std::string& property = "REBOOT=ReallySuppress") {
    const auto log = std::filesystem::temp_directory_path() / L"msiexec.log";
    const DWORD code = runVerb(
        {action, std::filesystem::path(package).string(), property, "/qn", "/l*v", log.string()},
        "msiexec");
    EXPECT_TRUE(code == 0 || code == ERROR_SUCCESS_REBOOT_REQUIRED)
        << "msiexec " << action << ": " << code << "\n"
        << testing::readFileBytes(log);
}

// scripts/test runs this alone in a fresh prefix, with HALVERN_MSI, a later HALVERN_NEXT_MSI and
// its executable HALVERN_NEXT_SERVICE.
TEST_F(ServiceScm, InstallerRegistersUpgradesAndRemovesTheService) {
    const wchar_t* msi = _wgetenv(L"HALVERN_MSI");
    const wchar_t* nextMsi = _wgetenv(L"HALVERN_NEXT_MSI");
    const wchar_t* nextService = _wgetenv(L"HALVERN_NEXT_SERVICE");
    if (!msi || !nextMsi || !nextService) {
        GTEST_SKIP() << "no packages named (scripts/test names them)";
    }
    const auto folder = std::filesystem::path(_wgetenv(L"ProgramFiles")) / L"Halvern Service";
    const std::wstring service = L"\"" + (folder / L"HalvernService.exe").native() + L"\"";
    msiexec("/i", msi);
    for (const wchar_t* file : {L"halvernctl.exe", L"README.txt", L"data\\README.txt"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(folder / file)) << file;
    }
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(ask(kStatus), kStatusAnswer);
    EXPECT_EQ(registration(), verbRegistration(service));  // as the verb's, pinned above

    // A repair (a standard user may start one) keeps the start type an administrator chose.
    ASSERT_TRUE(ChangeServiceConfigW(openService(SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE,
                                     SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
    msiexec("/i", msi, "REINSTALL=ALL");
    EXPECT_EQ(registration().substr(0, 4), L"16|3");

    // A later version replaces it in place, process and executable.
    const DWORD old = serviceStatus().dwProcessId;
    msiexec("/i", nextMsi);
    ASSERT_TRUE(testing::eventually([&] {
        return serviceStatus().dwCurrentState == SERVICE_RUNNING &&
               serviceStatus().dwProcessId != old;
    }));
    EXPECT_TRUE(testing::processHasEnded(old));
    EXPECT_TRUE(testing::readFileBytes(folder / L"HalvernService.exe") ==
                testing::readFileBytes(nextService));
    EXPECT_EQ(ask(kStatus), kStatusAnswer);

    // Removed: the service, its process, every file and its key.
    const DWORD last = serviceStatus().dwProcessId;
    msiexec("/x", nextMsi);
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
    EXPECT_TRUE(testing::eventually([&] { return testing::processHasEnded(last); }));
    EXPECT_FALSE(std::filesystem::exists(folder));
    HKEY key = nullptr;
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\HalvernService", 0,
                      KEY_READ, &key),
        ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace halvern
