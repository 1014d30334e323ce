#include <windows.h>

#include <algorithm>

#include "common/WinHandle.h"
#include "processes/SessionFiles.h"
#include "processes/SessionFolder_win.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {

LogDelta readLogFile(const std::string& fileName, std::int64_t offset, std::int64_t maxBytes,
                     const LogChunkSink& sink) {
    // Shared with the children's and the service's writers; a link or a folder planted under
    // the log's name is not read.
    const UniqueFileHandle file = openSessionFileForReading(tempFilePath(fileName));
    // A size that cannot be read is treated like a log that cannot be opened.
    LARGE_INTEGER size{};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
        return LogDelta{offset, 0};
    }
    const auto plan = planLogRead(size.QuadPart, offset, maxBytes);
    if (!plan) {
        return LogDelta{offset, size.QuadPart};
    }
    LARGE_INTEGER position{};
    position.QuadPart = plan->position;
    SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN);
    // The answer goes out as one pipe message, so it is bounded; nextOffset says where it ended.
    const auto count = std::min<std::int64_t>(plan->count, kLogAnswerBytes);
    std::string buffer(static_cast<std::size_t>(std::min<std::int64_t>(
                           count, static_cast<std::int64_t>(kLogChunkBytes))),
                       '\0');
    std::int64_t done = 0;
    while (done < count) {
        const auto want = static_cast<DWORD>(
            std::min<std::int64_t>(count - done, static_cast<std::int64_t>(buffer.size())));
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got == 0) {
            break;  // a failed read, or the log shrank meanwhile: what came so far is the piece
        }
        done += got;
        if (!sink(std::string_view(buffer.data(), got))) {
            break;
        }
    }
    return LogDelta{offset + done, size.QuadPart};
}

}  // namespace halvern
