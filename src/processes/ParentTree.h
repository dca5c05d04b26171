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
    // Adds the process with its lower-cased name. A parent that was created after the process
    // is a reused id and is stored as 0.
    void AddProcess(std::uint32_t processId, const std::wstring& name, std::uint32_t parentId);
    void RemoveProcess(std::uint32_t processId);
    // 0 when unknown.
    std::uint32_t ParentOf(std::uint32_t processId) const override;
    std::wstring NameOf(std::uint32_t processId) const override;
    std::unordered_set<std::uint32_t> ChildrenOf(std::uint32_t processId) const;
    std::size_t Size() const;

  private:
    std::uint64_t StartTimeOf(std::uint32_t processId);

    mutable std::recursive_mutex mutex_;
    std::unordered_map<std::uint32_t, std::wstring> names_;
    std::unordered_map<std::uint32_t, std::uint32_t> parents_;
    std::unordered_map<std::uint32_t, std::unordered_set<std::uint32_t>> children_;
    std::unordered_map<std::uint32_t, std::uint64_t> startTimes_;
};

}  // namespace cv
