#pragma once
// Change notification on a folder (FindFirstChangeNotificationW), for noticing that another
// program rewrote, deleted or replaced the configuration file.
#include <string>
#include <utility>

#include "platform/Handle.h"

namespace cv::platform {

void CloseFolderWatchHandle(RawHandle handle);

// Owns a change-notification handle, which is closed with FindCloseChangeNotification rather than
// CloseHandle.
class FolderWatch {
public:
    FolderWatch() = default;
    explicit FolderWatch(RawHandle handle) : handle_(handle) {}
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;
    FolderWatch(FolderWatch&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    FolderWatch& operator=(FolderWatch&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~FolderWatch() { Reset(); }

    bool IsValid() const { return IsValidRawHandle(handle_); }
    explicit operator bool() const { return IsValid(); }
    // Waitable: signalled when a change was seen.
    RawHandle Get() const { return handle_; }
    void Reset() {
        if (IsValidRawHandle(handle_)) {
            CloseFolderWatchHandle(handle_);
        }
        handle_ = nullptr;
    }

private:
    RawHandle handle_ = nullptr;
};

// Watches the folder itself (not its subfolders) for last-write changes; invalid on failure.
FolderWatch WatchFolderForWrites(const std::wstring& folder);
// Also file-name changes: a file created, deleted or renamed in the folder (a deleted or
// replaced configuration writes nothing that the first kind would see).
FolderWatch WatchFolderForFileChanges(const std::wstring& folder);
// FindNextChangeNotification: re-arms the watch after a change was seen.
bool ContinueFolderWatch(const FolderWatch& watch);

}  // namespace cv::platform
