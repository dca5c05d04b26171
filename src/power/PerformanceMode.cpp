// Performance mode: entered when a game or a chosen program starts or the user switches it on,
// left when the last of them is gone.
#include <algorithm>
#include <array>
#include <string_view>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "platform/KernelObjects.h"
#include "power/PowerAutomation.h"
#include "powerplans/HighPerformancePlan.h"
#include "powerplans/PlanGuids.h"
#include "powerplans/PowerPlanService.h"
#include "processes/ParentTree.h"
#include "runtime/PerformanceModeState.h"

namespace cv {

namespace {

constexpr std::uint32_t kLeftText = 412;
constexpr std::uint32_t kEnteredByProgramText = 414;
constexpr std::uint32_t kContinuesText = 1221;
constexpr std::uint32_t kEnteredByHandText = 1222;

constexpr std::array<std::wstring_view, 3> kLaunchers = {L"steam.exe", L"uplay.exe",
                                                         L"epicgameslauncher.exe"};
// Parts of a launcher that are not games.
constexpr std::array<std::wstring_view, 7> kLauncherComponents = {
    L"webhelper",
    L"errorreporter",
    L"gldriverquery",
    L"steamservice",
    L"epicservice",
    L"\\common\\steamvr\\",
    L"\\common\\mixedrealityvrdriver\\"};
constexpr std::array<std::wstring_view, 3> kBrowsers = {L"firefox.exe", L"chrome.exe",
                                                        L"iexplore.exe"};

template <std::size_t N>
bool ContainsAny(std::wstring_view key, const std::array<std::wstring_view, N>& parts) {
    for (const std::wstring_view part : parts) {
        if (key.find(part) != std::wstring_view::npos) {
            return true;
        }
    }
    return false;
}

bool DescendsFromLauncher(const ProcessRecord& record, const ParentLookup& tree) {
    // A parent chain that loops through reused ids ends after a bounded walk.
    return tree.AnyAncestor(record.pid, 64, [](std::wstring_view name) {
        return std::find(std::begin(kLaunchers), std::end(kLaunchers), name) !=
               std::end(kLaunchers);
    });
}

}  // namespace

bool PowerAutomation::EngagedPerformanceMode(const ProcessRecord& record) {
    return record.power.performanceTrigger;
}

bool PowerAutomation::Triggers(const FeatureContext& context, const ProcessRecord& record) const {
    // Kept with the record's rule matches: the facts and the ancestry it rests on stay.
    return record.matches.Answer(RuleFamily::kPerformanceModeTrigger, context.Rules().generation,
                                 [&] { return JudgeTrigger(context, record); });
}

bool PowerAutomation::JudgeTrigger(const FeatureContext& context, const ProcessRecord& record) {
    const ConfigSettings& settings = context.Settings();
    const std::wstring& key = record.path.empty() ? record.name : record.path;
    if (settings.GamingMode.GamingModeEngageForSteam &&
        DescendsFromLauncher(record, context.Tree())) {
        return !ContainsAny(key, kLauncherComponents) && !ContainsAny(key, kBrowsers);
    }
    if (ContainsAny(key, kLauncherComponents)) {
        return false;
    }
    for (const RulePattern& pattern : context.Rules().GamingMode.AutomaticGamingModeProcessPaths) {
        if (MatchPattern(pattern.text, record.name) ||
            (!record.path.empty() && MatchPattern(pattern.text, record.path))) {
            return true;
        }
    }
    return false;
}

void PowerAutomation::ApplyPerformanceMode(const FeatureContext& context, ProcessRecord& record,
                                           bool judgeAgain) {
    PowerState& state = record.power;
    // A process whose path is still being read is judged again each cycle, so that a game
    // named by its path is not missed.
    if (!judgeAgain && state.pathKnown) {
        return;
    }
    constexpr std::uint16_t kMaxPathAttempts = 6;
    if (!record.path.empty() || record.pathRetries >= kMaxPathAttempts) {
        state.pathKnown = true;
    }
    const bool triggers = Triggers(context, record);
    if (triggers && !state.performanceTrigger) {
        const bool wasActive = PerformanceModeActive();
        state.performanceTrigger = true;
        ++triggers_;
        if (!wasActive) {
            const bool changePlan = context.Settings().GamingMode.GamingChangePowerPlan;
            if (changePlan) {
                EngageTargetPlan(context);
            }
            if (context.LoggingEnabled()) {
                context.Record(CV_ACTION_TOOK_ENTERING_GAMING_MODE,
                               context.RecordFacts(record, EngineText(kEnteredByProgramText)));
            }
        }
        SetPerformanceEvents(true, true);
    } else if (!triggers && state.performanceTrigger) {
        state.performanceTrigger = false;
        EndTrigger(context, record, false);
    }
}

std::optional<PlanGuid> PowerAutomation::ResolveTarget(const FeatureContext& context) {
    // The configuration reads an empty name as the product plan's, which is never created on a
    // machine with power-mode overlays: there the best-performance overlay stands in for it.
    const std::wstring& name = context.Settings().GamingMode.TargetPowerPlan;
    if (const auto plan = plans_->FindPlanByName(name.empty() ? kHighPerformancePlanName : name)) {
        return plan;
    }
    if (const auto plan = HighPerformancePlan(*plans_).GetOrInstall()) {
        return plan;
    }
    if (plans_->HasOverlaySupport()) {
        return kOverlayBestPerformance;
    }
    return std::nullopt;
}

void PowerAutomation::EngageTargetPlan(const FeatureContext& context) {
    // Without a target nothing is held or switched, so that leaving changes nothing either.
    const std::optional<PlanGuid> target = ResolveTarget(context);
    if (!target) {
        return;
    }
    const PlanOutcome outcome = planStack_.Hold(PlanHolderKind::Performance, *target);
    if (outcome.switched && outcome.ok) {
        plans_->LogPlanChange(context, *target, context.EngineFacts(L"", false));
    }
}

void PowerAutomation::EndTrigger(const FeatureContext& context, const ProcessRecord& record,
                                 bool processEnded) {
    if (triggers_ > 0) {
        --triggers_;
    }
    if (triggers_ > 0) {
        return;  // another trigger still holds performance mode: nothing changes
    }
    if (performanceMode_->IsManualOn()) {
        if (context.LoggingEnabled()) {
            context.Record(CV_ACTION_TOOK_PERF_MODE_CONTINUES,
                           context.RecordFacts(record, EngineText(kContinuesText)));
        }
    } else {
        LeavePerformanceMode(context, context.RecordFacts(record, EngineText(kLeftText)));
    }
    SetPerformanceEvents(false, true);
    // The user interface refreshes (and the loop reloads) once performance mode is over.
    if (processEnded) {
        SignalConfigChanged();
    }
}

void PowerAutomation::LeavePerformanceMode(const FeatureContext& context,
                                           const ActionFacts& facts) {
    const PlanOutcome outcome = planStack_.Release(PlanHolderKind::Performance);
    if (outcome.switched && outcome.ok) {
        plans_->LogPlanChange(context, outcome.plan, context.EngineFacts(L"", false));
    }
    if (context.LoggingEnabled()) {
        context.Record(CV_ACTION_TOOK_LEAVING_GAMING_MODE, facts);
    }
}

void PowerAutomation::SetPerformanceEvents(bool on, bool automatic) {
    performanceMode_->SetActive(on, automatic);
    eventsActive_ = performanceMode_->IsActive();
}

void PowerAutomation::RunManualToggle(const FeatureContext& context) {
    eventsActive_ = performanceMode_->IsActive();
    if (!performanceMode_->TakeToggleRequest()) {
        return;
    }
    const bool manual = !eventsActive_;
    SetPerformanceEvents(manual, false);
    if (manual == lastManual_) {
        return;
    }
    lastManual_ = manual;
    if (triggers_ > 0) {
        // The running game keeps its plan; only the events follow the user.
        return;
    }
    if (!manual) {
        LeavePerformanceMode(context, context.EngineFacts(EngineText(kLeftText), false));
        SetPerformanceEvents(false, false);
        return;
    }
    if (context.Settings().GamingMode.GamingChangePowerPlan) {
        EngageTargetPlan(context);
    }
    SetPerformanceEvents(true, false);
    if (context.LoggingEnabled()) {
        context.Record(CV_ACTION_TOOK_ENTERING_GAMING_MODE,
                       context.EngineFacts(EngineText(kEnteredByHandText), false));
    }
}

void PowerAutomation::SignalConfigChanged() {
    platform::SetEventObject(configChangedEvent_);
}

}  // namespace cv
