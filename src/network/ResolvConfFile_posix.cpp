#include "network/ResolvConfFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/AddressText.h"
#include "common/ErrorText.h"
#include "common/ServiceDirectories.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"

namespace halvern {

namespace {

constexpr const char* kResolvConf = "/etc/resolv.conf";
constexpr const char* kTemporaryPrefix = "/etc/.resolv.conf.halvern-";
constexpr const char* kBackupName = "halvern_resolv_conf.backup";
constexpr const char* kBackupHeader = "halvern resolv.conf backup 1\n";
constexpr mode_t kOurMode = 0644;
// A resolver configuration is a few lines; anything this large is not one we should copy.
constexpr std::size_t kMaxBytes = 1U << 20U;

// How the backup names Entry::Kind, in its order.
constexpr const char* kKinds[] = {"none", "file", "symlink"};

[[noreturn]] void fail(const char* verb, const std::string& path, int error) {
    throw std::runtime_error("Failed to " + std::string(verb) + " " + path +
                             errorCodeSuffix(static_cast<std::uint32_t>(error)));
}

// What a path holds: nothing, a regular file, or a symlink (whose target is `bytes`).
struct Entry {
    enum class Kind { absent, file, symlink };
    Kind kind = Kind::absent;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    std::string bytes;
    bool operator==(const Entry&) const = default;
};

struct Backup {
    Entry original;
    std::vector<std::string> ours;  // every content of ours that may be in place

    bool holdsOurs(const Entry& current) const {
        return current.kind == Entry::Kind::file &&
               std::find(ours.begin(), ours.end(), current.bytes) != ours.end();
    }
};

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

// The backup's text: a header line, then "original KIND MODE OWNER GROUP SIZE" and "ours SIZE"
// lines, each followed by exactly SIZE bytes and a line feed.
std::string encode(const Backup& backup) {
    const Entry& original = backup.original;
    std::string text = kBackupHeader;
    text += "original " + std::string(kKinds[static_cast<int>(original.kind)]) + " " +
            std::to_string(original.mode) + " " + std::to_string(original.owner) + " " +
            std::to_string(original.group) + " " + std::to_string(original.bytes.size()) + "\n" +
            original.bytes + "\n";
    for (const std::string& ours : backup.ours) {
        text += "ours " + std::to_string(ours.size()) + "\n" + ours + "\n";
    }
    return text;
}

class BackupReader {
  public:
    explicit BackupReader(const std::string& text) : text_(text) {}

    // The next line's words, without its line feed; empty at the end or on a malformed line.
    std::vector<std::string> words() {
        const std::size_t end = text_.find('\n', position_);
        if (end == std::string::npos) {
            return {};
        }
        std::vector<std::string> result;
        std::size_t start = position_;
        while (start < end) {
            const std::size_t space = std::min(text_.find(' ', start), end);
            result.push_back(text_.substr(start, space - start));
            start = space + 1;
        }
        position_ = end + 1;
        return result;
    }

    // SIZE bytes and the line feed after them.
    std::optional<std::string> block(const std::string& sizeText) {
        const std::optional<std::uint64_t> size = number(sizeText);
        if (!size || *size > text_.size() - position_ ||
            text_.compare(position_ + *size, 1, "\n") != 0) {
            return std::nullopt;
        }
        std::string bytes = text_.substr(position_, *size);
        position_ += *size + 1;
        return bytes;
    }

    bool atEnd() const { return position_ == text_.size(); }

    // At most ten digits: the writer never needs more, and a longer run is no backup of ours.
    static std::optional<std::uint64_t> number(const std::string& text) {
        return text.size() <= 10 ? wholeNumber(text, UINT64_MAX) : std::nullopt;
    }

  private:
    const std::string& text_;
    std::size_t position_ = 0;
};

std::optional<Backup> decode(const std::string& text) {
    if (text.rfind(kBackupHeader, 0) != 0) {
        return std::nullopt;
    }
    const std::string body = text.substr(std::string(kBackupHeader).size());
    BackupReader reader(body);
    const std::vector<std::string> head = reader.words();
    const auto kind = head.size() == 6 && head[0] == "original"
                          ? std::find(std::begin(kKinds), std::end(kKinds), head[1])
                          : std::end(kKinds);
    const auto mode = head.size() == 6 ? BackupReader::number(head[2]) : std::nullopt;
    const auto owner = head.size() == 6 ? BackupReader::number(head[3]) : std::nullopt;
    const auto group = head.size() == 6 ? BackupReader::number(head[4]) : std::nullopt;
    std::optional<std::string> bytes = head.size() == 6 ? reader.block(head[5]) : std::nullopt;
    if (kind == std::end(kKinds) || !mode || *mode > 07777 || !owner || !group || !bytes) {
        return std::nullopt;
    }
    Backup backup;
    backup.original = {static_cast<Entry::Kind>(kind - std::begin(kKinds)),
                       static_cast<mode_t>(*mode), static_cast<uid_t>(*owner),
                       static_cast<gid_t>(*group), std::move(*bytes)};
    while (!reader.atEnd()) {
        const std::vector<std::string> line = reader.words();
        std::optional<std::string> ours =
            line.size() == 2 && line[0] == "ours" ? reader.block(line[1]) : std::nullopt;
        if (!ours) {
            return std::nullopt;
        }
        backup.ours.push_back(std::move(*ours));
    }
    return backup;
}

void writeBackup(const Backup& backup) {
    const std::string path = resolvConfBackupPath();
    if (const int error = replaceFileAtomically(
            path, encode(backup), {.mode = 0600, .owner = {}, .syncDirectory = false});
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
    return decode(text);
}

}  // namespace

std::string resolvConfBackupPath() {
    return (runtimeDirectory() / kBackupName).string();
}

// A backup left by an instance that died while its file was in place still holds the true
// original, so it is kept; one that no longer matches what is in place is stale and replaced.
void writeResolvConf(const std::string& content) {
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

ResolvConfRestore restoreResolvConf() noexcept {
    try {
        const std::optional<Backup> backup = readBackup();
        if (!backup) {
            return ResolvConfRestore::nothing;
        }
        const Entry current = readEntry(kResolvConf);
        ResolvConfRestore outcome = ResolvConfRestore::nothing;
        if (backup->holdsOurs(current)) {
            putBack(backup->original);
            outcome = ResolvConfRestore::restored;
        } else if (!(current == backup->original)) {
            outcome = ResolvConfRestore::replaced;
        }
        ::unlink(resolvConfBackupPath().c_str());
        return outcome;
    } catch (...) {
        return ResolvConfRestore::failed;
    }
}

}  // namespace halvern
