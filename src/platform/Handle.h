#pragma once
// An owned kernel object handle. The real backend stores a Windows HANDLE, the simulated machine
// an id of its own; both treat null and all bits set as "no handle".
#include <cstdint>
#include <utility>

namespace cv::platform {

using RawHandle = void*;

// Closes a handle of the active backend. Only UniqueHandle calls it.
void CloseRawHandle(RawHandle handle);

inline bool IsValidRawHandle(RawHandle handle) {
    return handle != nullptr && handle != reinterpret_cast<RawHandle>(~std::uintptr_t{0});
}

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(RawHandle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    bool IsValid() const { return IsValidRawHandle(handle_); }
    explicit operator bool() const { return IsValid(); }
    RawHandle Get() const { return handle_; }
    [[nodiscard]] RawHandle Release() { return std::exchange(handle_, nullptr); }
    void Reset(RawHandle handle = nullptr) {
        if (IsValidRawHandle(handle_)) {
            CloseRawHandle(handle_);
        }
        handle_ = handle;
    }

private:
    RawHandle handle_ = nullptr;
};

}  // namespace cv::platform
