// HalvernService.exe under the service control manager, driven the way an administrator would:
// each verb is a real process, and its full 32-bit exit code is read with GetExitCodeProcess
// (exit codes seen from outside Windows are cut to 8 bits).
//
// Under Wine every process is an administrator, and an installed auto-start service would start
// again with the next Wine server of this prefix: each test removes the service on every path.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/MonotonicClock.h"
#include "service/ServiceExecutable.h"
#include "service/ServiceHandle_win.h"

namespace halvern {
namespace {

constexpr const wchar_t* kServiceName = L"HalvernService";

// Closes a kernel handle once.
class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
    ~OwnedHandle() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle& operator=(OwnedHandle&&) = delete;
    HANDLE get() const noexcept { return handle_; }

  private:
    HANDLE handle_;
};

// Starts the service executable with one argument (none when empty); a start that fails stops
// the test with the command line and the error code.
OwnedHandle launch(const std::wstring& argument) {
    std::wstring commandLine = L"\"" + test::serviceExecutable().native() + L"\"";
    if (!argument.empty()) {
        commandLine += L" " + argument;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        const DWORD error = GetLastError();
        throw std::runtime_error("CreateProcessW " + std::filesystem::path(commandLine).string() +
                                 " failed with error " + std::to_string(error));
    }
    CloseHandle(process.hThread);
    return OwnedHandle{process.hProcess};
}

// The exit code, or STILL_ACTIVE (259) for a process still running after a minute.
DWORD exitCodeOf(const OwnedHandle& process) {
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
    return ServiceHandle(OpenServiceW(manager.get(), kServiceName, access));
}

// The service's current state, or 0 when it cannot be queried.
DWORD serviceState() {
    const ServiceHandle service = openService(SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
        return 0;
    }
    return status.dwCurrentState;
}

bool waitForState(DWORD wanted, int timeoutMs) {
    const auto start = MonotonicClock::now();
    while (serviceState() != wanted) {
        if (elapsedMilliseconds(start) > timeoutMs) {
            return false;
        }
        Sleep(100);
    }
    return true;
}

struct Registration {
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::wstring imagePath;
    std::wstring displayName;
    std::wstring account;
    std::wstring description;
};

Registration readRegistration() {
    Registration result;
    const ServiceHandle service = openService(SERVICE_QUERY_CONFIG);
    if (!service) {
        return result;
    }
    std::vector<unsigned char> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        result.serviceType = config->dwServiceType;
        result.startType = config->dwStartType;
        result.errorControl = config->dwErrorControl;
        result.imagePath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
        result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    }
    std::vector<unsigned char> described(8192);
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, described.data(),
                             static_cast<DWORD>(described.size()), &needed)) {
        const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(described.data());
        result.description = description->lpDescription ? description->lpDescription : L"";
    }
    return result;
}

// One request over the service's pipe, the way a client sends it; the whole response back.
std::string askService(const std::string& request) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    DWORD openError = ERROR_SUCCESS;
    const auto start = MonotonicClock::now();
    // Between two connections there is no pipe instance for a moment: try again briefly.
    while (pipe == INVALID_HANDLE_VALUE && elapsedMilliseconds(start) < 5000) {
        pipe = CreateFileW(L"\\\\.\\pipe\\HalvernService", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            openError = GetLastError();
            Sleep(50);
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return "<no pipe: error " + std::to_string(openError) + ">";
    }
    const OwnedHandle owner(pipe);
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    const std::string line = request + "\n";
    DWORD written = 0;
    WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    std::string response;
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        const BOOL ok = ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr);
        const DWORD error = GetLastError();
        response.append(buffer, read);
        if (ok || error != ERROR_MORE_DATA) {
            break;
        }
    }
    return response;
}

// Captures debugger output from every process, the service included, through the DBWIN
// protocol: the writer waits for DBWIN_BUFFER_READY, fills the DBWIN_BUFFER mapping (the
// writer's process id, then the text) and sets DBWIN_DATA_READY.
class DebugOutputListener {
  public:
    DebugOutputListener()
        : bufferReady_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")),
          dataReady_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")),
          mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      L"DBWIN_BUFFER")),
          quit_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (mapping_.get() != nullptr) {
            view_ = MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096);
        }
        if (view_ != nullptr && bufferReady_.get() != nullptr && dataReady_.get() != nullptr) {
            thread_ = std::thread([this] { listen(); });
        }
    }
    ~DebugOutputListener() {
        SetEvent(quit_.get());
        if (thread_.joinable()) {
            thread_.join();
        }
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
    }
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;

    bool listening() const { return thread_.joinable(); }

    // Waits until a captured text holds `wanted`; returns everything captured so far.
    std::vector<std::string> waitFor(const std::string& wanted, int timeoutMs) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const std::string& text : texts_) {
                if (text.find(wanted) != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
        return texts_;
    }

  private:
    void listen() {
        SetEvent(bufferReady_.get());
        const HANDLE events[] = {dataReady_.get(), quit_.get()};
        while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
            const char* text = static_cast<const char*>(view_) + sizeof(DWORD);
            {
                const std::lock_guard lock(mutex_);
                texts_.emplace_back(text, strnlen(text, 4096 - sizeof(DWORD)));
            }
            arrived_.notify_all();
            SetEvent(bufferReady_.get());
        }
    }

    OwnedHandle bufferReady_;
    OwnedHandle dataReady_;
    OwnedHandle mapping_;
    OwnedHandle quit_;
    void* view_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> texts_;
    std::thread thread_;
};

