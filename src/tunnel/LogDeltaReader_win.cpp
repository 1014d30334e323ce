#include <windows.h>

#include "common/WinHandle.h"
#include "processes/ProcessLauncher.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {

LogDelta readLogFile(const std::string& fileName, std::int64_t offset, std::int64_t maxBytes,
                     const LogChunkSink& sink) {
    const std::filesystem::path path = tempFilePath(fileName);
    // Shared for reading and writing: the child and the service keep their write handles open
    // on the log while a client reads it.
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return LogDelta{{}, offset, 0};
    }
    // A size that cannot be read is treated like a log that cannot be opened.
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        return LogDelta{{}, offset, 0};
    }
    const auto plan = planLogRead(size.QuadPart, offset, maxBytes);
    if (!plan) {
        return LogDelta{{}, offset, size.QuadPart};
    }
    LARGE_INTEGER position{};
    position.QuadPart = plan->position;
    SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN);
    std::string buffer(plan->count, '\0');
    DWORD bytesRead = 0;
    if (!ReadFile(file.get(), buffer.data(), plan->count, &bytesRead, nullptr)) {
        bytesRead = 0;
    }
    buffer.resize(bytesRead);
    if (bytesRead != 0) {
        sink(buffer);
    }
    return LogDelta{{}, offset + static_cast<std::int64_t>(bytesRead), size.QuadPart};
}

}  // namespace halvern
