#include "support/TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "common/MonotonicClock.h"
#include "common/ProcessIdentity.h"
#include "journal/JournalStore.h"
#include "processes/SessionFiles.h"

namespace halvern::testing {

// Platform part (TestSupport_posix.cpp / TestSupport_win.cpp).
std::vector<std::uint32_t> childProcessesOfThisProcess();

namespace {
#ifdef _WIN32
// GetTempPathW reads TMP, then TEMP; the C runtime passes its changes on to the process's block.
const char* const kRuntimeDirectoryVariables[] = {"TMP", "TEMP"};
void setEnvironmentValue(const char* name, const char* value) {
    _putenv_s(name, value != nullptr ? value : "");  // "" removes it
}
#else
const char* const kRuntimeDirectoryVariables[] = {"RUNTIME_DIRECTORY"};
void setEnvironmentValue(const char* name, const char* value) {
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}
#endif
}  // namespace

ScopedTempDirectory::ScopedTempDirectory() {
    static std::atomic<unsigned> counter{0};
    const auto stem = "halvern-test-" + std::to_string(ownProcessId()) + "-" +
                      std::to_string(std::random_device{}()) + "-";
    path_ = std::filesystem::temp_directory_path() / (stem + std::to_string(counter++));
    if (!std::filesystem::create_directory(path_)) {
        throw std::runtime_error("cannot create a temporary directory");
    }
}

ScopedTempDirectory::~ScopedTempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedRuntimeDirectory::ScopedRuntimeDirectory() {
    for (const char* name : kRuntimeDirectoryVariables) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name,
                            value != nullptr ? std::optional<std::string>(value) : std::nullopt);
        setEnvironmentValue(name, directory_.path().string().c_str());
    }
    useSessionFolderForTesting(directory_.path());
}

ScopedRuntimeDirectory::~ScopedRuntimeDirectory() {
    useSessionFolderForTesting({});
    for (const auto& [name, value] : saved_) {
        setEnvironmentValue(name.c_str(), value ? value->c_str() : nullptr);
    }
}

bool ScopedJournalPlace::holdsJournal() const {
    std::string text;
    return readJournalStore(path_, text) != JournalStoreState::absent;
}

std::string readFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!(file << content)) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string fillPattern(std::size_t count) {
    std::string text(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        text[i] = static_cast<char>('0' + i % 10);
    }
    return text;
}

ProgramRun runCaptured(const std::vector<std::string>& arguments) {
    const ScopedTempDirectory files;
    ProgramRun run;
    run.exitCode = runProgram(arguments, files.path() / "stdout", files.path() / "stderr");
    run.output = readFileBytes(files.path() / "stdout");
    run.errors = readFileBytes(files.path() / "stderr");
    std::erase(run.output, '\r');
    std::erase(run.errors, '\r');
    return run;
}

std::vector<std::uint32_t> childProcessesLeftBehind(std::size_t expected, int settleMs) {
    std::vector<std::uint32_t> children;
    eventually([&] { return (children = childProcessesOfThisProcess()).size() <= expected; },
               settleMs);
    return children;
}

}  // namespace halvern::testing
