#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "integration/ResolverSandbox.h"

namespace halvern::testing {

ResolverSandbox::ResolverSandbox(bool copyEtc) {
    const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    savedPath_ = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    if (::geteuid() != 0) {
        unavailable_ = "needs root for a mount namespace of its own; CI runs as root";
        return;
    }
    originalNamespace_ = ::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
    originalDirectory_ = ::open(".", O_PATH | O_CLOEXEC);
    const auto freshRun = [] {
        return ::mount("sandbox", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0;
    };
    // The copy of /etc lives on a tmpfs that the empty /run then covers; the bind keeps it.
    const auto copyOfEtc = [&freshRun] {
        // NOLINTNEXTLINE(cert-env33-c,concurrency-mt-unsafe): a test's own fixed command
        return std::system("cp -a /etc /run/etc") == 0 &&
               ::mount("/run/etc", "/etc", nullptr, MS_BIND, nullptr) == 0 && freshRun();
    };
    if (originalNamespace_ < 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !freshRun() ||
        (copyEtc && !copyOfEtc())) {
        unavailable_ = "cannot set up a private mount namespace";
    }
}

ResolverSandbox::~ResolverSandbox() {
    ::setenv("PATH", savedPath_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    if (originalNamespace_ >= 0) {
        ::setns(originalNamespace_, CLONE_NEWNS);
        ::close(originalNamespace_);
    }
    if (originalDirectory_ >= 0) {
        [[maybe_unused]] const int ignored = ::fchdir(originalDirectory_);
        ::close(originalDirectory_);
    }
}

std::string pathWithout(const std::string& path, const std::string& program) {
    std::string result;
    std::istringstream directories(path);
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (::access((std::filesystem::path(directory) / program).c_str(), X_OK) != 0) {
            result += (result.empty() ? "" : ":") + directory;
        }
    }
    return result;
}

}  // namespace halvern::testing
