#pragma once
// What the control loop hands every feature: the settings, the action log, the process table
// with its parent tree, who the engine is, and what happened so far in this cycle.
#include <cstdint>
#include <memory>
#include <string>

#include "actionlog/ActionRecord.h"
#include "config/ProcessMatch.h"
#include "processes/ProcessRecord.h"

namespace cv {

class ActionLog;
class ConfigSettings;
class ParentTree;

// The engine's own process, for the records it makes about itself.
struct EngineIdentity {
    std::uint32_t processId = 0;
    std::wstring imagePath;
    std::wstring commandLine;
    std::wstring user;  // the account the engine runs as
    bool underServiceAccount = false;
};

// The loop's facts about the cycle in progress.
struct CycleState {
    std::uint32_t counter = 0;        // cycles completed before this one
    std::uint32_t intervalMs = 1000;  // the refresh interval the loop waits between cycles
    bool first = true;
    bool reloaded = false;    // the configuration was loaded again in this cycle
    bool newProcess = false;  // a process record was created in this cycle
};

class FeatureContext {
  public:
    FeatureContext(ConfigSettings& settings, ActionLog& log, ProcessTable& table, ParentTree& tree,
                   const EngineIdentity& engine, const CycleState& cycle)
        : settings_(settings),
          log_(log),
          table_(table),
          tree_(tree),
          engine_(engine),
          cycle_(cycle),
          rules_(settings.Rules()) {}

    ConfigSettings& Settings() const { return settings_; }
    // The rule set of the cycle: taken when the cycle begins and after each load, and read
    // without a lock. For the control thread only; other threads take the settings' own.
    const RuleSet& Rules() const { return *rules_; }
    void TakeRules() {
        settings_.PublishIfRequested();
        rules_ = settings_.Rules();
    }
    ActionLog& Log() const { return log_; }
    ProcessTable& Table() const { return table_; }
    ParentTree& Tree() const { return tree_; }
    const EngineIdentity& Engine() const { return engine_; }
    const CycleState& Cycle() const { return cycle_; }

    // Rules are judged again for every process when the configuration was reloaded, a process
    // record was created in this cycle, or ForcedMode is on.
    bool JudgeAgain() const;
    // A feature's own log switch, unless logging is off altogether.
    bool LogOn(bool featureSwitch) const;
    // LogDisable alone.
    bool LoggingEnabled() const;
    void Record(std::uint32_t actionId, const ActionFacts& facts) const;
    ActionFacts RecordFacts(const ProcessRecord& record, const std::wstring& info) const;
    ActionFacts EngineFacts(const std::wstring& info, bool withPathAndCommandLine) const;
    MatchFacts Facts(const ProcessRecord& record) const;

  private:
    ConfigSettings& settings_;
    ActionLog& log_;
    ProcessTable& table_;
    ParentTree& tree_;
    const EngineIdentity& engine_;
    const CycleState& cycle_;
    std::shared_ptr<const RuleSet> rules_;
};

}  // namespace cv
