#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace halvern::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::random_device seed;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto candidate = base / ("halvern-test-" + std::to_string(seed()));
            if (std::filesystem::create_directory(candidate)) {
                path_ = std::move(candidate);
                return;
            }
        }
        ADD_FAILURE() << "no scratch directory could be made under " << base;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

// The service's runtime directory, pointed at a scratch directory for the life of the object.
// Windows has no such setting: its temporary directory belongs to the test's own Wine prefix.
class ScopedRuntimeDirectory {
  public:
    ScopedRuntimeDirectory() {
#ifndef _WIN32
        ::setenv("RUNTIME_DIRECTORY", scratch_.path().c_str(), 1);
#endif
    }
    ~ScopedRuntimeDirectory() {
#ifndef _WIN32
        ::unsetenv("RUNTIME_DIRECTORY");
#endif
    }
    ScopedRuntimeDirectory(const ScopedRuntimeDirectory&) = delete;
    ScopedRuntimeDirectory& operator=(const ScopedRuntimeDirectory&) = delete;

  private:
    ScratchDirectory scratch_;
};

}  // namespace halvern::testing
