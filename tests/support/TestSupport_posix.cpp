#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/TestSupport.h"

namespace halvern::testing {

ScopedJournalPlace::ScopedJournalPlace() : path_(directory_.path() / "session.journal") {}
ScopedJournalPlace::~ScopedJournalPlace() = default;

void letOthersChangeJournal(const std::filesystem::path& path) {
    letEveryoneChange(path);
}

namespace {

void shunSignal(int signal, bool shunned) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    ::pthread_sigmask(shunned ? SIG_BLOCK : SIG_UNBLOCK, &one, nullptr);
    (void)::signal(signal, shunned ? SIG_IGN : SIG_DFL);
}

// State letter and parent from /proc/PID/stat, after the last ')' (the name may hold any); state
// 0 when it is not there, or ended between open and read (ESRCH, thrown whatever the mask).
std::pair<char, long> stateAndParent(const std::string& pid) {
    std::pair<char, long> result{0, 0};
    try {
        const std::string stat = readFileBytes("/proc/" + pid + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos ||
            std::sscanf(stat.c_str() + close + 1, " %c %ld", &result.first, &result.second) != 2) {
            result.first = 0;
        }
    } catch (const std::exception&) {
        result.first = 0;
    }
    return result;
}

}  // namespace

std::vector<std::uint32_t> childProcessesOfThisProcess() {
    std::vector<std::uint32_t> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            stateAndParent(name).second == ::getpid()) {
            children.push_back(static_cast<std::uint32_t>(std::stoul(name)));
        }
    }
    return children;
}

// /proc's "comm" is the executable's name cut to 15 bytes, enough for ours.
std::uint32_t killChildNamed(const std::string& fileName) {
    for (const std::uint32_t pid : childProcessesOfThisProcess()) {
        if (readFileBytes("/proc/" + std::to_string(pid) + "/comm") == fileName + "\n" &&
            ::kill(static_cast<pid_t>(pid), SIGKILL) == 0) {
            return pid;
        }
    }
    return 0;
}

std::size_t debugOutputCount(const std::string& /*text*/) {
    return 0;
}

bool processHasEnded(std::uint32_t pid) {
    const char state = stateAndParent(std::to_string(pid)).first;
    return state == 0 || state == 'Z' || state == 'X';
}

ScopedPrivateRunDirectory::ScopedPrivateRunDirectory() {
    static const int enterError = [] {
        const bool entered = ::unshare(CLONE_NEWNS) == 0 &&
                             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        return entered ? 0 : errno;
    }();
    if (enterError != 0 || ::mount("halvern-test", "/run", "tmpfs", 0, "mode=0755") != 0) {
        throw std::runtime_error("no /run of this test's own (root needed), error " +
                                 std::to_string(enterError != 0 ? enterError : errno));
    }
}

ScopedPrivateRunDirectory::~ScopedPrivateRunDirectory() {
    ::umount2("/run", MNT_DETACH);
}

ScopedSignalShunned::ScopedSignalShunned(int signal) : number(signal) {
    shunSignal(number, true);
}

ScopedSignalShunned::~ScopedSignalShunned() {
    shunSignal(number, false);  // a test process starts with neither
}

int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors) {
    std::string command;
    for (const std::string& argument : arguments) {
        command += "'" + argument + "' ";  // no argument here holds a single quote
    }
    // ctest's time-out bounds the wait.
    const int status = std::system(
        (command + "</dev/null >'" + output.string() + "' 2>'" + errors.string() + "'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void letEveryoneChange(const std::filesystem::path& path) {
    std::filesystem::permissions(path, std::filesystem::perms::others_all,
                                 std::filesystem::perm_options::add);
}

}  // namespace halvern::testing
