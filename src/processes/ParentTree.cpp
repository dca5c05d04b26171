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

bool ParentTree::IsYoungerThanChild(std::uint32_t parentId, std::uint32_t childId) const {
    const auto parent = startTimes_.find(parentId);
    const auto child = startTimes_.find(childId);
    return parent != startTimes_.end() && child != startTimes_.end() &&
           parent->second > child->second;
}

void ParentTree::NoteDescendantsChanged(std::uint32_t processId) {
    std::vector<std::uint32_t> pending{processId};
    std::unordered_set<std::uint32_t> seen{processId};
    while (!pending.empty()) {
        const std::uint32_t pid = pending.back();
        pending.pop_back();
        const auto children = children_.find(pid);
        if (children == children_.end()) {
            continue;
        }
        for (const std::uint32_t child : children->second) {
            if (pid == processId) {
                changedParents_.push_back(child);
            }
            // Reused ids can make the links loop.
            if (seen.insert(child).second) {
                changedAncestry_.push_back(child);
                pending.push_back(child);
            }
        }
    }
}

void ParentTree::AddProcess(std::uint32_t processId, const std::wstring& name,
                            std::uint32_t parentId, std::uint64_t createTime) {
    std::lock_guard lock(mutex_);
    if (names_.count(processId) != 0) {
        // The id added again stands for the process it holds now.
        RemoveProcess(processId);
    }
    names_[processId] = ToLower(name);
    if (createTime != 0) {
        startTimes_[processId] = createTime;
    }
    const std::uint64_t ownStart = StartTimeOf(processId);
    const std::uint64_t parentStart = names_.count(parentId) != 0 && parentId != processId
                                          ? StartTimeOf(parentId)
                                          : LookUpStartTime(parentId);
    parents_[processId] = parentStart > ownStart ? 0 : parentId;
    if (parentId != 0) {
        namedParents_[processId] = parentId;
        children_[parentId].insert(processId);
    }
    // Processes that named this id before it came see their parent now (also one that could not
    // be opened then); those created before it were children of an earlier holder of the id,
    // and have no parent from now on.
    const auto children = children_.find(processId);
    if (children == children_.end()) {
        return;
    }
    NoteDescendantsChanged(processId);
    for (auto child = children->second.begin(); child != children->second.end();) {
        const auto childStart = startTimes_.find(*child);
        if (*child == processId || childStart == startTimes_.end()) {
            ++child;
        } else if (childStart->second < ownStart) {
            parents_[*child] = 0;
            namedParents_.erase(*child);
            child = children->second.erase(child);
        } else {
            parents_[*child] = processId;
            ++child;
        }
    }
    if (children->second.empty()) {
        children_.erase(children);
    }
}

void ParentTree::RemoveProcess(std::uint32_t processId) {
    std::lock_guard lock(mutex_);
    if (names_.count(processId) == 0) {
        return;
    }
    NoteDescendantsChanged(processId);
    const auto named = namedParents_.find(processId);
    if (named != namedParents_.end()) {
        const auto siblings = children_.find(named->second);
        if (siblings != children_.end()) {
            siblings->second.erase(processId);
            if (siblings->second.empty()) {
                children_.erase(siblings);
            }
        }
        namedParents_.erase(named);
    }
    parents_.erase(processId);
    names_.erase(processId);
    startTimes_.erase(processId);
    // Its children still name the id: they are told when another process takes it.
    const auto children = children_.find(processId);
    if (children != children_.end() && children->second.empty()) {
        children_.erase(children);
    }
}

std::uint32_t ParentTree::ParentOfLocked(std::uint32_t processId) const {
    const auto it = parents_.find(processId);
    if (it == parents_.end() || IsYoungerThanChild(it->second, processId)) {
        return 0;
    }
    return it->second;
}

std::uint32_t ParentTree::ParentOf(std::uint32_t processId) const {
    std::lock_guard lock(mutex_);
    return ParentOfLocked(processId);
}

bool ParentTree::AnyAncestor(std::uint32_t processId, int steps,
                             const std::function<bool(std::wstring_view name)>& found) const {
    std::lock_guard lock(mutex_);
    std::uint32_t pid = ParentOfLocked(processId);
    for (int step = 0; pid != 0 && step < steps; ++step) {
        const auto name = names_.find(pid);
        if (found(name == names_.end() ? std::wstring_view() : std::wstring_view(name->second))) {
            return true;
        }
        pid = ParentOfLocked(pid);
    }
    return false;
}

std::wstring ParentTree::NameOf(std::uint32_t processId) const {
    std::lock_guard lock(mutex_);
    const auto it = names_.find(processId);
    return it == names_.end() ? std::wstring() : it->second;
}

std::unordered_set<std::uint32_t> ParentTree::ChildrenOf(std::uint32_t processId) const {
    std::lock_guard lock(mutex_);
    std::unordered_set<std::uint32_t> children;
    const auto it = children_.find(processId);
    if (it != children_.end()) {
        for (const std::uint32_t child : it->second) {
            if (ParentOf(child) == processId) {
                children.insert(child);
            }
        }
    }
    return children;
}

std::size_t ParentTree::Size() const {
    std::lock_guard lock(mutex_);
    return names_.size();
}

std::vector<std::uint32_t> ParentTree::TakeChangedAncestry() {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> changed;
    changed.swap(changedAncestry_);
    return changed;
}

std::vector<std::uint32_t> ParentTree::TakeChangedParents() {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> changed;
    changed.swap(changedParents_);
    return changed;
}

}  // namespace cv
