#include <windows.h>

#include <algorithm>

#include "common/DebugOutput.h"
#include "common/ErrorText.h"
#include "processes/SessionFiles.h"
#include "processes/SessionFolder_win.h"

namespace halvern {

std::filesystem::path tempFilePath(std::string_view fileName) {
    return sessionFolder() / fileName;
}

ChildLog createChildLog(std::string_view fileName) {
    const std::filesystem::path path = tempFilePath(fileName);
    DWORD error = ERROR_SUCCESS;
    ChildLog log = createSessionFile(path, GENERIC_WRITE, true, error);
    if (!log.valid()) {
        throw std::runtime_error("Failed to create " + path.string() + errorCodeSuffix(error));
    }
    return log;
}

std::string readLogTail(std::string_view fileName, std::size_t maxBytes) noexcept {
    try {
        const UniqueFileHandle file = openSessionFileForReading(tempFilePath(fileName));
        LARGE_INTEGER size{};
        if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) {
            return {};
        }
        const auto fileSize = static_cast<std::uint64_t>(size.QuadPart);
        std::uint64_t count = fileSize < maxBytes ? fileSize : maxBytes;
        if (count > MAXDWORD) {
            count = MAXDWORD;
        }
        if (count != 0 && fileSize > count) {
            LARGE_INTEGER offset{};
            offset.QuadPart = static_cast<LONGLONG>(fileSize - count);
            SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
        }
        std::string tail(static_cast<std::size_t>(count), '\0');
        DWORD read = 0;
        if (count != 0 &&
            !ReadFile(file.get(), tail.data(), static_cast<DWORD>(count), &read, nullptr)) {
            read = 0;
        }
        tail.resize(read);
        return tail;
    } catch (...) {
        return {};
    }
}

ChildLog writeConfigFile(const std::string& path, const std::string& text, std::uint32_t& error) {
    DWORD failure = ERROR_SUCCESS;
    ChildLog file = createSessionFile(path, GENERIC_WRITE, false, failure);
    if (!file.valid()) {
        error = failure;
        return file;
    }
    // Text mode, as the configuration has always been stored: every line feed becomes carriage
    // return + line feed. As with a stream, a failed write goes unnoticed; the proxy core reports
    // the damaged configuration itself.
    std::string stored;
    stored.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n') {
            stored += '\r';
        }
        stored += c;
    }
    for (std::size_t done = 0; done < stored.size();) {
        DWORD written = 0;
        const auto piece =
            static_cast<DWORD>(std::min<std::size_t>(stored.size() - done, MAXDWORD));
        if (!WriteFile(file.get(), stored.data() + done, piece, &written, nullptr) ||
            written == 0) {
            break;
        }
        done += written;
    }
    return file;
}

// By the handle it was written through: whatever now stands at the path is not touched.
bool deleteConfigFile(ChildLog& file, const std::string& path) noexcept {
    if (!file.valid()) {
        const BOOL deleted = DeleteFileA(path.c_str());
        return deleted || GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    const DWORD error = deleteOpenFile(file);
    file.reset();
    if (error != ERROR_SUCCESS) {
        writeDebugOutput("HalvernService files: cannot delete " + path + errorCodeSuffix(error) +
                         "; the next start deletes it\n");
    }
    return error == ERROR_SUCCESS;
}

void deleteFileQuietly(const std::string& path) noexcept {
    DeleteFileA(path.c_str());
}

}  // namespace halvern
