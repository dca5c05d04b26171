#pragma once
// Which process started which, for rules that match the children of a program.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "config/ProcessMatch.h"

namespace cv {

class ParentTree : public ParentLookup {
  public:
    // Adds the process with its lower-cased name and its creation time (0: looked up). A parent
    // that was created after the process is a reused id and is stored as 0.
    void AddProcess(std::uint32_t processId, const std::wstring& name, std::uint32_t parentId,
                    std::uint64_t createTime = 0);
    void RemoveProcess(std::uint32_t processId);
    // 0 when unknown.
    std::uint32_t ParentOf(std::uint32_t processId) const override;
    std::wstring NameOf(std::uint32_t processId) const override;
    std::unordered_set<std::uint32_t> ChildrenOf(std::uint32_t processId) const;
    std::size_t Size() const;

  private:
    // The creation time of a process in the tree, read once.
    std::uint64_t StartTimeOf(std::uint32_t processId);

    mutable std::recursive_mutex mutex_;
    std::unordered_map<std::uint32_t, std::wstring> names_;
    std::unordered_map<std::uint32_t, std::uint32_t> parents_;
    std::unordered_map<std::uint32_t, std::unordered_set<std::uint32_t>> children_;
    // Only of processes in the tree: a parent outside it is looked up each time, since its id
    // may be taken by another process at any moment.
    std::unordered_map<std::uint32_t, std::uint64_t> startTimes_;
};

}  // namespace cv
