#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace halvern {

// Sole owner of one OS resource of type T, released exactly once with `Close`, by reset() or
// the destructor. Which value means "none" is part of the type: process handles use null,
// file handles INVALID_HANDLE_VALUE, descriptors -1, so two kinds cannot be confused. A pointer
// type may name its "none" as an integer (-1 for INVALID_HANDLE_VALUE), which keeps <windows.h>
// out of the headers that hold such owners. What `Close` returns is ignored: a close that fails
// leaves nothing to retry.
template <typename T, auto Close, auto None>
class UniqueResource {
  public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    static T none() noexcept {
        if constexpr (std::is_pointer_v<T> && std::is_integral_v<decltype(None)>) {
            return reinterpret_cast<T>(static_cast<std::intptr_t>(None));
        } else {
            return static_cast<T>(None);
        }
    }

    T get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != none(); }
    explicit operator bool() const noexcept { return valid(); }

    T release() noexcept { return std::exchange(value_, none()); }

    void reset(T value = none()) noexcept {
        const T old = std::exchange(value_, value);
        if (old != none()) {
            Close(old);
        }
    }

    // Releases what is held and returns the slot for a function's output parameter, so that a
    // call such as OpenProcessToken fills the owner with no raw local in between.
    T* put() noexcept {
        reset();
        return &value_;
    }

  private:
    T value_ = none();
};

}  // namespace halvern
