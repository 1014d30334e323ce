// Stands in for Windows' own netsh.exe and powershell.exe in the command runner's tests, built
// under both names and placed beside the test executable, where a bare "netsh" is found first.
//
// It appends one line about how it was started to the file named by HALVERN_STANDIN_RECORD:
//   pid=<process id> flags=<STARTUPINFO dwFlags> show=<wShowWindow> inherited=<0|1> line=<UTF-8>
// "inherited" tells whether the handle whose value is in HALVERN_STANDIN_PROBE_HANDLE (a pipe
// that the test made inheritable) is open in this process. Then it sleeps for
// HALVERN_STANDIN_SLEEP_MS and exits with HALVERN_STANDIN_EXIT, or with 0 when
// HALVERN_STANDIN_FAIL_ON is set and its text is not part of the command line.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::string variable(const char* name) {
    char buffer[1024];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    if (length == 0 || length >= sizeof(buffer)) {
        return {};
    }
    return std::string(buffer, length);
}

std::string utf8(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return {};
    }
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(length) - 1);
    return result;
}

bool probeInherited() {
    const std::string value = variable("HALVERN_STANDIN_PROBE_HANDLE");
    if (value.empty()) {
        return false;
    }
    const auto handle =
        reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::strtoull(value.c_str(), nullptr, 10)));
    return GetFileType(handle) == FILE_TYPE_PIPE;
}

void record(const std::string& line) {
    const std::string path = variable("HALVERN_STANDIN_RECORD");
    if (path.empty()) {
        return;
    }
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int main() {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    const std::string commandLine = utf8(GetCommandLineW());
    record("pid=" + std::to_string(GetCurrentProcessId()) + " flags=" +
           std::to_string(startup.dwFlags) + " show=" + std::to_string(startup.wShowWindow) +
           " inherited=" + (probeInherited() ? "1" : "0") + " line=" + commandLine + "\n");

    const std::string sleep = variable("HALVERN_STANDIN_SLEEP_MS");
    if (!sleep.empty()) {
        Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));
    }
    const std::string failOn = variable("HALVERN_STANDIN_FAIL_ON");
    if (!failOn.empty() && commandLine.find(failOn) == std::string::npos) {
        ExitProcess(0);
    }
    ExitProcess(
        static_cast<UINT>(std::strtoul(variable("HALVERN_STANDIN_EXIT").c_str(), nullptr, 10)));
}
