#include "processes/ChildAccount.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/AccountIds.h"
#include "common/AddressText.h"
#include "common/MonotonicClock.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"

namespace halvern {
namespace {

// The raw capability call: glibc wraps no capset, and libcap is one dependency too many for a
// single call. Version 3 takes two 32-bit words per set; CAP_NET_ADMIN (12) lies in the first.
int setCapabilities(bool keepNetworkAdmin) noexcept {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (keepNetworkAdmin) {
        const __u32 bit = 1U << static_cast<unsigned>(CAP_NET_ADMIN);
        data[0] = {bit, bit, bit};  // effective, permitted, inheritable
    }
    return static_cast<int>(::syscall(SYS_capset, &header, data));
}

// The text of /proc/PID/status (or /proc/PID/task/TID/status), empty when it is gone.
// Plain read(2): a process that ends meanwhile is simply not there.
std::string statusOf(const std::string& path) {
    const UniqueFd file(::open((path + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid() || !readWholeFile(file.get(), 16384, text)) {
        return {};
    }
    return text;
}

// Whether the status's real, effective or saved uid is `uid`.
bool runsAs(const std::string& status, uid_t uid) {
    const std::size_t ids = status.find("\nUid:\t");
    if (ids == std::string::npos) {
        return false;
    }
    std::istringstream words(status.substr(ids + 6));
    std::string word;
    for (int field = 0; field < 3 && words >> word; ++field) {
        if (wholeNumber(word, UINT32_MAX) == std::optional<std::uint64_t>(uid)) {
            return true;
        }
    }
    return false;
}

bool isRunningState(const std::string& status) {
    const std::size_t state = status.find("\nState:\t");
    return state != std::string::npos && state + 8 < status.size() && status[state + 8] != 'Z' &&
           status[state + 8] != 'X';
}

// Alive while any of its threads runs: a leader thread that exited shows the whole process as a
// zombie in its own status while the others go on.
bool anyThreadRuns(const std::string& processPath, const std::string& leaderStatus) {
    if (isRunningState(leaderStatus)) {
        return true;
    }
    DIR* tasks = ::opendir((processPath + "/task").c_str());
    if (tasks == nullptr) {
        return false;
    }
    bool running = false;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.' &&
            isRunningState(statusOf(processPath + "/task/" + entry->d_name))) {
            running = true;
            break;
        }
    }
    ::closedir(tasks);
    return running;
}

// SIGKILL to every process `uid` may signal, all at once: the kernel walks them under one lock,
// and a fork caught by it fails, so a fork bomb cannot outrun it. Sent from a thread of its own
// that takes on the uid alone (the raw call changes only the calling thread's credentials, and
// with them its capabilities) and then ends; the kernel's own permission check keeps every other
// account's processes out of reach, and kill(-1) spares the caller's process.
void killAllAtOnce(uid_t uid) noexcept {
    try {
        std::thread([uid] {
            if (::syscall(SYS_setresuid, uid, uid, uid) == 0) {
                ::kill(-1, SIGKILL);
            }
        }).join();
    } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch): the walk below remains
    }
}

// One round: all at once, then a walk over /proc in which every process of `uid` still alive
// (still ending, or started since) gets SIGKILL again. Each candidate is held by a pidfd before
// its status is read and signalled through that pidfd: if the number passed to another process
// in between, the one the pidfd holds has ended and the signal fails, so only the process whose
// uid was read is ever signalled. Returns how many the walk found alive.
std::size_t killRound(uid_t uid) {
    killAllAtOnce(uid);
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    std::size_t signalled = 0;
    while (const dirent* entry = ::readdir(proc)) {
        const std::optional<std::uint64_t> pid = wholeNumber(entry->d_name, INT32_MAX);
        if (!pid || *pid == 0) {
            continue;
        }
        const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, *pid, 0U)));
        const std::string path = std::string("/proc/") + entry->d_name;
        const std::string status = pidfd.valid() ? statusOf(path) : std::string();
        if (runsAs(status, uid) && anyThreadRuns(path, status) &&
            ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0U) == 0) {
            ++signalled;
        }
    }
    ::closedir(proc);
    return signalled;
}

}  // namespace

