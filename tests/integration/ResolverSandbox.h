#pragma once

#include <string>

namespace halvern::testing {

// POSIX: this thread and its children in a private mount namespace with an empty /run and, with
// `copyEtc`, a scratch /etc; namespace, directory and PATH come back after.
class ResolverSandbox {
  public:
    explicit ResolverSandbox(bool copyEtc = true);
    ~ResolverSandbox();
    ResolverSandbox(const ResolverSandbox&) = delete;
    ResolverSandbox& operator=(const ResolverSandbox&) = delete;

    // Empty when usable, else why the test has to be skipped.
    const std::string& unavailable() const { return unavailable_; }
    const std::string& savedPath() const { return savedPath_; }

  private:
    std::string unavailable_;
    std::string savedPath_;
    int originalNamespace_ = -1;
    int originalDirectory_ = -1;
};

// `path` (a PATH value) without the directories that hold `program`.
std::string pathWithout(const std::string& path, const std::string& program);

}  // namespace halvern::testing
