#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/RuntimeDirectory.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"
#include "journal/JournalStore.h"

namespace halvern {
namespace {

constexpr off_t kMaxJournalBytes = 65536;

}  // namespace

std::filesystem::path sessionJournalPath() {
    return runtimeDirectory() / "halvern_session.journal";
}

std::uint32_t writeJournalStore(const std::filesystem::path& path, const std::string& text) {
    if (!ensureServiceDirectory(runtimeDirectory())) {
        return static_cast<std::uint32_t>(errno != 0 ? errno : EIO);
    }
    const std::string temporary = path.string() + ".tmp";
    ::unlink(temporary.c_str());
    // O_EXCL and O_NOFOLLOW: nothing planted under the temporary name can take the write.
    const UniqueFd file{
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (!file.valid()) {
        return static_cast<std::uint32_t>(errno);
    }
    if (::fchmod(file.get(), 0600) != 0 || !writeWholeFile(file.get(), text) ||
        ::fsync(file.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return static_cast<std::uint32_t>(error != 0 ? error : EIO);
    }
    // The rename itself reaches the disk with the directory.
    const UniqueFd directory{
        ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (directory.valid()) {
        ::fsync(directory.get());
    }
    return 0;
}

JournalStoreState readJournalStore(const std::filesystem::path& path, std::string& text) {
    text.clear();
    const UniqueFd file{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (!file.valid()) {
        return errno == ENOENT ? JournalStoreState::absent : JournalStoreState::foreign;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (info.st_uid != 0 && info.st_uid != ::geteuid()) || (info.st_mode & 022) != 0 ||
        info.st_size > kMaxJournalBytes) {
        return JournalStoreState::foreign;
    }
    // A read that fails or overruns leaves a text without its end line: the journal then reads
    // as damaged.
    static_cast<void>(readWholeFile(file.get(), kMaxJournalBytes, text));
    return JournalStoreState::read;
}

void removeJournalStore(const std::filesystem::path& path) noexcept {
    ::unlink(path.c_str());
}

}  // namespace halvern
