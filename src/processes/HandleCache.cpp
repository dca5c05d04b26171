#include "processes/HandleCache.h"

#include <vector>

#include "platform/KernelObjects.h"
#include "platform/Processes.h"

namespace cv {

ProcessHandleCache& ProcessHandleCache::Instance() {
    static ProcessHandleCache cache;
    return cache;
}

platform::RawHandle ProcessHandleCache::GetHandle(std::uint32_t processId) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(processId);
    if (it != handles_.end()) {
        if (it->second) {
            return it->second.Get();
        }
        handles_.erase(it);
        return nullptr;
    }
    platform::UniqueHandle handle = platform::OpenProcessHandle(
        processId,
        platform::kSynchronize | platform::kProcessQueryInformation | platform::kProcessVmRead);
    if (!handle) {
        handle = platform::OpenProcessHandle(
            processId, platform::kSynchronize | platform::kProcessQueryLimitedInformation);
    }
    if (!handle) {
        return nullptr;
    }
    const platform::RawHandle raw = handle.Get();
    handles_.emplace(processId, std::move(handle));
    return raw;
}

bool ProcessHandleCache::ReleaseHandle(std::uint32_t processId) {
    platform::UniqueHandle closing;
    {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(processId);
        if (it == handles_.end()) {
            return false;
        }
        closing = std::move(it->second);
        handles_.erase(it);
    }
    return true;
}

std::size_t ProcessHandleCache::ReleaseAllExcept(const std::unordered_set<std::uint32_t>& keep) {
    std::vector<platform::UniqueHandle> closing;
    {
        std::lock_guard lock(mutex_);
        for (auto it = handles_.begin(); it != handles_.end();) {
            if (keep.count(it->first) == 0) {
                closing.push_back(std::move(it->second));
                it = handles_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Closed outside the lock.
    return closing.size();
}

std::size_t ProcessHandleCache::Size() {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

void ProcessHandleCache::Clear() {
    std::unordered_map<std::uint32_t, platform::UniqueHandle> closing;
    {
        std::lock_guard lock(mutex_);
        closing.swap(handles_);
    }
}

}  // namespace cv
