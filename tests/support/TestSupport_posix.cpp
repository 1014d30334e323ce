#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/TestSupport.h"

namespace halvern::testing {

std::optional<std::string> environmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());  // NOLINT(concurrency-mt-unsafe)
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

std::vector<std::string> runtimeDirectoryVariables() {
    return {"RUNTIME_DIRECTORY"};
}

std::vector<std::uint32_t> childProcessesOfThisProcess() {
    std::vector<std::uint32_t> children;
    const auto self = static_cast<long>(::getpid());
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // /proc/PID/stat: "pid (comm) state ppid ..."; comm may hold spaces and parentheses, so
        // the fields are read after the last ')'.
        std::ifstream statFile(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)),
                         std::istreambuf_iterator<char>());
        const auto close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        long parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
            parent == self) {
            children.push_back(static_cast<std::uint32_t>(std::stoul(name)));
        }
    }
    return children;
}

bool processIsGone(std::uint32_t pid) {
    // kill(pid, 0) still succeeds for a zombie, so ESRCH also means "reaped".
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool processHasEnded(std::uint32_t pid) {
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)),
                           std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close, 3, ") Z") == 0 ||
           stat.compare(close, 3, ") X") == 0;
}

}  // namespace halvern::testing
