#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/ServiceDirectories.h"
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

std::uint32_t outOfMemoryError() {
    return ENOMEM;
}

std::uint32_t writeJournalStore(const std::filesystem::path& path, const std::string& text) {
    if (!ensureServiceDirectory(runtimeDirectory())) {
        return static_cast<std::uint32_t>(errno != 0 ? errno : EIO);
    }
    return static_cast<std::uint32_t>(
        replaceFileAtomically(path, text, {.mode = 0600, .owner = {}, .syncDirectory = true}));
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
