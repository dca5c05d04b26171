// Folder change notifications of the simulated machine: a watch is an event that the simulated
// file system sets when a file in the watched folder is written.
#include "common/WideString.h"
#include "platform/FolderWatch.h"
#include "platform/sim/SimMachine.h"

namespace cv::sim {

void Machine::NotifyFolderChanged(const std::wstring& filePath) {
    std::lock_guard lock(mutex_);
    const auto slash = filePath.find_last_of(L"\\/");
    const std::wstring folder = ToLower(slash == std::wstring::npos ? L"" : filePath.substr(0, slash));
    for (auto& [watchedFolder, watch] : folderWatches) {
        if (auto object = watch.lock(); object != nullptr && watchedFolder == folder) {
            object->signalled = true;
        }
    }
    changed_.notify_all();
}

}  // namespace cv::sim

namespace cv::platform {

using sim::Machine;

void CloseFolderWatchHandle(RawHandle handle) { CloseRawHandle(handle); }

FolderWatch WatchFolderForWrites(const std::wstring& folder) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    std::wstring lower = ToLower(folder);
    while (!lower.empty() && (lower.back() == L'\\' || lower.back() == L'/')) {
        lower.pop_back();
    }
    if (machine.ShouldFail("FindFirstChangeNotification", folder)) {
        return {};
    }
    auto object = std::make_shared<sim::SimObject>();
    object->manualReset = true;
    machine.folderWatches.emplace_back(lower, object);
    return FolderWatch(machine.AddHandle(object));
}

bool ContinueFolderWatch(const FolderWatch& watch) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    auto object = machine.FindObject(watch.Get());
    if (object == nullptr) {
        return false;
    }
    object->signalled = false;
    return true;
}

}  // namespace cv::platform
