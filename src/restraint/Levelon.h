#pragma once
// Levelon: while the machine is busy, a process that takes more than its share for long enough
// gets a lower priority (and, as configured, a lower I/O priority, fewer processors and
// efficiency mode) until it calms down, its maximum time is up, or it comes to the foreground.
// Nothing is left restrained when the engine stops.
#include <cstdint>
#include <optional>
#include <random>

#include "control/FeatureContext.h"
#include "control/SessionActivity.h"
#include "platform/Handle.h"
#include "restraint/CoreParking.h"
#include "restraint/LevelonEffects.h"

namespace cv {

// What the loop knows of the machine and the user in this cycle.
struct LevelonCycle {
    double totalCpu = 0;  // the whole machine's CPU use in percent
    std::uint32_t foregroundPid = 0xFFFFFFFF;
    const SessionActivity* sessions = nullptr;
    bool performanceMode = false;
};

// What putting a restraint back did to each value it had changed: none when it had not changed
// it, else whether it was put back.
struct RestoreOutcome {
    std::optional<bool> efficiency;
    std::optional<bool> priorityClass;
    std::optional<bool> boost;
    std::optional<bool> io;
    std::optional<bool> affinity;  // also none when the user had changed the mask since
};

class Levelon {
  public:
    // At start-up: the notification events, and whether Levelon is on. Core parking changes go
    // through the power plan service.
    void Start(const FeatureContext& context, bool isService, PowerPlanService& powerPlans);
    // After every configuration load: the sounds; switching Levelon off restores everything.
    void NoteReload(const FeatureContext& context);
    void BeginCycle() { restraintBegan_ = false; }

    // Whether the process may be restrained at all, judged again when the rules may have
    // changed; a restrained process that is now excluded is restored at once.
    void JudgeEligibility(const FeatureContext& context, ProcessRecord& record, bool judgeAgain,
                          const LevelonCycle& cycle, bool engagedPerformanceMode = false);
    // The restraint and restore decisions for one process, when OocOn.
    void Apply(const FeatureContext& context, ProcessRecord& record, const LevelonCycle& cycle);
    // The process ended while restrained.
    void EndDueToTerminate(const FeatureContext& context, ProcessRecord& record);
    // Every restrained process gets its own settings back; only a value that could not be put
    // back is logged, and nothing is counted.
    void RestoreAll(const FeatureContext& context);
    // At the engine's stop, before the power plans and the processes are restored.
    void RestoreCoreParking(const FeatureContext& context) { parking_.Restore(context, true); }
    // At the end of a cycle in which a restraint began, the user interface is told.
    void NotifyIfBegan();
    void Stop();

  private:
    bool IsForeground(std::uint32_t pid, const LevelonCycle& cycle) const;
    bool ForegroundRules(const FeatureContext& context, const LevelonCycle& cycle) const;
    void EvaluateExclusion(const FeatureContext& context, ProcessRecord& record,
                           const LevelonCycle& cycle);
    void ConsiderRestraint(const FeatureContext& context, ProcessRecord& record,
                           const LevelonCycle& cycle);
    void BeginRestraint(const FeatureContext& context, ProcessRecord& record);
    std::uint64_t RestraintMask(const FeatureContext& context, std::uint64_t current);
    // True when the restraint ended.
    bool DecideRestore(const FeatureContext& context, ProcessRecord& record, bool foreground,
                       bool forced, const LevelonCycle& cycle);
    void Restore(const FeatureContext& context, ProcessRecord& record, bool foreground,
                 bool maximumTime);
    // Puts back what the restraint changed; each value's journal entry goes once it is back.
    RestoreOutcome PutBack(ProcessRecord& record);

    bool wasOn_ = false;
    bool restraintBegan_ = false;
    platform::UniqueHandle restraintEvent_;
    platform::UniqueHandle levelonNotifyEvent_;
    platform::UniqueHandle equiloEvent_;
    LevelonSounds sounds_;
    CoreParking parking_;
    std::minstd_rand random_;
};

}  // namespace cv
