#include "tunnel/RuntimeFileLocator.h"

#include <stdexcept>
#include <system_error>

#include "common/ExecutablePath.h"

namespace halvern {
namespace {

bool entryExists(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!error) {
        return std::filesystem::exists(status);
    }
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
        error == std::errc::filename_too_long || error == std::errc::invalid_argument) {
        return false;
    }
    throw std::runtime_error("Failed to query " + path.string() + ": " + error.message());
}

}  // namespace

std::string locateRuntimeFileIn(const std::filesystem::path& exeDir, const std::string& name) {
    const auto inData = exeDir / "data" / name;
    if (entryExists(inData)) {
        return inData.string();
    }
    const auto beside = exeDir / name;
    if (entryExists(beside)) {
        return beside.string();
    }
    return name;
}

std::string locateRuntimeFile(const std::string& name) {
    return locateRuntimeFileIn(executablePath().parent_path(), name);
}

}  // namespace halvern
