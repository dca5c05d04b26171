#include "processes/ParentTree.h"

#include "common/WideString.h"
#include "platform/Clock.h"
#include "platform/Processes.h"

namespace cv {

namespace {

// The creation time of whatever process has the id now; the current time when it cannot be
// opened, which makes it younger than any child that names it.
std::uint64_t LookUpStartTime(std::uint32_t processId) {
    const platform::UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessQueryLimitedInformation);
    if (process) {
        if (const auto times = platform::GetTimesOfProcess(process.Get()); times && times->create) {
            return times->create;
        }
    }
    return platform::SystemTimeAsFileTime();
}

}  // namespace

std::uint64_t ParentTree::StartTimeOf(std::uint32_t processId) {
    const auto cached = startTimes_.find(processId);
    if (cached != startTimes_.end()) {
        return cached->second;
    }
    return startTimes_[processId] = LookUpStartTime(processId);
}

void ParentTree::AddProcess(std::uint32_t processId, const std::wstring& name,
                            std::uint32_t parentId, std::uint64_t createTime) {
    std::lock_guard lock(mutex_);
    names_[processId] = ToLower(name);
    if (createTime != 0) {
        startTimes_[processId] = createTime;
    }
    const std::uint64_t ownStart = StartTimeOf(processId);
    const std::uint64_t parentStart =
        names_.count(parentId) != 0 ? StartTimeOf(parentId) : LookUpStartTime(parentId);
    const std::uint32_t parent = parentStart > ownStart ? 0 : parentId;
    parents_[processId] = parent;
    children_[processId].clear();
    children_[parent].insert(processId);
}

void ParentTree::RemoveProcess(std::uint32_t processId) {
    std::lock_guard lock(mutex_);
    const auto parent = parents_.find(processId);
    if (parent != parents_.end()) {
        const auto siblings = children_.find(parent->second);
        if (siblings != children_.end()) {
            siblings->second.erase(processId);
        }
        parents_.erase(parent);
    }
    names_.erase(processId);
    startTimes_.erase(processId);
    children_.erase(processId);
}

std::uint32_t ParentTree::ParentOf(std::uint32_t processId) const {
    std::lock_guard lock(mutex_);
    const auto it = parents_.find(processId);
    return it == parents_.end() ? 0 : it->second;
}

std::wstring ParentTree::NameOf(std::uint32_t processId) const {
    std::lock_guard lock(mutex_);
    const auto it = names_.find(processId);
    return it == names_.end() ? std::wstring() : it->second;
}

std::unordered_set<std::uint32_t> ParentTree::ChildrenOf(std::uint32_t processId) const {
    std::lock_guard lock(mutex_);
    const auto it = children_.find(processId);
    return it == children_.end() ? std::unordered_set<std::uint32_t>() : it->second;
}

std::size_t ParentTree::Size() const {
    std::lock_guard lock(mutex_);
    return names_.size();
}

}  // namespace cv
