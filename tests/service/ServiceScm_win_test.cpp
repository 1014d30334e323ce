// HalvernService.exe under the service control manager, each verb a real process whose full
// 32-bit exit code is read (from outside Windows it is cut to 8 bits), and the Windows installer
// that registers it through those verbs. Under Wine an installed auto-start service starts again
// with the prefix's next server: it is removed on every path.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <string>
#include <vector>

#include "common/ExecutablePath.h"
#include "common/WinHandle.h"
#include "halvernctl/ControlClient.h"
#include "service/ServiceHandle_win.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

const std::wstring kQuotedExecutable =
    L"\"" + (executablePath().parent_path() / HALVERN_SERVICE_FILE).lexically_normal().native() +
    L"\"";
constexpr const char* kStatusRequest = R"({"command":"status"})";
constexpr const char* kDisconnected = R"({"ok":true,"status":"disconnected","activeProtocol":""})";

// The exit code of COMMAND_LINE, or STILL_ACTIVE (259) after WITHIN_MS.
DWORD run(std::wstring commandLine, DWORD withinMs = 60000) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << GetLastError();
    const UniqueHandle thread(process.hThread);
    const UniqueHandle child(process.hProcess);
    WaitForSingleObject(child.get(), withinMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(child.get(), &code);
    return code;
}

DWORD runVerb(const std::wstring& argument) {
    return run(kQuotedExecutable + L" " + argument);
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

// Every field of the registration that the SCM reports, as text.
std::wstring registration() {
    const ServiceHandle service = openService(SERVICE_QUERY_CONFIG);
    std::vector<unsigned char> config(8192);
    std::vector<unsigned char> description(8192);
    DWORD needed = 0;
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
    if (!QueryServiceConfigW(service.get(), c, 8192, &needed) ||
        !QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(), 8192,
                              &needed)) {
        return L"none";
    }
    const auto text = [](const wchar_t* value) { return std::wstring(value ? value : L""); };
    return L"type " + std::to_wstring(c->dwServiceType) + L", start " +
           std::to_wstring(c->dwStartType) + L", error control " +
           std::to_wstring(c->dwErrorControl) + L", tag " + std::to_wstring(c->dwTagId) +
           L"\nimage " + text(c->lpBinaryPathName) + L"\ngroup " + text(c->lpLoadOrderGroup) +
           L"\ndependencies " + text(c->lpDependencies) + L"\naccount " +
           text(c->lpServiceStartName) + L"\ndisplay name " + text(c->lpDisplayName) +
           L"\ndescription " + text(d->lpDescription);
}

// msiexec ARGUMENTS, quiet and logged: 0, or 3010 where a reboot is merely suggested. Any other
// code fails the test with the log.
void msiexec(const std::wstring& arguments) {
    const auto log = std::filesystem::temp_directory_path() / L"msiexec.log";
    const DWORD code =
        run(L"msiexec.exe " + arguments + L" /qn /l*v \"" + log.native() + L"\"", 300000);
    EXPECT_TRUE(code == 0 || code == ERROR_SUCCESS_REBOOT_REQUIRED)
        << "msiexec " << arguments << " ended with " << code << ":\n"
        << testing::readFileBytes(log);
}

