#include "common/ProgramSearch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace halvern {

ProgramCandidates::ProgramCandidates(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        paths_.push_back(program);
    } else {
        const char* variable = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
        const std::string path = variable != nullptr ? variable : kDefaultProgramPath;
        for (std::size_t at = 0;;) {
            const std::size_t colon = path.find(':', at);
            const std::string directory = path.substr(at, colon - at);
            paths_.push_back((directory.empty() ? "." : directory) + "/" + program);
            if (colon == std::string::npos) {
                break;
            }
            at = colon + 1;
        }
    }
    pointers_.reserve(paths_.size() + 1);
    for (const std::string& candidate : paths_) {
        pointers_.push_back(candidate.c_str());
    }
    pointers_.push_back(nullptr);
}

std::optional<std::string> findProgram(const std::string& program) {
    const ProgramCandidates candidates(program);
    for (const char* const* candidate = candidates.get(); *candidate != nullptr; ++candidate) {
        struct stat info {};
        if (::stat(*candidate, &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(*candidate, X_OK) == 0) {
            return std::string(*candidate);
        }
    }
    return std::nullopt;
}

}  // namespace halvern
