#pragma once
// Which process started which, for rules that match the children of a program.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/ProcessMatch.h"

namespace cv {

class ParentTree : public ParentLookup {
  public:
    // Adds the process with its lower-cased name and its creation time (0: looked up). A parent
    // that was created after the process is a reused id and is stored as 0.
    void AddProcess(std::uint32_t processId, const std::wstring& name, std::uint32_t parentId,
                    std::uint64_t createTime = 0);
    void RemoveProcess(std::uint32_t processId);
    // 0 when unknown, and when the id is now held by a process younger than the child.
    std::uint32_t ParentOf(std::uint32_t processId) const override;
    std::wstring NameOf(std::uint32_t processId) const override;
    // Under one lock, with no copy of a name.
    bool AnyAncestor(std::uint32_t processId, int steps,
                     const std::function<bool(std::wstring_view name)>& found) const override;
    std::unordered_set<std::uint32_t> ChildrenOf(std::uint32_t processId) const;
    std::size_t Size() const;
    // The processes whose ancestry changed since the last call (an ancestor came, went or had
    // its id taken by another process): what they matched through their parents may differ now.
    std::vector<std::uint32_t> TakeChangedAncestry();
    // Of those, the ones whose parent itself came, went or had its id taken (the others only had
    // an ancestor further up change): what they matched through their parent's id or name may
    // differ too.
    std::vector<std::uint32_t> TakeChangedParents();

  private:
    // The creation time of a process in the tree, read once.
    std::uint64_t StartTimeOf(std::uint32_t processId);
    bool IsYoungerThanChild(std::uint32_t parentId, std::uint32_t childId) const;
    // ParentOf for a caller that holds the lock.
    std::uint32_t ParentOfLocked(std::uint32_t processId) const;
    // Notes the process's children and all their descendants as changed.
    void NoteDescendantsChanged(std::uint32_t processId);

    mutable std::recursive_mutex mutex_;
    std::unordered_map<std::uint32_t, std::wstring> names_;
    // The parent each process names, and the one it is given: 0 when the id was found held by
    // a younger process.
    std::unordered_map<std::uint32_t, std::uint32_t> namedParents_;
    std::unordered_map<std::uint32_t, std::uint32_t> parents_;
    // By the id they name; also of ids not (or no longer) in the tree, for as long as a child
    // names them: when the id comes (back), those children learn of it.
    std::unordered_map<std::uint32_t, std::unordered_set<std::uint32_t>> children_;
    // Only of processes in the tree: a parent outside it is looked up each time, since its id
    // may be taken by another process at any moment.
    std::unordered_map<std::uint32_t, std::uint64_t> startTimes_;
    std::vector<std::uint32_t> changedAncestry_;
    std::vector<std::uint32_t> changedParents_;
};

}  // namespace cv
