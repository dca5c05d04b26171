// The idle-time plan (a power-saving plan while the user is away) and the system timer
// resolution the user asked for.
#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/Ticks.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "platform/Clock.h"
#include "platform/Power.h"
#include "platform/ProcessControl.h"
#include "platform/Registry.h"
#include "power/PowerAutomation.h"
#include "powerplans/PowerPlanService.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr std::uint32_t kIdlePlanText = 793;
constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr wchar_t kLastTimerValue[] = L"LastSetTimerResolution";
constexpr wchar_t kCompanionKey[] = L"Software\\Hobrell";
constexpr wchar_t kDynamicPowerValue[] = L"DynPwr";
constexpr wchar_t kKernelKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\kernel";
constexpr wchar_t kGlobalTimerRequestsValue[] = L"GlobalTimerResolutionRequests";

std::wstring Milliseconds(std::uint32_t hundredNanoseconds) {
    return FormatText(L"%.3f ms", static_cast<double>(hundredNanoseconds) / 10000.0);
}

// Gives back the resolution an earlier request of this engine left recorded.
void ReleaseRecordedTimer() {
    const auto recorded =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, kLastTimerValue);
    if (recorded && platform::SetTimerResolution(*recorded, false)) {
        platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kCorvaneKey, kLastTimerValue);
    }
}

}  // namespace

void PowerAutomation::RunBeforeSnapshot(const FeatureContext& context,
                                        std::uint32_t lastInputTick) {
    RunTimerResolution(context);
    if (!IdlePlanWaitsForRecords(context)) {
        RunIdlePlan(context, lastInputTick);
    }
}

void PowerAutomation::RunAfterRecords(const FeatureContext& context, std::uint32_t lastInputTick) {
    if (IdlePlanWaitsForRecords(context)) {
        RunIdlePlan(context, lastInputTick);
    }
}

bool PowerAutomation::IdlePlanWaitsForRecords(const FeatureContext& context) {
    return context.Cycle().first || context.Cycle().reloaded;
}

void PowerAutomation::RunTimerResolution(const FeatureContext& context) {
    const std::uint32_t wanted = context.Settings().Performance.SetTimerResolutionAtStartup;
    if (wanted == timerApplied_) {
        return;
    }
    timerApplied_ = wanted;
    // These records are made whatever LogDisable says.
    if (wanted != 0) {
        if (platform::ReadRegistryDword(RegistryRoot::LocalMachine, kKernelKey,
                                        kGlobalTimerRequestsValue)
                .value_or(0) != 0) {
            platform::HonourOwnTimerResolution();
        }
        ReleaseRecordedTimer();
        const std::uint32_t granted = platform::SetTimerResolution(wanted, true).value_or(0);
        platform::WriteRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, kLastTimerValue,
                                     wanted);
        context.Record(
            granted == 0 ? CV_ACTION_SYSTIMER_RESOLUTION_ERROR : CV_ACTION_SYSTIMER_RESOLUTION,
            context.EngineFacts(Milliseconds(wanted), false));
        return;
    }
    ReleaseRecordedTimer();
    const auto resolutions = platform::QueryTimerResolution();
    context.Record(
        CV_ACTION_SYSTIMER_RESOLUTION,
        context.EngineFacts(Milliseconds(resolutions ? resolutions->current : 0), false));
}

void PowerAutomation::ApplyIdleExclusion(const FeatureContext& context, ProcessRecord& record,
                                         bool judgeAgain) {
    PowerState& state = record.power;
    if (!judgeAgain && state.idleExclusionJudged) {
        return;
    }
    state.idleExclusionJudged = true;
    const bool excluded = MatchesPowerSaverExclusions(context.Rules(), context.Facts(record));
    if (excluded && !state.idleExclusion) {
        ++idleExclusions_;
    } else if (!excluded && state.idleExclusion && idleExclusions_ > 0) {
        --idleExclusions_;
    }
    state.idleExclusion = excluded;
}