// Removes the registration whatever state the test left it in.
void removeService() {
    const ServiceHandle service = openService(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service) {
        return;
    }
    SERVICE_STATUS ignored{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
    waitForState(SERVICE_STOPPED, 15000);
    DeleteService(service.get());
}

class ServiceScm : public ::testing::Test {
  protected:
    void SetUp() override { removeService(); }
    void TearDown() override { removeService(); }
};

TEST_F(ServiceScm, InstallTwiceStartStopUninstallTwice) {
    ASSERT_EQ(runVerb(L"install"), 0U);
    ASSERT_EQ(runVerb(L"install"), 0U);

    const Registration registration = readRegistration();
    EXPECT_EQ(registration.imagePath, L"\"" + test::serviceExecutable().native() + L"\"");
    EXPECT_EQ(registration.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(registration.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(registration.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(registration.displayName, L"Halvern Service");
    EXPECT_EQ(registration.description, L"Runs Halvern Windows tunnel processes and routes.");
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING, 15000)) << serviceState();
    EXPECT_EQ(runVerb(L"start"), 0U);  // already running is success

    // The verb waits for the stop; the service's own stop is quick without a tunnel.
    EXPECT_EQ(runVerb(L"stop"), 0U);
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_STOPPED));
    {
        const ServiceHandle service = openService(SERVICE_QUERY_STATUS);
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                         &needed));
        EXPECT_EQ(status.dwWin32ExitCode, 0U);
        EXPECT_EQ(status.dwServiceSpecificExitCode, 0U);
    }

    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
}

TEST_F(ServiceScm, TheRunningServiceAnswersOnItsPipeAndAnnouncesItsStatus) {
    DebugOutputListener listener;
    ASSERT_TRUE(listener.listening());
    ASSERT_EQ(runVerb(L"install"), 0U);
    ASSERT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING, 15000));

    EXPECT_EQ(askService(R"({"command":"status"})"),
              R"({"ok":true,"status":"disconnected","activeProtocol":""})");

    // No xray.exe is installed beside the service, so the connect fails at once; the service
    // announces each status word to the debugger output on the way.
    const std::string answer = askService(R"({"command":"startXray","configJson":"{}"})");
    EXPECT_EQ(answer.rfind(R"({"ok":false,"error":)", 0), 0U) << answer;
    const std::vector<std::string> texts =
        listener.waitFor("HalvernService status: error\n", 10000);
    std::vector<std::string> statusLines;
    for (const std::string& text : texts) {
        if (text.rfind("HalvernService status: ", 0) == 0) {
            statusLines.push_back(text);
        }
    }
    EXPECT_EQ(statusLines, (std::vector<std::string>{"HalvernService status: connecting\n",
                                                     "HalvernService status: error\n"}));

    EXPECT_EQ(runVerb(L"stop"), 0U);
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
}

TEST_F(ServiceScm, InstallRepairsAChangedRegistration) {
    ASSERT_EQ(runVerb(L"install"), 0U);
    {
        const ServiceHandle service = openService(SERVICE_CHANGE_CONFIG);
        ASSERT_TRUE(service);
        ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_IGNORE, L"C:\\elsewhere\\old.exe", nullptr,
                                         nullptr, nullptr, nullptr, nullptr, L"Old name"));
        SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(L"old text")};
        ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    }
    ASSERT_EQ(runVerb(L"install"), 0U);
    const Registration registration = readRegistration();
    EXPECT_EQ(registration.imagePath, L"\"" + test::serviceExecutable().native() + L"\"");
    EXPECT_EQ(registration.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(registration.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(registration.displayName, L"Halvern Service");
    EXPECT_EQ(registration.description, L"Runs Halvern Windows tunnel processes and routes.");
}

TEST_F(ServiceScm, VerbsOnAServiceThatIsNotInstalled) {
    EXPECT_EQ(runVerb(L"stop"), 0U);
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_EQ(runVerb(L"start"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceScm, UninstallStopsARunningServiceFirst) {
    ASSERT_EQ(runVerb(L"install"), 0U);
    ASSERT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING, 15000));

    // Control codes other than stop and shutdown change nothing.
    {
        const ServiceHandle service = openService(SERVICE_INTERROGATE | SERVICE_PAUSE_CONTINUE);
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status);
        ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status);
        Sleep(300);
        EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_RUNNING));
    }

    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
}

TEST_F(ServiceScm, AnythingButAVerbAsksForTheDispatcher) {
    // From a console there is no service control manager to connect to: 1063. Wine takes
    // about 10 s to give up, so the five runs overlap.
    const std::vector<std::wstring> arguments = {L"", L"Install", L"/install", L"-stop", L"START"};
    std::vector<OwnedHandle> processes;
    for (const std::wstring& argument : arguments) {
        processes.push_back(launch(argument));
    }
    for (std::size_t i = 0; i < processes.size(); ++i) {
        EXPECT_EQ(exitCodeOf(processes[i]),
                  static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT))
            << "argument \"" << std::string(arguments[i].begin(), arguments[i].end()) << "\"";
    }
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));  // and none of them registered anything
}

}  // namespace
}  // namespace halvern
