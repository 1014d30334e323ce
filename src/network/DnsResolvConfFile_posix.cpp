#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <stdexcept>

#include "common/ErrorText.h"
#include "common/ServiceDirectories.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"
#include "network/DnsBackends.h"
#include "network/ResolvConfBackup.h"

// /etc/resolv.conf itself as the tunnel's DNS backend, for systems where no resolver manager runs
// (a plain Debian, Devuan, Alpine, most containers).
//
// Before each change the backup file "halvern_resolv_conf.backup" in the runtime directory (mode
// 0600, written whole, synced and renamed into place) records the original exactly: its bytes,
// mode and owner, or that it was a symlink and to what, or that there was none; and with it each
// content of ours that may be in place. Ours then replaces the file atomically: a temporary file
// in /etc, renamed over it. Where /etc/resolv.conf is a mount point (containers, "ip netns exec",
// systemd's ProtectSystem=strict with the file alone in ReadWritePaths=, which leaves /etc itself
// read-only) a rename cannot work, and the file is rewritten in place instead. Putting the
// original back needs nothing but the backup, so the next start after a crash can do it just as
// the disconnect does. Every file is opened with O_NOFOLLOW and O_CLOEXEC.
namespace halvern {

namespace {

constexpr const char* kResolvConf = "/etc/resolv.conf";
constexpr const char* kTemporaryPrefix = "/etc/.resolv.conf.halvern-";
constexpr const char* kBackupName = "halvern_resolv_conf.backup";
constexpr mode_t kOurMode = 0644;
// A resolver configuration is a few lines; anything this large is not one we should copy.
constexpr std::size_t kMaxBytes = 1U << 20U;

using Entry = ResolvConfEntry;
using Backup = ResolvConfBackup;

[[noreturn]] void fail(const char* verb, const std::string& path, int error) {
    throw std::runtime_error("Failed to " + std::string(verb) + " " + path +
                             errorCodeSuffix(static_cast<std::uint32_t>(error)));
}

Entry readEntry(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            return {};
        }
        fail("read", path, error);
    }
    Entry entry;
    entry.mode = info.st_mode & 07777;
    entry.owner = info.st_uid;
    entry.group = info.st_gid;
    if (S_ISLNK(info.st_mode)) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof(target));
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof(target)) {
            fail("read", path, length < 0 ? errno : ENAMETOOLONG);
        }
        entry.kind = Entry::Kind::symlink;
        entry.mode = 0;  // a symlink's mode means nothing and cannot be set
        entry.bytes.assign(target, static_cast<std::size_t>(length));
        return entry;
    }
    if (!S_ISREG(info.st_mode)) {
        fail("read", path, EINVAL);
    }
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid() || !readWholeFile(file.get(), kMaxBytes, entry.bytes)) {
        fail("read", path, errno);
    }
    entry.kind = Entry::Kind::file;
    return entry;
}

