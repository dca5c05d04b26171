#pragma once
// The engine's record of one managed process, owned by the process table while the process
// lives. Feature code keeps its own per-process state here as well.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "engine/ProcessInfo.h"

namespace cv {

struct ProcessRecord {
    std::wstring name;  // display name, lower-cased
    std::wstring path;  // lower-cased; may stay empty
    std::wstring user;
    std::wstring commandLine;
    std::unique_ptr<ProcessInfo> info;
    std::uint32_t pid = 0;
    std::uint64_t createTime = 0;
    std::uint16_t pathRetries = 0;
    bool rulesJudged = false;
    bool terminatedAsDisallowed = false;
    bool disallowErrorLogged = false;
    bool isSessionAgent = false;
    bool ended = false;

    // Per-process defaults: which attributes were evaluated since the last re-apply.
    bool efficiencyModeEvaluated = false;
    bool affinityEvaluated = false;
    bool priorityEvaluated = false;
    bool boostEvaluated = false;
    bool memoryPriorityEvaluated = false;
    bool ioPriorityEvaluated = false;
    bool cpuSetsEvaluated = false;
    bool efficiencyModeLogged = false;

    // New-process rules.
    bool disallowJudged = false;  // the disallowed rule has had its first look
    bool internetExplorerTerminated = false;
    bool internetExplorerErrorLogged = false;
};

// Process id -> record; iteration follows no key order.
class ProcessTable {
public:
    using Map = std::unordered_map<std::uint32_t, std::unique_ptr<ProcessRecord>>;

    ProcessTable() {
        records_.reserve(8);
        records_.max_load_factor(1.0f);
    }
    ProcessRecord* Find(std::uint32_t pid) {
        const auto it = records_.find(pid);
        return it == records_.end() ? nullptr : it->second.get();
    }
    ProcessRecord& Insert(std::unique_ptr<ProcessRecord> record) {
        const std::uint32_t pid = record->pid;
        return *(records_[pid] = std::move(record));
    }
    void Erase(std::uint32_t pid) { records_.erase(pid); }
    std::size_t Count() const { return records_.size(); }
    bool Empty() const { return records_.empty(); }
    void Clear() { records_.clear(); }
    Map::iterator begin() { return records_.begin(); }
    Map::iterator end() { return records_.end(); }
    Map::const_iterator begin() const { return records_.begin(); }
    Map::const_iterator end() const { return records_.end(); }

private:
    Map records_;
};

}  // namespace cv
