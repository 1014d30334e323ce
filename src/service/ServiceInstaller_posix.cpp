#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ChildProcess.h"
#include "common/ExecutablePath.h"
#include "common/WholeFile.h"
#include "processes/ChildSpawn.h"
#include "service/ServiceEntry.h"
#include "service/UnitTemplate.h"

// The Linux verbs drive a systemd unit through systemctl. Each verb's exit code is 0 or the code
// of its failing step (an errno value for a file step, systemctl's own exit status otherwise);
// running a verb twice is harmless, and removing a unit that is not there succeeds. The package
// installs the same unit under /usr/lib/systemd/system: start and stop drive that one too, while
// uninstall removes only the unit that install wrote (the package's own belongs to dpkg). They
// print nothing, but for install's refusal of an executable that someone else could replace.
namespace halvern {
namespace {

constexpr const char* kUnitName = "HalvernService.service";
constexpr const char* kUnitPath = "/etc/systemd/system/HalvernService.service";
constexpr const char* kPackagedUnitPath = "/usr/lib/systemd/system/HalvernService.service";

// How long one systemctl call may take. A stop waits for the unit's TimeoutStopSec (30 s) and, for
// a service that ignores SIGTERM, as long again after SIGKILL; past this bound systemd itself is
// stuck, and the verb fails with ETIMEDOUT instead of hanging its caller.
constexpr int kSystemctlTimeoutMs = 90000;

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

// The unit as the install verb writes it: the shared template with our origin and ExecStart.
std::string unitText(const std::string& execStart) {
    std::string text(kUnitTemplate);
    const auto fill = [&text](std::string_view placeholder, const std::string& value) {
        const std::size_t at = text.find(placeholder);
        if (at != std::string::npos) {
            text.replace(at, placeholder.size(), value);
        }
    };
    fill("@HALVERN_UNIT_ORIGIN@",
         "Written by \"halvern-service install\"; \"halvern-service uninstall\" removes it.");
    fill("@HALVERN_EXEC_START@", execStart);
    return text;
}

// Written beside the unit and renamed over it, so that systemd never reads half a file. The
// umask must not narrow its mode: systemd and "systemctl cat" read the unit as others.
std::uint32_t writeUnitFile(const std::string& text) {
    const int error =
        replaceFileAtomically(kUnitPath, text, {.mode = 0644, .owner = {}, .syncDirectory = false});
    return error != 0 ? errnoCode(error) : 0;
}

// Runs systemctl (found through PATH) with the arguments and waits for it. Returns its exit
// status, 128 + the signal that ended it, the errno of a failed start, or ETIMEDOUT.
std::uint32_t runSystemctl(std::initializer_list<const char*> arguments) {
    ChildSpawnPlan plan;
    plan.argv = {"systemctl"};
    plan.argv.insert(plan.argv.end(), arguments.begin(), arguments.end());
    plan.program = "systemctl";
    plan.outputFd = kServiceStreams;
    plan.limitFileSize = false;
    ChildSpawnError failure;
    ChildProcess child = spawnChild(plan, nullptr, failure);  // killed and reaped on every way out
    if (!child.valid()) {
        return errnoCode(failure.error);
    }
    return child.waitForExit(kSystemctlTimeoutMs).value_or(ETIMEDOUT);
}

// The unit runs ExecStart as root, so whoever can replace the executable, itself or through a
// directory above it (a rename there swaps it), gets root at the next start. Returns the first
// such path with what is wrong with it, empty when only root can.
std::string replaceableByOthers(const std::filesystem::path& executable) {
    for (std::filesystem::path at = executable;; at = at.parent_path()) {
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0) {
            return at.string() + " cannot be examined";
        }
        // A sticky directory (/tmp) lets others add entries, but not rename or remove root's.
        const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
        if (info.st_uid != 0 || (!sticky && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
            std::string mode = "0000";
            auto bits = static_cast<unsigned>(info.st_mode & 07777);
            for (std::size_t digit = mode.size(); digit-- > 0; bits >>= 3U) {
                mode[digit] = static_cast<char>('0' + (bits & 7U));
            }
            return at.string() + " belongs to uid " + std::to_string(info.st_uid) + " with mode " +
                   mode;
        }
        if (!at.has_relative_path()) {
            return {};
        }
    }
}

bool fileExists(const char* path) {
    struct stat info {};
    return ::lstat(path, &info) == 0;
}

}  // namespace

std::uint32_t installVerb() {
    const std::string executable = executablePath().string();
    if (executable.empty()) {
        return ENOENT;
    }
    if (const std::string weak = replaceableByOthers(executable); !weak.empty()) {
        static_cast<void>(std::fprintf(
            stderr,
            "halvern-service install: refused: %s, so someone other than root could "
            "replace what the unit runs as root; install it where only root can write\n",
            weak.c_str()));
        return EPERM;
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
    if (!fileExists(kUnitPath)) {
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
    if (fileExists(kUnitPath) || fileExists(kPackagedUnitPath)) {
        runSystemctl({"stop", kUnitName});
    }
    return 0;
}

}  // namespace halvern
