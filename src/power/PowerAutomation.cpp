// The per-record order of power automation, application plans, prevent-sleep, the start-with
// plan and the stop sequence.
#include "power/PowerAutomation.h"

#include <algorithm>
#include <array>
#include <vector>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "platform/KernelObjects.h"
#include "platform/Power.h"
#include "powerplans/PlanGuids.h"
#include "powerplans/PowerPlanService.h"
#include "powerplans/RecoveryValues.h"
#include "runtime/PerformanceModeState.h"

namespace cv {

namespace {

constexpr std::uint32_t kLeftText = 412;
constexpr std::uint32_t kPlanRestoredText = 720;
constexpr std::uint32_t kPlanNotRestoredText = 522;
constexpr std::uint32_t kKeepingAwakeText = 844;
constexpr std::uint32_t kSleepAllowedText = 487;
constexpr std::uint32_t kSleepStillPreventedText = 493;
// Not among the named codes: the previous plan could not be put back.
constexpr std::uint32_t kApplicationPlanRestoreError = 31;

std::array<std::uint8_t, 16> GuidBytes(const PlanGuid& plan) {
    std::array<std::uint8_t, 16> bytes{};
    const std::vector<std::uint8_t> raw = PlanGuidBytes(plan);
    std::copy(raw.begin(), raw.end(), bytes.begin());
    return bytes;
}

PlanGuid GuidOf(const std::array<std::uint8_t, 16>& bytes) {
    return PlanGuidFromBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()))
        .value_or(PlanGuid{});
}

}  // namespace

void PowerAutomation::Start(PowerPlanService& plans, PerformanceModeState& performanceMode,
                            platform::RawHandle configChangedEvent,
                            platform::RawHandle preventSleepEvent,
                            platform::RawHandle preventDisplaySleepEvent) {
    plans_ = &plans;
    planStack_.Attach(plans);
    performanceMode_ = &performanceMode;
    configChangedEvent_ = configChangedEvent;
    preventSleepEvent_ = preventSleepEvent;
    preventDisplaySleepEvent_ = preventDisplaySleepEvent;
    eventsActive_ = performanceMode_->IsActive();
    lastManual_ = performanceMode_->IsManualOn();
}

void PowerAutomation::Apply(const FeatureContext& context, ProcessRecord& record, bool judgeAgain) {
    ApplyIdleExclusion(context, record, judgeAgain);
    ApplyPerformanceMode(context, record, judgeAgain);
    if (judgeAgain && plans_->IsAvailable()) {
        ApplyApplicationPlan(context, record);
    }
    ApplyPreventSleep(context, record, judgeAgain);
}

void PowerAutomation::End(const FeatureContext& context, ProcessRecord& record) {
    PowerState& state = record.power;
    if (state.preventSleepCounted) {
        state.preventSleepCounted = false;
        CountDownPreventSleep(context, record);
    }
    if (state.idleExclusion) {
        state.idleExclusion = false;
        if (idleExclusions_ > 0) {
            --idleExclusions_;
        }
    }
    if (state.performanceTrigger) {
        state.performanceTrigger = false;
        EndTrigger(context, record, true);
    }
    if (state.planHolder) {
        EndApplicationPlan(context, record);
    }
}

void PowerAutomation::ApplyApplicationPlan(const FeatureContext& context, ProcessRecord& record) {
    const std::optional<PlanGuid> plan = FindPowerScheme(context.Rules(), context.Facts(record));
    PowerState& state = record.power;
    if (!plan) {
        // The configuration no longer gives it a plan: it lets go as if it had ended.
        if (state.planHolder) {
            EndApplicationPlan(context, record);
        }
        return;
    }
    if (state.planHolder && GuidOf(state.heldPlan) == *plan) {
        return;
    }
    const PlanOutcome outcome =
        planStack_.Hold(PlanHolderKind::Application, *plan, {record.pid, record.createTime});
    if (!outcome.held) {
        return;  // no plan to come back to: tried again at the next re-apply
    }
    state.planHolder = true;
    state.heldPlan = GuidBytes(*plan);
    const bool logOn = context.LogOn(context.Settings().Logging.LogPowerProfileChanges);
    if (outcome.ok) {
        state.planFailures.End(0);
        if (outcome.switched) {
            plans_->LogPlanChange(context, *plan, context.RecordFacts(record, L""));
        }
    } else if (state.planFailures.Begins(0) && logOn) {
        context.Record(CV_ACTION_TOOK_APPLICATION_POWER_SCHEME_CHANGE_ERROR,
                       context.RecordFacts(record, FormatText(L"Could not activate the plan %s",
                                                              FormatPlanGuid(*plan))));
    }
}

void PowerAutomation::EndApplicationPlan(const FeatureContext& context, ProcessRecord& record) {
    record.power.planHolder = false;
    // Each program holds its own place: the others keep theirs, and the machine goes to the plan
    // of whoever is now on top.
    const PlanOutcome outcome =
        planStack_.Release(PlanHolderKind::Application, {record.pid, record.createTime});
    const bool logOn = context.LogOn(context.Settings().Logging.LogPowerProfileChanges);
    if (outcome.top && logOn) {
        if (outcome.ok) {
            context.Record(
                CV_ACTION_TOOK_APPLICATION_POWER_SCHEME_RESTORE,
                context.RecordFacts(
                    record, FormatText(EngineText(kPlanRestoredText),
                                       plans_->FriendlyName(outcome.plan).value_or(L"Unknown"))));
        } else {
            context.Record(kApplicationPlanRestoreError,
                           context.RecordFacts(record, EngineText(kPlanNotRestoredText)));
        }
    }
    // The user interface hears when the last one is gone; the loop reloads on the same event.
    if (planStack_.Count(PlanHolderKind::Application) == 0) {
        SignalConfigChanged();
    }
}