// The image that process PID runs and that file's version, "PATH major.minor.patch".
std::wstring imageOf(DWORD pid) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    std::wstring path(MAX_PATH, L'\0');
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(process.get(), 0, path.data(), &size);
    path.resize(size);
    std::vector<unsigned char> info(GetFileVersionInfoSizeW(path.c_str(), nullptr) + 1);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        return path + L" without a version";
    }
    return path + L" " + std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(fixed->dwFileVersionLS));
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
    EXPECT_EQ(runVerb(L"Install"), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(runVerb(L"stop"), 0U);
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_EQ(runVerb(L"start"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    // A second install repairs a registration that was changed since.
    ASSERT_EQ(runVerb(L"install"), 0U);
    {  // an open handle would keep the service, deleted at the end, in the SCM
        const ServiceHandle changed = openService(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(ChangeServiceConfigW(changed.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_IGNORE, L"C:\\elsewhere\\old.exe", nullptr,
                                         nullptr, nullptr, nullptr, nullptr, L"Old name"));
        SERVICE_DESCRIPTIONW oldDescription{const_cast<wchar_t*>(L"Old text")};
        ASSERT_TRUE(
            ChangeServiceConfig2W(changed.get(), SERVICE_CONFIG_DESCRIPTION, &oldDescription));
    }
    ASSERT_EQ(runVerb(L"install"), 0U);
    EXPECT_EQ(registration(), L"type 16, start 2, error control 1, tag 0\nimage " +
                                  kQuotedExecutable +
                                  L"\ngroup \ndependencies \naccount LocalSystem\ndisplay name "
                                  L"Halvern Service\ndescription Runs Halvern Windows tunnel "
                                  L"processes and routes.");

    EXPECT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(runVerb(L"start"), 0U);  // already running is success
    EXPECT_EQ(exchangeRequest(kStatusRequest).response, kDisconnected);

    // The verb waits for the stop; the service's own stop is quick without a tunnel.
    EXPECT_EQ(runVerb(L"stop"), 0U);
    EXPECT_EQ(serviceStatus().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(serviceStatus().dwWin32ExitCode, 0U);

    // Uninstall stops a running service first.
    ASSERT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
}

// The MSI as an administrator deploys it: scripts/test builds it and one of a later version, and
// runs this case alone in a fresh Wine prefix with their paths in HALVERN_MSI and HALVERN_NEXT_MSI.
TEST_F(ServiceScm, InstallerRegistersUpgradesAndRemovesTheService) {
    const wchar_t* msi = _wgetenv(L"HALVERN_MSI");
    const wchar_t* nextMsi = _wgetenv(L"HALVERN_NEXT_MSI");
    const wchar_t* nextVersion = _wgetenv(L"HALVERN_NEXT_VERSION");
    if (msi == nullptr || nextMsi == nullptr || nextVersion == nullptr) {
        GTEST_SKIP() << "no packages named (scripts/test names them)";
    }
    const auto folder = std::filesystem::path(_wgetenv(L"ProgramFiles")) / L"Halvern Service";
    const std::wstring service = (folder / L"HalvernService.exe").native();

    msiexec(L"/i \"" + std::wstring(msi) + L"\"");
    for (const wchar_t* file :
         {L"HalvernService.exe", L"halvernctl.exe", L"README.txt", L"data\\README.txt"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(folder / file)) << file;
    }
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));
    EXPECT_EQ(exchangeRequest(kStatusRequest).response, kDisconnected);
    // Field for field what the installed executable's own verb registers from scratch.
    const std::wstring installed = registration();
    EXPECT_EQ(run(L"\"" + service + L"\" uninstall"), 0U);
    EXPECT_EQ(run(L"\"" + service + L"\" install"), 0U);
    EXPECT_EQ(registration(), installed);
    ASSERT_EQ(run(L"\"" + service + L"\" start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));

    // A later version replaces it in place: the old process has ended, and the one that runs now
    // started from the later executable.
    const DWORD old = serviceStatus().dwProcessId;
    msiexec(L"/i \"" + std::wstring(nextMsi) + L"\"");
    ASSERT_TRUE(testing::eventually([&] {
        const SERVICE_STATUS_PROCESS now = serviceStatus();
        return now.dwCurrentState == SERVICE_RUNNING && now.dwProcessId != old;
    }));
    EXPECT_TRUE(testing::processHasEnded(old));
    const DWORD next = serviceStatus().dwProcessId;
    EXPECT_EQ(imageOf(next), service + L" " + nextVersion);
    EXPECT_EQ(registration(), installed);
    EXPECT_EQ(exchangeRequest(kStatusRequest).response, kDisconnected);

    // Removed: the service (with a value under its key, as a crash journal leaves one), its
    // process, every file and every registry entry that names it or the package's UpgradeCode.
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                              L"SYSTEM\\CurrentControlSet\\Services\\HalvernService\\Parameters",
                              L"Journal", REG_SZ, L"x", 4),
              ERROR_SUCCESS);
    msiexec(L"/x \"" + std::wstring(nextMsi) + L"\"");
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
    EXPECT_TRUE(testing::eventually([&] { return testing::processHasEnded(next); }));
    EXPECT_FALSE(std::filesystem::exists(folder));
    const auto exported = std::filesystem::temp_directory_path() / L"registry.reg";
    ASSERT_EQ(run(L"regedit.exe /E \"" + exported.native() + L"\""), 0U);
    const std::string bytes = testing::readFileBytes(exported);  // UTF-16
    std::wstring registry(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    std::transform(registry.begin(), registry.end(), registry.begin(), ::towlower);
    EXPECT_EQ(registry.find(L"halvern"), std::wstring::npos);
    EXPECT_EQ(registry.find(L"ac07b817ce7803e4b88736ed9994dde5"), std::wstring::npos);
}

}  // namespace
}  // namespace halvern
