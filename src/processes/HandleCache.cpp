#include "processes/HandleCache.h"

#include <vector>

#include "platform/KernelObjects.h"
#include "platform/Processes.h"

namespace cv {

namespace {

std::uint64_t CreationTimeOf(platform::RawHandle process) {
    const auto times = platform::GetTimesOfProcess(process);
    return times ? times->create : 0;
}

}  // namespace

ProcessHandleCache& ProcessHandleCache::Instance() {
    static ProcessHandleCache cache;
    return cache;
}

SharedProcessHandle ProcessHandleCache::Share(std::uint32_t processId, std::uint64_t createTime) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(processId);
    if (it != handles_.end()) {
        Entry& entry = it->second;
        if (entry.handle == nullptr || !*entry.handle) {
            handles_.erase(it);
            return nullptr;
        }
        if (createTime != 0 && entry.createTime == 0) {
            entry.createTime = CreationTimeOf(entry.handle->Get());
        }
        // A handle of an earlier process with this id: that one has ended, and its own record
        // finds out through its wait. This caller gets nothing.
        if (createTime != 0 && entry.createTime != createTime) {
            return nullptr;
        }
        return entry.handle;
    }
    constexpr std::uint32_t kFull =
        platform::kSynchronize | platform::kProcessQueryInformation | platform::kProcessVmRead;
    constexpr std::uint32_t kLimited =
        platform::kSynchronize | platform::kProcessQueryLimitedInformation;
    platform::UniqueHandle handle = platform::OpenProcessHandle(processId, kFull);
    // Query information carries limited query information with it.
    std::uint32_t access = kFull | kLimited;
    if (!handle) {
        handle = platform::OpenProcessHandle(processId, kLimited);
        access = kLimited;
    }
    if (!handle) {
        return nullptr;
    }
    const std::uint64_t opened = CreationTimeOf(handle.Get());
    if (createTime != 0 && opened != createTime) {
        // The id was taken over by a newcomer (or its creation time cannot be read, which
        // leaves it unproven): never act on it in the name of the process that had the id.
        return nullptr;
    }
    auto shared = std::make_shared<const platform::UniqueHandle>(std::move(handle));
    handles_[processId] = Entry{shared, opened, access};
    if (openedSinceSweep_.size() < kMaxOpenedBetweenSweeps) {
        openedSinceSweep_.push_back(processId);
    } else {
        tooManyOpened_ = true;
    }
    return shared;
}

platform::RawHandle ProcessHandleCache::GetHandle(std::uint32_t processId,
                                                  std::uint64_t createTime) {
    const SharedProcessHandle handle = Share(processId, createTime);
    // The cache still holds its own reference, so the plain handle outlives this one.
    return handle == nullptr ? nullptr : handle->Get();
}

platform::RawHandle ProcessHandleCache::GetHandle(std::uint32_t processId) {
    return GetHandle(processId, 0);
}

SharedProcessHandle ProcessHandleCache::Take(std::uint32_t processId, std::uint64_t createTime) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(processId);
    if (it == handles_.end() ||
        (createTime != 0 && it->second.createTime != 0 && it->second.createTime != createTime)) {
        return nullptr;
    }
    SharedProcessHandle handle = std::move(it->second.handle);
    handles_.erase(it);
    return handle;
}

SharedProcessHandle ProcessHandleCache::Peek(std::uint32_t processId, std::uint32_t access) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(processId);
    return it == handles_.end() || (it->second.access & access) != access ? nullptr
                                                                          : it->second.handle;
}

bool ProcessHandleCache::ReleaseHandle(std::uint32_t processId) {
    SharedProcessHandle dropped;
    {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(processId);
        if (it == handles_.end()) {
            return false;
        }
        dropped = std::move(it->second.handle);
        handles_.erase(it);
    }
    // Closed, if nobody else holds it, outside the lock.
    return true;
}

std::size_t ProcessHandleCache::ReleaseAllExcept(const std::unordered_set<std::uint32_t>& keep) {
    return ReleaseAllExceptWhere([&](std::uint32_t pid) { return keep.count(pid) != 0; });
}

void ProcessHandleCache::DropRefused(const std::function<bool(std::uint32_t)>& keep,
                                     std::vector<SharedProcessHandle>& dropped) {
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (!keep(it->first)) {
            dropped.push_back(std::move(it->second.handle));
            it = handles_.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t ProcessHandleCache::ReleaseAllExceptWhere(
    const std::function<bool(std::uint32_t)>& keep) {
    std::vector<SharedProcessHandle> dropped;
    {
        std::lock_guard lock(mutex_);
        DropRefused(keep, dropped);
    }
    // Closed outside the lock.
    return dropped.size();
}

std::size_t ProcessHandleCache::Sweep(const std::vector<std::uint32_t>& removed,
                                      const std::function<bool(std::uint32_t)>& keep) {
    std::vector<SharedProcessHandle> dropped;
    {
        std::lock_guard lock(mutex_);
        const auto ask = [&](std::uint32_t processId) {
            const auto it = handles_.find(processId);
            if (it != handles_.end() && !keep(processId)) {
                dropped.push_back(std::move(it->second.handle));
                handles_.erase(it);
            }
        };
        if (tooManyOpened_) {
            DropRefused(keep, dropped);
        } else {
            for (const std::uint32_t processId : openedSinceSweep_) {
                ask(processId);
            }
            for (const std::uint32_t processId : removed) {
                ask(processId);
            }
        }
        openedSinceSweep_.clear();
        tooManyOpened_ = false;
    }
    // Closed outside the lock.
    return dropped.size();
}

std::size_t ProcessHandleCache::Size() {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

bool ProcessHandleCache::Holds(std::uint32_t processId) {
    std::lock_guard lock(mutex_);
    return handles_.count(processId) != 0;
}

void ProcessHandleCache::Clear() {
    std::unordered_map<std::uint32_t, Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(handles_);
        openedSinceSweep_.clear();
        tooManyOpened_ = false;
    }
}

}  // namespace cv
