#include "processes/ChildAccount.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/AccountIds.h"
#include "common/AddressText.h"
#include "common/ChildProcess.h"
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

// Whether /proc/PID/status shows a live (not yet a zombie) process with `uid` as its real,
// effective or saved uid. Plain read(2): a process that ends meanwhile is simply not there.
bool runsAs(const char* pid, uid_t uid) {
    const UniqueFd file(
        ::open((std::string("/proc/") + pid + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid() || !readWholeFile(file.get(), 16384, text)) {
        return false;
    }
    const std::size_t state = text.find("\nState:\t");
    const std::size_t ids = text.find("\nUid:\t");
    if (state == std::string::npos || ids == std::string::npos) {
        return false;
    }
    const char stateLetter = text[state + 8];
    if (stateLetter == 'Z' || stateLetter == 'X') {
        return false;
    }
    std::istringstream words(text.substr(ids + 6));
    std::string word;
    for (int field = 0; field < 3 && words >> word; ++field) {  // real, effective, saved
        const std::optional<std::uint64_t> value = wholeNumber(word, UINT32_MAX);
        if (!value) {
            return false;
        }
        if (*value == uid) {
            return true;
        }
    }
    return false;
}

std::size_t countProcessesOf(uid_t uid) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && runsAs(entry->d_name, uid)) {
            ++count;
        }
    }
    ::closedir(proc);
    return count;
}

// One round: a helper with the account's uid alone (raw system calls, which change only the
// calling thread; in the forked child that is the whole process, and glibc's setxid broadcast
// to threads that do not exist there is skipped) sends SIGKILL to every process it may signal.
// kill(-1) never signals the caller itself.
void killAllAs(uid_t uid) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::syscall(SYS_setresuid, uid, uid, uid) == 0) {
            ::kill(-1, SIGKILL);
        }
        ::_exit(0);
    }
    if (pid < 0) {
        return;
    }
    ChildProcess helper(pid);
    const auto start = MonotonicClock::now();
    while (!helper.waitStatusIfExited() && elapsedMilliseconds(start) < 1000) {
        sleepMilliseconds(1);
    }
}

}  // namespace

std::size_t endEveryProcessOf(const ChildAccount& account, int waitMs) noexcept {
    try {
        const std::size_t found = countProcessesOf(account.uid);
        const auto start = MonotonicClock::now();
        for (std::size_t left = found; left != 0 && elapsedMilliseconds(start) < waitMs;
             left = countProcessesOf(account.uid)) {
            killAllAs(account.uid);
            sleepMilliseconds(5);
        }
        return found;
    } catch (...) {
        return 0;
    }
}

std::optional<ChildAccount> childAccount(bool keepNetworkAdmin) {
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
    return ChildAccount{kChildUser, user->uid, user->gid, keepNetworkAdmin};
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