void PowerAutomation::ApplyPreventSleep(const FeatureContext& context, ProcessRecord& record,
                                        bool judgeAgain) {
    PowerState& state = record.power;
    if (judgeAgain) {
        const MatchFacts facts = context.Facts(record);
        const bool pc = MatchesPreventSystemSleep(context.Rules(), facts);
        const bool display = MatchesPreventDisplaySleep(context.Rules(), facts);
        if (pc || display) {
            if (!state.preventSleepCounted) {
                state.preventSleepCounted = true;
                ++preventSleep_;
                if (context.LoggingEnabled()) {
                    context.Record(CV_ACTION_TOOK_PREVENT_PC_SLEEP_ENTERING,
                                   context.RecordFacts(record, EngineText(kKeepingAwakeText)));
                }
            }
            state.preventPcSleep = pc;
            state.preventDisplaySleep = display;
            platform::SetEventObject(preventSleepEvent_);
            if (display) {
                platform::SetEventObject(preventDisplaySleepEvent_);
            }
        } else if (state.preventSleepCounted) {
            state.preventSleepCounted = false;
            state.preventPcSleep = false;
            state.preventDisplaySleep = false;
            CountDownPreventSleep(context, record);
        }
    }
    if (state.preventSleepCounted && !record.terminatedByEngine) {
        // The system list wins: the display may sleep while the machine stays awake.
        platform::SetOwnExecutionState(state.preventPcSleep
                                           ? platform::kExecutionSystemRequired
                                           : platform::kExecutionSystemRequired |
                                                 platform::kExecutionDisplayRequired);
    }
}

void PowerAutomation::CountDownPreventSleep(const FeatureContext& context,
                                            const ProcessRecord& record) {
    if (preventSleep_ > 0) {
        --preventSleep_;
    }
    if (preventSleep_ == 0) {
        platform::ResetEventObject(preventSleepEvent_);
        platform::ResetEventObject(preventDisplaySleepEvent_);
        if (context.LoggingEnabled()) {
            context.Record(CV_ACTION_TOOK_PREVENT_PC_SLEEP_LEAVING,
                           context.RecordFacts(record, EngineText(kSleepAllowedText)));
        }
    } else if (context.LoggingEnabled()) {
        context.Record(CV_ACTION_TOOK_PREVENT_PC_SLEEP_CONTINUES,
                       context.RecordFacts(record, EngineText(kSleepStillPreventedText)));
    }
}

void PowerAutomation::RunStartWithPlan(const FeatureContext& context) {
    const ConfigSettings& settings = context.Settings();
    const std::wstring& name = settings.PowerManagement.StartWithPowerPlan;
    if (!plans_->IsAvailable()) {
        return;
    }
    if (name.empty()) {
        // Taken out of the configuration: the plan under it comes back.
        planStack_.Release(PlanHolderKind::StartWith);
        return;
    }
    const bool held = planStack_.Holds(PlanHolderKind::StartWith);
    const bool othersHold = planStack_.HeldByOtherThan(PlanHolderKind::StartWith);
    if (othersHold || idleEngaged_ ||
        (settings.GamingMode.GamingChangePowerPlan && PerformanceModeActive())) {
        if (othersHold && !held) {
            // It still holds what the others leave: under them, switching nothing now.
            if (const auto plan = plans_->FindPlanByName(name)) {
                planStack_.Hold(PlanHolderKind::StartWith, *plan);
            }
        }
        return;
    }
    // The active plan's name is read every cycle (kept while the plan stays); the name is
    // resolved only when it differs, which costs a listing of the plans.
    const std::optional<std::wstring> activeName = plans_->ActivePlanName();
    if (!activeName || (held && EqualsIgnoreCase(*activeName, name))) {
        return;
    }
    const std::optional<PlanGuid> plan = plans_->FindPlanByName(name);
    if (!plan) {
        planStack_.Release(PlanHolderKind::StartWith);
        return;
    }
    const PlanOutcome outcome = planStack_.Hold(PlanHolderKind::StartWith, *plan);
    if (!outcome.switched) {
        return;
    }
    const bool ok = outcome.ok;
    // Tried again every cycle: a failure is told when it begins, and again only after the plan
    // was activated or another plan is wanted.
    if (ok || *plan != startPlanFailed_) {
        startPlanFailures_.EndAll();
    }
    startPlanFailed_ = ok ? PlanGuid{} : *plan;
    if ((ok || startPlanFailures_.Begins(0)) && context.LoggingEnabled()) {
        context.Record(
            ok ? CV_ACTION_TOOK_START_WITH_POWER_PLAN : CV_ACTION_TOOK_START_WITH_POWER_PLAN_ERROR,
            context.EngineFacts(name, false));
    }
}

void PowerAutomation::Shutdown(const FeatureContext& context) {
    if (plans_ == nullptr) {
        return;
    }
    idleEngaged_ = false;
    if (triggers_ > 0 || performanceMode_->IsActive()) {
        SetPerformanceEvents(false, true);
        if (context.LoggingEnabled()) {
            context.Record(CV_ACTION_TOOK_LEAVING_GAMING_MODE,
                           context.EngineFacts(EngineText(kLeftText), false));
        }
    }
    // Whoever still holds the machine, the user's plan comes back, and no recovery value stays.
    planStack_.ReleaseAll();
}

}  // namespace cv
