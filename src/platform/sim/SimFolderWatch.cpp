// Folder change notifications of the simulated machine: a watch is an event that the simulated
// file system sets when a file in the watched folder is written, or created, deleted or renamed.
#include "common/WideString.h"
#include "platform/FolderWatch.h"
#include "platform/sim/SimMachine.h"

namespace cv::sim {

void Machine::NotifyFolderChanged(const std::wstring& filePath, unsigned changes) {
    std::lock_guard lock(mutex_);
    const auto slash = filePath.find_last_of(L"\\/");
    const std::wstring folder =
        ToLower(slash == std::wstring::npos ? L"" : filePath.substr(0, slash));
    for (auto& watch : folderWatches) {
        if (auto object = watch.object.lock();
            object != nullptr && watch.folder == folder && (watch.changes & changes) != 0) {
            object->signalled = true;
        }
    }
    changed_.notify_all();
}

}  // namespace cv::sim

namespace cv::platform {

using sim::Machine;

void CloseFolderWatchHandle(RawHandle handle) { CloseRawHandle(handle); }

namespace {

FolderWatch Watch(const std::wstring& folder, unsigned changes) {
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
    machine.folderWatches.push_back({lower, changes, object});
    machine.NotifyChange();  // tests wait for the watch to be armed
    return FolderWatch(machine.AddHandle(object));
}

}  // namespace

FolderWatch WatchFolderForWrites(const std::wstring& folder) {
    return Watch(folder, Machine::kWriteChange);
}

FolderWatch WatchFolderForFileChanges(const std::wstring& folder) {
    return Watch(folder, Machine::kWriteChange | Machine::kNameChange);
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
