// Our netsh.exe and powershell.exe under Wine. Appends "<pid> <dwFlags> <wShowWindow> <UTF-8
// command line>" to HALVERN_STANDIN_RECORD, sleeps HALVERN_STANDIN_SLEEP_MS, and exits with
// HALVERN_STANDIN_EXIT, or with 0 when the line lacks the text of HALVERN_STANDIN_FAIL_ON.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): one thread
    return value != nullptr ? value : "";
}

}  // namespace

int main() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    char utf8[8192] = {};
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, utf8, sizeof(utf8), nullptr, nullptr);
    const std::string commandLine = utf8;
    const std::string record = variable("HALVERN_STANDIN_RECORD");
    if (!record.empty()) {
        std::ofstream(record, std::ios::app | std::ios::binary)
            << GetCurrentProcessId() << " " << startup.dwFlags << " " << startup.wShowWindow << " "
            << commandLine << "\n";
    }
    Sleep(static_cast<DWORD>(
        std::strtoul(variable("HALVERN_STANDIN_SLEEP_MS").c_str(), nullptr, 10)));
    const std::string failOn = variable("HALVERN_STANDIN_FAIL_ON");
    if (!failOn.empty() && commandLine.find(failOn) == std::string::npos) {
        ExitProcess(0);
    }
    ExitProcess(
        static_cast<UINT>(std::strtoul(variable("HALVERN_STANDIN_EXIT").c_str(), nullptr, 10)));
}
