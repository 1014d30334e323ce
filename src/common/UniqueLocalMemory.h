#pragma once

#include <windows.h>

#include <utility>

namespace halvern {

// Sole owner of memory that a Win32 function allocated for its caller with LocalAlloc (a
// converted security descriptor, for one), released exactly once with LocalFree.
class UniqueLocalMemory {
  public:
    UniqueLocalMemory() noexcept = default;
    ~UniqueLocalMemory() { reset(); }

    UniqueLocalMemory(UniqueLocalMemory&& other) noexcept
        : memory_(std::exchange(other.memory_, nullptr)) {}
    UniqueLocalMemory& operator=(UniqueLocalMemory&&) = delete;
    UniqueLocalMemory(const UniqueLocalMemory&) = delete;
    UniqueLocalMemory& operator=(const UniqueLocalMemory&) = delete;

    void* get() const noexcept { return memory_; }

    // Frees what is held and returns the slot for a function's output parameter.
    void** put() noexcept {
        reset();
        return &memory_;
    }

    void reset() noexcept {
        if (void* old = std::exchange(memory_, nullptr)) {
            LocalFree(old);
        }
    }

  private:
    void* memory_ = nullptr;
};

}  // namespace halvern
