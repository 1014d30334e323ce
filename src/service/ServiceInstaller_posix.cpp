#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/ExecutablePath.h"
#include "service/ServiceEntry.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

// The Linux verbs drive a systemd unit through systemctl. Each verb's exit code is 0 or the code
// of its failing step (an errno value for a file step, systemctl's own exit status otherwise);
// running a verb twice is harmless, and removing a unit that is not there succeeds.
namespace halvern {
namespace {

constexpr const char* kUnitName = "HalvernService.service";
constexpr const char* kUnitPath = "/etc/systemd/system/HalvernService.service";

std::uint32_t errnoCode(int error) {
    return error != 0 ? static_cast<std::uint32_t>(error) : EIO;
}

// ExecStart's first word, quoted so that spaces stay in the name, with % doubled because
// systemd expands specifiers even inside quotes ($ needs nothing: variables are expanded in the
// arguments only). systemd refuses an executable name holding quotes, backslashes or control
// characters, so such a path gets no unit at all (empty result) rather than one that fails at
// every start.
std::string execStartWord(const std::string& path) {
    std::string word = "\"";
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"' || c == '\'' ||
            c == '\\') {
            return {};
        }
        if (c == '%') {
            word += '%';
        }
        word += c;
    }
    return word + "\"";
}

// Hardened for what the service does and nothing more: it configures links and routes
// (CAP_NET_ADMIN; tun2socks opens /dev/net/tun under the same capability), may hand its socket
// to group "halvern" (CAP_CHOWN), and writes only to its runtime directory. KillMode=mixed sends
// SIGTERM to the service alone, so that it removes its routes before its children go, in its own
// order; whatever is left afterwards gets SIGKILL.
std::string unitText(const std::string& execStart) {
    return "# Written by \"halvern-service install\"; \"halvern-service uninstall\" removes it.\n"
           "[Unit]\n"
           "Description=Halvern Service\n"
           "After=network.target\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" +
           execStart +
           "\n"
           "Restart=on-failure\n"
           "KillMode=mixed\n"
           "TimeoutStopSec=30\n"
           "RuntimeDirectory=halvern\n"
           "RuntimeDirectoryMode=0755\n"
           "UMask=0027\n"
           "CapabilityBoundingSet=CAP_NET_ADMIN CAP_CHOWN\n"
           "NoNewPrivileges=yes\n"
           "ProtectSystem=strict\n"
           "ProtectHome=read-only\n"
           "PrivateTmp=yes\n"
           "DevicePolicy=closed\n"
           "DeviceAllow=/dev/net/tun rw\n"
           "ProtectKernelTunables=yes\n"
           "ProtectKernelModules=yes\n"
           "ProtectKernelLogs=yes\n"
           "ProtectControlGroups=yes\n"
           "ProtectClock=yes\n"
           "ProtectHostname=yes\n"
           "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
           "RestrictNamespaces=yes\n"
           "RestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\n"
           "LockPersonality=yes\n"
           "SystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

// Closes the descriptor once, on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }
    int close() noexcept {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

// Written beside the unit and renamed over it, so that systemd never reads half a file.
std::uint32_t writeUnitFile(const std::string& text) {
    const std::string temporary = std::string(kUnitPath) + ".new";
    FileDescriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0) {
        const int error = errno;
        return errnoCode(error);
    }
    int error = 0;
    // The umask must not narrow it: systemd and "systemctl cat" read the unit as others.
    if (::fchmod(file.get(), 0644) != 0) {
        error = errno;
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (error == 0 && left > 0) {
        const ssize_t written = ::write(file.get(), data, left);
        if (written < 0) {
            const int writeError = errno;
            if (writeError != EINTR) {
                error = writeError;
            }
            continue;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (error == 0 && ::fsync(file.get()) != 0) {
        error = errno;
    }
    if (file.close() != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), kUnitPath) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return errnoCode(error);
    }
    return 0;
}

// Runs systemctl (found through PATH) with the arguments and waits for it. Returns its exit
// status, 128 + the signal that ended it, or the errno of a failed start.
std::uint32_t runSystemctl(std::initializer_list<const char*> arguments) {
    std::vector<char*> argv;
    std::vector<std::string> words{"systemctl"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    pid_t child = 0;
    const int spawnError =
        ::posix_spawnp(&child, "systemctl", nullptr, nullptr, argv.data(), environ);
    if (spawnError != 0) {
        return errnoCode(spawnError);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            const int error = errno;
            return errnoCode(error);
        }
    }
    if (WIFEXITED(status)) {
        return static_cast<std::uint32_t>(WEXITSTATUS(status));
    }
    return 128U + static_cast<std::uint32_t>(WTERMSIG(status));
}

bool unitInstalled() {
    struct stat info {};
    return ::lstat(kUnitPath, &info) == 0;
}

}  // namespace

std::uint32_t installVerb() {
    const std::string executable = executablePath().string();
    if (executable.empty()) {
        return ENOENT;
    }
    const std::string execStart = execStartWord(executable);
    if (execStart.empty()) {
        return EINVAL;
    }
    if (const std::uint32_t error = writeUnitFile(unitText(execStart)); error != 0) {
        return error;
    }
    if (const std::uint32_t error = runSystemctl({"daemon-reload"}); error != 0) {
        return error;
    }
    return runSystemctl({"enable", kUnitName});
}

std::uint32_t uninstallVerb() {
    if (!unitInstalled()) {
        return 0;
    }
    runSystemctl({"stop", kUnitName});  // a unit that does not stop is removed all the same
    if (const std::uint32_t error = runSystemctl({"disable", kUnitName}); error != 0) {
        return error;
    }
    if (::unlink(kUnitPath) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            return errnoCode(error);
        }
    }
    return runSystemctl({"daemon-reload"});
}

std::uint32_t startVerb() {
    // Returns at once for a running unit; systemctl waits until the start job is done.
    return runSystemctl({"start", kUnitName});
}

std::uint32_t stopVerb() {
    if (unitInstalled()) {
        runSystemctl({"stop", kUnitName});
    }
    return 0;
}

}  // namespace halvern