void PowerAutomation::RecordIdleSwitch(const FeatureContext& context, const PlanGuid& plan,
                                       bool switched) {
    if (!context.LoggingEnabled() || !context.Settings().PowerSaver.EnergySaverEvents) {
        return;
    }
    // A switch that failed is not recorded as made.
    context.Record(switched ? CV_ACTION_TOOK_ENERGY_SAVER_NON_IDLE
                            : CV_ACTION_TOOK_APPLICATION_POWER_SCHEME_CHANGE_ERROR,
                   context.EngineFacts(FormatText(EngineText(kIdlePlanText),
                                                  plans_->FriendlyName(plan).value_or(L"Unknown")),
                                       false));
}

void PowerAutomation::RunIdlePlan(const FeatureContext& context, std::uint32_t lastInputTick) {
    const PowerSaverSection& saver = context.Settings().PowerSaver;
    if (!saver.EnergySaverEnabled) {
        idleFirstCycleDone_ = false;
        return;
    }
    if (!idleFirstCycleDone_) {
        idleFirstCycleDone_ = true;
        // The companion product's dynamic power switching would fight the idle plan.
        if (platform::ReadRegistryDword(RegistryRoot::CurrentUser, kCompanionKey,
                                        kDynamicPowerValue) == 1u) {
            platform::WriteRegistryDword(RegistryRoot::CurrentUser, kCompanionKey,
                                         kDynamicPowerValue, 0);
        }
        // Only while nothing holds the machine: the plan the user works with is then this one.
        if (saver.EnergySaverForceActivePowerProfile && plans_->IsAvailable() &&
            planStack_.Empty()) {
            if (const auto plan = plans_->FindPlanByName(saver.EnergySaverUpPowerProfileName)) {
                if (plans_->SetActivePlan(*plan) && context.LoggingEnabled()) {
                    context.Record(CV_ACTION_TOOK_ENERGY_SAVER_NON_IDLE,
                                   context.EngineFacts(
                                       FormatText(EngineText(kIdlePlanText),
                                                  plans_->ActivePlanName().value_or(L"Unknown")),
                                       false));
                }
            }
        }
    }
    const PlanGuid target = saver.PowerSaver_TargetGUID.guid;
    if (!plans_->IsAvailable() || saver.PowerSaver_IdleTime <= 0 || target.IsZero() ||
        lastInputTick == 0) {
        return;
    }
    // Input ticks wrap with the tick clock: only their distance from now counts. An input tick
    // at or after now (an agent's report from a moment later) waits for the next cycle.
    const std::uint32_t idleMs = TicksSince(lastInputTick, Tick32(platform::TickCount64()));
    if (idleMs == 0 || idleMs > 0x7FFFFFFFu) {
        return;
    }
    const std::uint64_t limitMs = static_cast<std::uint64_t>(saver.PowerSaver_IdleTime) * 1000;
    if (idleEngaged_) {
        if (idleMs <= limitMs) {
            // The user is back: the machine goes to the plan of whoever holds it under the idle
            // plan, or to the user's plan.
            idleEngaged_ = false;
            const PlanOutcome outcome = planStack_.Release(PlanHolderKind::Idle);
            if (outcome.top) {
                RecordIdleSwitch(context, outcome.plan, outcome.ok);
            }
        }
        return;
    }
    const bool blockedByPerformanceMode =
        saver.DisableEnergySaverDuringGamingMode && PerformanceModeActive();
    if (idleMs < limitMs || blockedByPerformanceMode || idleExclusions_ > 0) {
        return;
    }
    // With a plan for the active user, that is the plan to come back to when nothing else holds
    // the machine.
    std::optional<PlanGuid> usersPlan;
    if (saver.EnergySaverForceActivePowerProfile) {
        usersPlan = plans_->FindPlanByName(saver.EnergySaverUpPowerProfileName);
    }
    const PlanOutcome outcome = planStack_.Hold(PlanHolderKind::Idle, target, {}, usersPlan);
    if (outcome.switched) {
        RecordIdleSwitch(context, target, outcome.ok);
    }
    idleEngaged_ = true;
}

}  // namespace cv
