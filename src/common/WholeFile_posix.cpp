#include "common/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "common/UniqueFd.h"

namespace halvern {

int replaceFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                          const AtomicFileOptions& options) noexcept {
    try {
        const std::filesystem::path temporary =
            path.parent_path() / ("." + path.filename().string() + ".halvern-new");
        ::unlink(temporary.c_str());  // what a write that died half-way left
        // O_EXCL and O_NOFOLLOW: nothing planted under the temporary name can take the write.
        UniqueFd file{
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        if (!file.valid()) {
            const int error = errno;
            return error;
        }
        if (options.owner) {  // best effort: without CAP_CHOWN the file stays the service's
            const int ownerResult = ::fchown(file.get(), options.owner->uid, options.owner->gid);
            static_cast<void>(ownerResult);  // a plain cast does not quiet warn_unused_result
        }
        errno = 0;  // a step that fails without saying why reports EIO
        // After the owner, whose change clears the set-id bits; whatever the umask.
        if (::fchmod(file.get(), options.mode) != 0 || !writeWholeFile(file.get(), bytes) ||
            ::fsync(file.get()) != 0 || ::close(file.release()) != 0 ||
            ::rename(temporary.c_str(), path.c_str()) != 0) {
            const int error = errno != 0 ? errno : EIO;
            ::unlink(temporary.c_str());
            return error;
        }
        if (options.syncDirectory) {  // the rename itself reaches the disk with the directory
            const UniqueFd directory{
                ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
            if (directory.valid()) {
                ::fsync(directory.get());
            }
        }
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

}  // namespace halvern
