#pragma once

#include <string>

namespace halvern::testing {

// POSIX only. Moves the calling thread (and the children it starts) into a private mount
// namespace where /run is an empty tmpfs (hiding a running systemd-resolved and any resolvconf
// state) and, with `copyEtc`, /etc a scratch copy of the host's; the resolver settings can then
// be changed for real. The thread's namespace and working directory come back at the end.
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
    int originalNamespace_ = -1;
    int originalDirectory_ = -1;
};

// `path` (a PATH value) without the directories that hold `program`.
std::string pathWithout(const std::string& path, const std::string& program);

}  // namespace halvern::testing
