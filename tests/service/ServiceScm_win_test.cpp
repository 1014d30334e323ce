// HalvernService.exe under the service control manager, driven the way an administrator would:
// each verb is a real process, and its full 32-bit exit code is read with GetExitCodeProcess
// (exit codes seen from outside Windows are cut to 8 bits).
//
// Under Wine every process is an administrator, and an installed auto-start service would start
// again with the next Wine server of this prefix: each test removes the service on every path.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/MonotonicClock.h"
#include "common/WinHandle.h"
#include "service/ServiceExecutable.h"
#include "service/ServiceHandle_win.h"

namespace halvern {
namespace {

constexpr const wchar_t* kServiceName = L"HalvernService";

// Starts the service executable with one argument (none when empty).
UniqueHandle launch(const std::wstring& argument) {
    std::wstring commandLine = L"\"" + test::serviceExecutable().native() + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return UniqueHandle{};
    }
    CloseHandle(process.hThread);
    return UniqueHandle{process.hProcess};
}

DWORD exitCodeOf(const UniqueHandle& process) {
    DWORD code = 0xFFFFFFFF;
    if (process.valid() && WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.get(), &code);
    }
    return code;
}

DWORD runVerb(const std::wstring& verb) {
    return exitCodeOf(launch(verb));
}

ServiceHandle openService(DWORD access) {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ServiceHandle(OpenServiceW(manager.get(), kServiceName, access));
}

// The service's status; dwCurrentState is 0 when it cannot be queried.
SERVICE_STATUS_PROCESS serviceStatus() {
    const ServiceHandle service = openService(SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
        status.dwCurrentState = 0;
    }
    return status;
}

bool waitForState(DWORD wanted) {
    const auto start = MonotonicClock::now();
    while (serviceStatus().dwCurrentState != wanted) {
        if (elapsedMilliseconds(start) > 15000) {
            return false;
        }
        Sleep(100);
    }
    return true;
}

// One request over the service's pipe, the way a client sends it; the whole response back.
std::string askService(const std::string& request) {
    UniqueFileHandle pipe;
    const auto start = MonotonicClock::now();
    // Between two connections there is no pipe instance for a moment: try again briefly.
    while (!pipe.valid() && elapsedMilliseconds(start) < 5000) {
        pipe.reset(CreateFileW(L"\\\\.\\pipe\\HalvernService", GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe.valid()) {
            Sleep(50);
        }
    }
    if (!pipe.valid()) {
        return "<no pipe>";
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    const std::string line = request + "\n";
    DWORD written = 0;
    WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    std::string response;
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        const BOOL ok = ReadFile(pipe.get(), buffer, sizeof(buffer), &read, nullptr);
        const DWORD error = GetLastError();
        response.append(buffer, read);
        if (ok || error != ERROR_MORE_DATA) {
            return response;
        }
    }
}

// Captures debugger output from every process, the service included, through the DBWIN
// protocol: the writer waits for DBWIN_BUFFER_READY, fills the DBWIN_BUFFER mapping (the
// writer's process id, then the text) and sets DBWIN_DATA_READY.
class DebugOutputListener {
  public:
    DebugOutputListener() {
        if (mapping_.get() != nullptr) {
            view_ = MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096);
        }
        if (view_ != nullptr && bufferReady_.valid() && dataReady_.valid()) {
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

    // Waits until a status line holds `wanted`; returns the status lines captured so far.
    std::vector<std::string> waitForStatus(const std::string& wanted) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::find(lines_.begin(), lines_.end(), wanted) != lines_.end();
        });
        return lines_;
    }

  private:
    void listen() {
        SetEvent(bufferReady_.get());
        const HANDLE events[] = {dataReady_.get(), quit_.get()};
        while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
            const char* text = static_cast<const char*>(view_) + sizeof(DWORD);
            const std::string line(text, strnlen(text, 4096 - sizeof(DWORD)));
            if (line.rfind("HalvernService status: ", 0) == 0) {
                const std::lock_guard lock(mutex_);
                lines_.push_back(line);
            }
            arrived_.notify_all();
            SetEvent(bufferReady_.get());
        }
    }

    UniqueHandle bufferReady_{CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")};
    UniqueHandle dataReady_{CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")};
    UniqueHandle mapping_{CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                             L"DBWIN_BUFFER")};
    UniqueHandle quit_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void* view_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

// Removes the registration whatever state the test left it in.
void removeService() {
    const ServiceHandle service = openService(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service) {
        SERVICE_STATUS ignored{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
        waitForState(SERVICE_STOPPED);
        DeleteService(service.get());
    }
}

class ServiceScm : public ::testing::Test {
  protected:
    void SetUp() override { removeService(); }
    void TearDown() override { removeService(); }
};

TEST_F(ServiceScm, InstallTwiceStartAnswerStopUninstallTwice) {
    DebugOutputListener listener;
    ASSERT_TRUE(listener.listening());
    EXPECT_EQ(runVerb(L"stop"), 0U);  // not installed: stop and uninstall succeed, start fails
    EXPECT_EQ(runVerb(L"start"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    ASSERT_EQ(runVerb(L"install"), 0U);
    ASSERT_EQ(runVerb(L"install"), 0U);
    {
        const ServiceHandle service = openService(SERVICE_QUERY_CONFIG);
        std::vector<unsigned char> buffer(8192);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(service.get(), config, 8192, &needed));
        EXPECT_EQ(std::wstring(config->lpBinaryPathName),
                  L"\"" + test::serviceExecutable().native() + L"\"");
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(std::wstring(config->lpDisplayName), L"Halvern Service");
    }
    EXPECT_EQ(serviceStatus().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(runVerb(L"start"), 0U);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING)) << serviceStatus().dwCurrentState;
    EXPECT_EQ(runVerb(L"start"), 0U);  // already running is success

    EXPECT_EQ(askService(R"({"command":"status"})"),
              R"({"ok":true,"status":"disconnected","activeProtocol":""})");
    // No xray.exe is installed beside the service, so the connect fails at once; the service
    // announces each status word to the debugger output on the way.
    const std::string answer = askService(R"({"command":"startXray","configJson":"{}"})");
    EXPECT_EQ(answer.rfind(R"({"ok":false,"error":)", 0), 0U) << answer;
    EXPECT_EQ(listener.waitForStatus("HalvernService status: error\n"),
              (std::vector<std::string>{"HalvernService status: connecting\n",
                                        "HalvernService status: error\n"}));

    // The verb waits for the stop; the service's own stop is quick without a tunnel.
    EXPECT_EQ(runVerb(L"stop"), 0U);
    const SERVICE_STATUS_PROCESS stopped = serviceStatus();
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0U);
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0U);

    EXPECT_EQ(runVerb(L"uninstall"), 0U);
    EXPECT_FALSE(openService(SERVICE_QUERY_STATUS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(runVerb(L"uninstall"), 0U);
}

TEST_F(ServiceScm, AnythingButAVerbAsksForTheDispatcher) {
    // From a console there is no service control manager to connect to: 1063. Wine takes
    // about 10 s to give up, so the runs overlap.
    const std::vector<std::wstring> arguments = {L"", L"Install", L"/install", L"-stop", L"START"};
    std::vector<UniqueHandle> processes;
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
