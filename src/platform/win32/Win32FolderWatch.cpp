#include "platform/FolderWatch.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

void CloseFolderWatchHandle(RawHandle handle) { FindCloseChangeNotification(handle); }

FolderWatch WatchFolderForWrites(const std::wstring& folder) {
    return FolderWatch(
        FindFirstChangeNotificationW(folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE));
}

FolderWatch WatchFolderForFileChanges(const std::wstring& folder) {
    return FolderWatch(FindFirstChangeNotificationW(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME));
}

bool ContinueFolderWatch(const FolderWatch& watch) {
    return watch && FindNextChangeNotification(watch.Get()) != 0;
}

}  // namespace cv::platform
