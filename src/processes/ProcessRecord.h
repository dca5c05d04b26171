#pragma once
// The engine's record of one managed process, owned by the process table while the process
// lives. Each feature keeps its per-process state in one struct of its own here.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "common/FailureEpisodes.h"
#include "config/ProcessMatch.h"
#include "defaults/DefaultsState.h"
#include "groupextender/GroupExtenderState.h"
#include "newprocess/NewProcessState.h"
#include "power/PowerState.h"
#include "processes/ProcessInfo.h"
#include "restraint/RestraintState.h"
#include "throttle/ThrottleState.h"
#include "watchdog/WatchdogState.h"

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
    bool isSessionAgent = false;
    // The snapshot walk that last listed the process.
    std::uint32_t seenWalk = 0;
    // The engine terminated the process (as disallowed, or by the Internet Explorer restriction):
    // it only waits to leave the table, and no later rule touches it.
    bool terminatedByEngine = false;
    bool ended = false;
    // For the guard (control/ProcessGuard.h): the process's critical mark, -1 until it could be
    // read, and the rule families whose refusal to act on it has been recorded: a refusal lasts
    // as long as the process, so its episode never ends.
    std::int8_t criticalMark = -1;
    FailureEpisodes refusals;
    // Which rule of each family the process matched, kept while the rules stay the same.
    mutable MatchMemo matches;

    // Each feature's own state for this process.
    DefaultsState defaults;
    NewProcessState newProcess;
    RestraintState restraint;
    ThrottleState throttle;
    WatchdogState watchdog;
    GroupExtenderState groupExtender;
    PowerState power;
};

// The facts rule matching compares, as views of the record's own texts.
inline MatchFacts FactsOf(const ProcessRecord& record, const ParentLookup* parents) {
    MatchFacts facts;
    facts.pid = record.pid;
    facts.name = record.name;
    facts.path = record.path;
    facts.commandLine = record.commandLine;
    facts.user = record.user;
    facts.parents = parents;
    facts.memo = &record.matches;
    return facts;
}

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
