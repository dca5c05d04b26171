#pragma once
// Power plans that follow the user: performance mode while a game or a chosen program runs (or
// while the user switched it on), a program's own plan while it runs, the machine kept awake
// while chosen programs run, the idle-time plan while the user is away, the start-with plan,
// and the system timer resolution. Which plan the machine has is decided in one place, the
// stack of holders (PlanStack.h).
#include <cstdint>
#include <optional>
#include <string>

#include "common/FailureEpisodes.h"
#include "config/PowerPlanResolver.h"
#include "control/FeatureContext.h"
#include "platform/Handle.h"
#include "power/PlanStack.h"

namespace cv {

class PerformanceModeState;
class PowerPlanService;

class PowerAutomation {
  public:
    // At start-up, after the recovery values were applied: the plan service, the shared
    // performance-mode events, and the configuration-changed event that tells the user
    // interface (and the loop) that a holder went away.
    void Start(PowerPlanService& plans, PerformanceModeState& performanceMode,
               platform::RawHandle configChangedEvent, platform::RawHandle preventSleepEvent,
               platform::RawHandle preventDisplaySleepEvent);

    // Before the snapshot: the timer resolution step, then the idle-time plan with the latest
    // input tick (0: unknown).
    void RunBeforeSnapshot(const FeatureContext& context, std::uint32_t lastInputTick);
    // After the per-record steps: the idle-time plan, in a cycle in which the processes that
    // keep it off were only now counted (the first cycle, a reload).
    void RunAfterRecords(const FeatureContext& context, std::uint32_t lastInputTick);

    // The per-record steps of a live process, in their order: idle-plan exclusions, the
    // performance-mode trigger, the application plan, prevent-sleep.
    void Apply(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);
    // The process ended: what it held is counted down and given back.
    void End(const FeatureContext& context, ProcessRecord& record);

    // After the records: the manual toggle of the user interface.
    void RunManualToggle(const FeatureContext& context);
    // After sampling: keeps the start-with plan active while nothing else holds a plan.
    void RunStartWithPlan(const FeatureContext& context);

    // At the engine's stop: the idle plan, performance mode and the application plans give
    // back the user's plan, and no recovery value stays.
    void Shutdown(const FeatureContext& context);

    // Performance mode is in force: a trigger runs or the events say so.
    bool PerformanceModeActive() const { return triggers_ > 0 || eventsActive_; }
    // For Levelon: a process that engaged performance mode is left alone.
    static bool EngagedPerformanceMode(const ProcessRecord& record);

    // Whether the process starts performance mode: kept with its rule matches, or judged
    // afresh.
    bool Triggers(const FeatureContext& context, const ProcessRecord& record) const;
    static bool JudgeTrigger(const FeatureContext& context, const ProcessRecord& record);

    // For tests.
    std::uint32_t Triggers() const { return triggers_; }
    std::uint32_t PlanHolders() const {
        return static_cast<std::uint32_t>(planStack_.Count(PlanHolderKind::Application));
    }
    const PlanStack& Plans() const { return planStack_; }
    std::uint32_t PreventSleepCount() const { return preventSleep_; }
    std::uint32_t IdleExclusions() const { return idleExclusions_; }
    bool IdlePlanEngaged() const { return idleEngaged_; }

  private:
    // Performance mode.
    void ApplyPerformanceMode(const FeatureContext& context, ProcessRecord& record,
                              bool judgeAgain);
    // Performance mode holds the machine with its target plan.
    void EngageTargetPlan(const FeatureContext& context);
    std::optional<PlanGuid> ResolveTarget(const FeatureContext& context);
    void EndTrigger(const FeatureContext& context, const ProcessRecord& record, bool processEnded);
    // Performance mode lets go of the machine; the end of performance mode is recorded.
    void LeavePerformanceMode(const FeatureContext& context, const ActionFacts& facts);
    void SetPerformanceEvents(bool on, bool automatic);

    // Application plans and prevent-sleep.
    void ApplyApplicationPlan(const FeatureContext& context, ProcessRecord& record);
    void EndApplicationPlan(const FeatureContext& context, ProcessRecord& record);
    void ApplyPreventSleep(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);
    void CountDownPreventSleep(const FeatureContext& context, const ProcessRecord& record);

    // The idle-time plan and the timer.
    void ApplyIdleExclusion(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);
    void RunTimerResolution(const FeatureContext& context);
    // The processes that keep the idle-time plan off are counted in the per-record step: in the
    // first cycle and after a reload the count is only right once the records were judged.
    static bool IdlePlanWaitsForRecords(const FeatureContext& context);
    void RunIdlePlan(const FeatureContext& context, std::uint32_t lastInputTick);
    // 62 for a switch that was made, else 29.
    void RecordIdleSwitch(const FeatureContext& context, const PlanGuid& plan, bool switched);

    void SignalConfigChanged();

    PowerPlanService* plans_ = nullptr;
    PerformanceModeState* performanceMode_ = nullptr;
    platform::RawHandle configChangedEvent_ = nullptr;
    platform::RawHandle preventSleepEvent_ = nullptr;
    platform::RawHandle preventDisplaySleepEvent_ = nullptr;

    // Who holds the machine's plan.
    PlanStack planStack_;

    // Performance mode.
    std::uint32_t triggers_ = 0;
    bool lastManual_ = false;
    bool eventsActive_ = false;

    // Prevent-sleep.
    std::uint32_t preventSleep_ = 0;

    // The idle-time plan and the timer.
    std::uint32_t idleExclusions_ = 0;
    bool idleEngaged_ = false;
    bool idleFirstCycleDone_ = false;
    std::uint32_t timerApplied_ = 0;  // 100-ns units; 0: none

    // The start-with plan, tried every cycle while another plan is active: the plan whose
    // activation failed, and whether that has been told.
    FailureEpisodes startPlanFailures_;
    PlanGuid startPlanFailed_;
};

}  // namespace cv
