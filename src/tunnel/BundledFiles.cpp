#include "tunnel/BundledFiles.h"

#include <stdexcept>
#include <utility>

#include "common/ErrorText.h"
#include "common/ExecutablePath.h"

namespace halvern {
namespace {

bool entryExists(const std::filesystem::path& path) {
    const EntryQuery query = queryEntry(path);
    if (query.outcome == EntryQuery::Outcome::failed) {
        throw std::runtime_error("Failed to check " + narrowPath(path).text +
                                 errorCodeSuffix(query.errorCode));
    }
    return query.outcome == EntryQuery::Outcome::present;
}

// A found path is handed on as the narrow text that process creation takes. A path that text
// cannot carry would be started as some other, best-fit name, so it fails the connect instead.
std::string foundPath(const std::filesystem::path& path) {
    NarrowPath narrow = narrowPath(path);
    if (!narrow.exact) {
        throw std::runtime_error("Cannot start " + narrow.text +
                                 ": the path has characters outside the system code page");
    }
    return std::move(narrow.text);
}

}  // namespace

std::string locateBundledFileIn(const std::filesystem::path& exeDir, const std::string& name) {
    for (const std::filesystem::path& candidate : {exeDir / "data" / name, exeDir / name}) {
        if (entryExists(candidate)) {
            if (const std::filesystem::path weak = placeOthersMayChange(candidate); !weak.empty()) {
                throw std::runtime_error("Refusing to start " + narrowPath(candidate).text +
                                         ": users other than SYSTEM and the administrators may "
                                         "change " +
                                         narrowPath(weak).text);
            }
            return foundPath(candidate);
        }
    }
    return name;
}

std::string locateBundledFile(const std::string& name) {
    const std::filesystem::path exe = executablePath();
    // Without our own path the candidates would be relative to whatever the working directory
    // happens to be; the system's own search for the bare name is the safer fallback.
    if (exe.empty()) {
        return name;
    }
    return locateBundledFileIn(exe.parent_path(), name);
}

}  // namespace halvern
