#pragma once

#include <string>

namespace halvern::testing {

// POSIX only. Moves the calling thread (and so the children it starts) into a private mount
// namespace where the system's resolver settings are scratch copies, so that the service's DNS
// step can run for real without touching the host's: /etc is a copy of the host's bound over it
// (cp -a /etc SCRATCH; mount --bind SCRATCH /etc) and /run an empty tmpfs, which hides a running
// systemd-resolved and any resolvconf state. With `copyEtc` false the /etc of the namespace the
// thread was in is kept, and only /run is fresh (for rows of a table inside one sandbox). The
// thread's namespace and working directory come back at the end.
class ResolverSandbox {
  public:
    explicit ResolverSandbox(bool copyEtc = true);
    ~ResolverSandbox();
    ResolverSandbox(const ResolverSandbox&) = delete;
    ResolverSandbox& operator=(const ResolverSandbox&) = delete;

    // Empty when usable, else why the test has to be skipped.
    const std::string& unavailable() const { return unavailable_; }

  private:
    std::string unavailable_;
    std::string scratch_;
    int originalNamespace_ = -1;
    int originalDirectory_ = -1;
};

// `path` (a PATH value) without the directories that hold `program`.
std::string pathWithout(const std::string& path, const std::string& program);

}  // namespace halvern::testing