// Whether something is mounted on the path itself, as "ip netns exec" and container runtimes
// mount a file over /etc/resolv.conf. Unknown counts as no: the rename then tells.
bool isMountPoint(const char* path) {
    struct statx info {};
    return ::statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) == 0 &&
           (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// The same inode, new content: what a mount point allows. Not atomic, so a reader may see a
// short file for a moment; the content is written before the old tail is cut.
void writeInPlace(const std::string& bytes, std::optional<mode_t> mode) {
    const UniqueFd file(::open(kResolvConf, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    const bool written = file.valid() && writeWholeFile(file.get(), bytes) &&
                         ::ftruncate(file.get(), static_cast<off_t>(bytes.size())) == 0 &&
                         (!mode || ::fchmod(file.get(), *mode) == 0) && ::fsync(file.get()) == 0;
    if (!written) {
        fail("write", kResolvConf, errno);
    }
}

// A new file with `entry`'s content, mode and (where we may set it) owner, renamed over
// /etc/resolv.conf; in place where that is a mount point or /etc cannot take a new file (EROFS at
// the creation, EBUSY or EXDEV at the rename). `inPlaceMode` is the mode to give a file rewritten
// in place, if any.
void placeFile(const Entry& entry, std::optional<mode_t> inPlaceMode) {
    if (isMountPoint(kResolvConf)) {
        writeInPlace(entry.bytes, inPlaceMode);
        return;
    }
    const int error = replaceFileAtomically(
        kResolvConf, entry.bytes,
        {.mode = entry.mode, .owner = FileOwner{entry.owner, entry.group}, .syncDirectory = false});
    if (error == EROFS || error == EBUSY || error == EXDEV) {
        writeInPlace(entry.bytes, inPlaceMode);
    } else if (error != 0) {
        fail("write", kResolvConf, error);
    }
}

void placeSymlink(const std::string& target) {
    std::string temporary;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        temporary = kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        error = ::symlink(target.c_str(), temporary.c_str()) == 0 ? 0 : errno;
    }
    if (error == 0 && ::rename(temporary.c_str(), kResolvConf) == 0) {
        return;
    }
    if (error == 0) {
        error = errno;
        ::unlink(temporary.c_str());
    }
    fail("write", kResolvConf, error);
}

void putBack(const Entry& original) {
    if (original.kind == Entry::Kind::file) {
        placeFile(original, original.mode);
    } else if (original.kind == Entry::Kind::symlink) {
        placeSymlink(original.bytes);
    } else if (::unlink(kResolvConf) != 0 && errno != ENOENT) {
        fail("write", kResolvConf, errno);
    }
}

void writeBackup(const Backup& backup) {
    const std::string path = resolvConfBackupPath();
    if (const int error =
            replaceFileAtomically(path, encodeResolvConfBackup(backup),
                                  {.mode = 0600, .owner = {}, .syncDirectory = false});
        error != 0) {
        fail("write", path, error);
    }
}

// Our backup, or nothing when there is none or the file is not one we wrote: not a regular file,
// not the service's own, writable by others, or not in our format.
std::optional<Backup> readBackup() {
    const UniqueFd file(
        ::open(resolvConfBackupPath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    std::string text;
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 022) != 0 ||
        !readWholeFile(file.get(), kMaxBytes, text)) {
        return std::nullopt;
    }
    return decodeResolvConfBackup(text);
}

// A file of ours in place, a new one of mode 0644 (a file rewritten in place keeps its mode),
// and the original in the backup. Each write throws std::runtime_error "Failed to read PATH
// (error N)" or "Failed to write PATH (error N)"; the file is then either the original or a
// content of ours, and undo() handles both.
class ResolvConfFileChange final : public OutlivingDnsChange {
  public:
    ~ResolvConfFileChange() override { restore(); }

    std::optional<DnsBackend> outlivesAdapter() const override {
        return DnsBackend::resolvConfFile;
    }
    std::string describe() const override { return "/etc/resolv.conf, written directly"; }

    // Puts the original back if what is in place is still ours, then deletes the backup (unless
    // that failed). A file that someone else put in place while the tunnel was up stays.
    bool undo() const override {
        try {
            const std::optional<Backup> backup = readBackup();
            if (!backup) {
                return true;
            }
            const Entry current = readEntry(kResolvConf);
            if (backup->holdsOurs(current)) {
                putBack(backup->original);
            } else if (!(current == backup->original)) {
                dnsLogLine(
                    "/etc/resolv.conf was replaced by someone else while the tunnel was up; it "
                    "stays");
            }
            ::unlink(resolvConfBackupPath().c_str());
            return true;
        } catch (...) {
            dnsLogLine("could not put /etc/resolv.conf back; the original stays in " +
                       resolvConfBackupPath());
            return false;
        }
    }

  protected:
    // A backup left by an instance that died while its file was in place still holds the true
    // original, so it is kept; one that no longer matches what is in place is stale and replaced.
    void put(const std::string& lines) override {
        const std::string content =
            "# Written by Halvern Service while its tunnel is up; the previous file comes back\n# "
            "when the tunnel goes down.\n" +
            lines;
        const Entry current = readEntry(kResolvConf);
        const std::optional<Backup> kept = readBackup();
        Backup backup;
        backup.original = current;
        if (kept && (kept->holdsOurs(current) || current == kept->original)) {
            backup.original = kept->original;
            if (kept->holdsOurs(current)) {
                backup.ours.push_back(current.bytes);
            }
        }
        backup.ours.push_back(content);
        writeBackup(backup);
        placeFile({Entry::Kind::file, kOurMode, ::geteuid(), ::getegid(), content}, std::nullopt);
    }
};

}  // namespace

std::string resolvConfBackupPath() {
    return (runtimeDirectory() / kBackupName).string();
}

std::unique_ptr<OutlivingDnsChange> resolvConfFileDnsChange() {
    return std::make_unique<ResolvConfFileChange>();
}

}  // namespace halvern
