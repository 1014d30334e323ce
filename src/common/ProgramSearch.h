#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

// POSIX only: how the service finds a program named without a directory (ip, resolvectl,
// resolvconf, and the children where nothing lies beside the service). One search for every
// caller, so that a program the DNS choice sees is the one the runner starts.
namespace halvern {

// The search path when the environment has none: the one Debian gives root and systemd gives
// services, so that the service finds the same programs however it was started. glibc's own
// default ("/bin:/usr/bin") misses resolvconf (/sbin on Debian), which would quietly pass that
// DNS backend over, and /usr/local/bin, where a core installed by hand lives. It holds no
// relative entry, and only root may write to its directories.
inline constexpr const char* kDefaultProgramPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// The paths to try for `program`, in order: the program itself when it names a directory, else
// each entry of PATH (kDefaultProgramPath when PATH is unset) joined with it, an empty entry
// meaning the working directory, as exec's own search has it. They are held as exec takes them,
// a null-terminated array, so that a forked child can walk them without allocating.
class ProgramCandidates {
  public:
    explicit ProgramCandidates(const std::string& program);
    ProgramCandidates(const ProgramCandidates&) = delete;
    ProgramCandidates& operator=(const ProgramCandidates&) = delete;
    ~ProgramCandidates() = default;

    const char* const* get() const noexcept { return pointers_.data(); }

  private:
    std::vector<std::string> paths_;
    std::vector<const char*> pointers_;
};

// The first candidate that is a regular file we may execute; nothing when there is none.
std::optional<std::string> findProgram(const std::string& program);

// Runs `start(path)` (which returns 0 or an errno) on each of the null-terminated `candidates`
// as execvp searches: a path that lacks the program, or that we may not search, is passed
// over; any other failure ends the search, and EACCES wins over ENOENT. Returns 0 or the errno
// that ends the search. Async-signal-safe where `start` is, so a forked child may use it.
template <typename Start>
int startFirstFound(const char* const* candidates, Start start) noexcept {
    int error = ENOENT;
    bool denied = false;
    for (const char* const* candidate = candidates; *candidate != nullptr; ++candidate) {
        error = start(*candidate);
        if (error == 0) {
            return 0;
        }
        if (error == EACCES) {
            denied = true;
        } else if (error != ENOENT && error != ENOTDIR && error != ELOOP && error != ENAMETOOLONG) {
            break;
        }
    }
    return denied && error != ENOEXEC ? EACCES : error;
}

}  // namespace halvern
