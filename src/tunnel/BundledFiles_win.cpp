#include <windows.h>

#include <utility>

#include "common/ObjectSecurity_win.h"
#include "common/WinFileErrors.h"
#include "common/WinHandle.h"
#include "tunnel/BundledFiles.h"

namespace halvern {
namespace {

EntryQuery failedQuery(DWORD code) {
    return {isNotThereError(code) ? EntryQuery::Outcome::absent : EntryQuery::Outcome::failed,
            code};
}

}  // namespace

const char* driverLibraryFileName() {
    return "wintun.dll";
}

EntryQuery queryEntry(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return failedQuery(error);
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return {EntryQuery::Outcome::present, 0};
    }
    // A link counts by what it points at: open the target for its attributes only. Backup
    // semantics let the open succeed on a directory as well.
    const UniqueFileHandle target(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target.valid()) {
        const DWORD error = GetLastError();
        return failedQuery(error);
    }
    return {EntryQuery::Outcome::present, 0};
}

std::filesystem::path placeOthersMayChange(const std::filesystem::path& path) {
    return firstPlaceOthersMayChange(std::filesystem::absolute(path));
}

NarrowPath narrowPath(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) {
        return {};
    }
    const int wideLength = static_cast<int>(wide.size());
    // With UTF-8 as the system code page every path converts; the no-best-fit check is refused
    // there, so it is asked for only with the legacy code pages, where it matters.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
    const int length = WideCharToMultiByte(CP_ACP, flags, wide.data(), wideLength, nullptr, 0,
                                           nullptr, usedDefaultOut);
    if (length <= 0) {
        return {"?", false};
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, flags, wide.data(), wideLength, text.data(), length, nullptr,
                        usedDefaultOut);
    return {std::move(text), usedDefault == FALSE};
}

}  // namespace halvern
