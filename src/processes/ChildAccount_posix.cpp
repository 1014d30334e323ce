#include "processes/ChildAccount.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "common/DebugOutput.h"

namespace halvern {
namespace {

constexpr const char* kChildUser = "halvern-core";
constexpr uid_t kOverflowId = 65534;

std::optional<passwd> lookUpUser(const char* name, std::vector<char>& buffer) {
    passwd entry{};
    passwd* found = nullptr;
    buffer.assign(16384, '\0');
    if (::getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return entry;
}

std::optional<gid_t> lookUpGroup(const char* name) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return entry.gr_gid;
}

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

}  // namespace

std::optional<ChildAccount> childAccount(bool keepNetworkAdmin) {
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    std::vector<char> buffer;
    if (const auto user = lookUpUser(kChildUser, buffer)) {
        return ChildAccount{kChildUser, user->pw_uid, user->pw_gid, keepNetworkAdmin};
    }
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        writeDebugOutput(std::string("HalvernService status: user ") + kChildUser +
                         " is missing; child processes run as nobody\n");
    }
    ChildAccount account{"nobody", kOverflowId, kOverflowId, keepNetworkAdmin};
    if (const auto nobody = lookUpUser("nobody", buffer)) {
        account.uid = nobody->pw_uid;
        account.gid = nobody->pw_gid;
    }
    if (const auto nogroup = lookUpGroup("nogroup")) {
        account.gid = *nogroup;
    }
    return account;
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