std::size_t endEveryProcessOf(const ChildAccount& account, int waitMs) noexcept {
    try {
        // What was killed lingers until its threads have left; what it forked meanwhile
        // appears. Both are looked for again until a round finds nothing alive.
        std::optional<std::size_t> found;
        waitUntil(
            [&] {
                const std::size_t left = killRound(account.uid);
                found = found.value_or(left);
                return left == 0;
            },
            waitMs, 2);
        return found.value_or(0);
    } catch (...) {
        return 0;
    }
}

std::optional<ChildAccount> childAccount() {
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    const std::optional<UserIds> user = userIdsOf(kChildUser);
    if (!user) {
        throw std::runtime_error(std::string("User ") + kChildUser +
                                 " is missing: the child processes run as that system account "
                                 "alone (the package or scripts/install-deps creates it)");
    }
    if (user->uid == 0 || user->uid > kLastSystemId || user->gid == 0 ||
        user->gid > kLastSystemId) {
        throw std::runtime_error(std::string("User ") + kChildUser + " (uid " +
                                 std::to_string(user->uid) + ", gid " + std::to_string(user->gid) +
                                 ") is not a system account of its own: the child processes "
                                 "do not run under it");
    }
    return ChildAccount{kChildUser, user->uid, user->gid, false};
}

// Everything here needs root's rights, which the change of account then gives up: the child
// can neither raise the limit nor leave the namespaces. The mounts are made private first, so
// that nothing of them reaches the service's own view. A system without /dev/shm has none to
// share.
int enterChildConfinement(const char*& step) noexcept {
    const auto failed = [&step](const char* name) {
        step = name;
        return errno != 0 ? errno : EPERM;
    };
    const rlimit processes{kChildProcessLimit, kChildProcessLimit};
    if (::setrlimit(RLIMIT_NPROC, &processes) != 0) {
        return failed("RLIMIT_NPROC");
    }
    if (::unshare(CLONE_NEWNS | CLONE_NEWIPC) != 0) {
        return failed("unshare");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed("mount --make-rprivate /");
    }
    constexpr const char* kOptions = "mode=1777,size=64m";
    if (::mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, kOptions) != 0) {
        return failed("mount /tmp");
    }
    if (::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, kOptions) != 0 &&
        errno != ENOENT) {
        return failed("mount /dev/shm");
    }
    return 0;
}

// The order is the kernel's: groups and gid while the uid is still 0 and may change them; the
// uid last. A change of uid away from 0 clears every capability unless PR_SET_KEEPCAPS asked to
// keep the permitted ones; capset then leaves exactly the kept one (or none), and an ambient
// capability must be permitted and inheritable before it can be raised.
int becomeChildAccount(const ChildAccount& account, const char*& step) noexcept {
    const auto failed = [&step](const char* name) {
        step = name;
        return errno != 0 ? errno : EPERM;
    };
    if (account.keepNetworkAdmin && ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
        return failed("PR_SET_KEEPCAPS");
    }
    if (::setgroups(1, &account.gid) != 0) {
        return failed("setgroups");
    }
    if (::setresgid(account.gid, account.gid, account.gid) != 0) {
        return failed("setresgid");
    }
    if (::setresuid(account.uid, account.uid, account.uid) != 0) {
        return failed("setresuid");
    }
    if (setCapabilities(account.keepNetworkAdmin) != 0) {
        return failed("capset");
    }
    if (account.keepNetworkAdmin &&
        ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0, 0) != 0) {
        return failed("PR_CAP_AMBIENT_RAISE");
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return failed("PR_SET_NO_NEW_PRIVS");
    }
    return 0;
}

}  // namespace halvern
