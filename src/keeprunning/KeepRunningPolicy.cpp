#include "keeprunning/KeepRunningPolicy.h"

#include <algorithm>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "common/Ticks.h"
#include "config/ConfigCheck.h"
#include "config/ConfigSettings.h"
#include "control/ServiceLaunch.h"
#include "enginehost/EngineHost.h"
#include "keeprunning/ProcessExit.h"
#include "platform/Clock.h"
#include "platform/Launch.h"
#include "platform/ProcessControl.h"
#include "platform/Registry.h"
#include "platform/System.h"

namespace cv {

namespace {
constexpr std::uint32_t kRestartedText = 448;
constexpr std::uint32_t kRestartFailedText = 450;
constexpr std::uint32_t kServiceLaunchRefusedText = 1237;
constexpr std::uint32_t kProcessEndedText = 952;
constexpr std::uint32_t kMaxBackOffMs = 5 * 60 * 1000;
constexpr wchar_t kBackingOffText[] =
    L"Not seen running since it was started; waiting longer before each new start (up to 5 "
    L"minutes)";

std::uint32_t KeepRunningGraceFor(std::uint32_t processors) {
    if (processors <= 2) {
        return 30;
    }
    return processors == 3 ? 15 : 10;
}

// A restarted program runs at normal priority, whatever the engine's own class.
void SetRestartedPriority(platform::RawHandle process) {
    platform::SetProcessPriorityClass(process, platform::kNormalPriorityClass);
}

}  // namespace

void CheckKeepRunningLaunches(const ConfigSettings& settings, SettingsFindings& findings) {
    if (!IsServiceInstalled() || !AllowElevatedChildren()) {
        return;
    }
    KeepRunningTracker tracker;
    tracker.Load(*settings.Rules());
    for (const auto& rule : tracker.NotRunning()) {
        const RestartPlan plan = PlanRestart(rule.path, rule.arguments);
        if (!MayStartAsSystem(rule.path) ||
            !MayStartAsSystem(ProgramOfCommandLine(plan.commandLine))) {
            findings.ForKey(L"ProcessDefaults", L"KeepRunningProcesses")
                .Report(FindingKind::kLimited,
                        FormatText(L"%s is never started: the service would run it as SYSTEM, "
                                   L"and a standard user may change it or a folder above it",
                                   Quoted(rule.path)));
        }
    }
}

void KeepRunningPolicy::Start(const FeatureContext& context, std::uint32_t processors) {
    grace_ = KeepRunningGraceFor(processors);
    Reload(context);
}

void KeepRunningPolicy::Reload(const FeatureContext& context) {
    tracker_.Load(context.Rules());
    // Read when the rules are, not every cycle.
    allowElevated_ = AllowElevatedChildren();
    // A refusal of a rule that is gone is forgotten; one of a rule that stays is not said again.
    const auto rules = tracker_.NotRunning();  // every rule, just after loading
    std::erase_if(untrustedRefused_, [&](const std::wstring& key) {
        return std::none_of(rules.begin(), rules.end(),
                            [&](const auto& rule) { return rule.key == key; });
    });
}

void KeepRunningPolicy::ReportRunning(const FeatureContext& context, const ProcessRecord& record) {
    if (tracker_.RuleCount() == 0) {
        return;
    }
    // Whether a rule names the process's path is kept with its rule matches, while the rules the
    // tracker holds are the settings' current ones.
    const auto named = [&] { return tracker_.HasRuleFor(record.path); };
    const std::uint64_t generation = context.Rules().generation;
    const bool candidate = generation == tracker_.LoadedGeneration()
                               ? record.matches.Answer(RuleFamily::kKeepRunning, generation, named)
                               : named();
    if (candidate) {
        tracker_.MarkRunning(record.name, record.path, record.commandLine);
    }
}

bool KeepRunningPolicy::MayStartNow(const FeatureContext& context, const std::wstring& key) {
    const auto it = backOff_.find(key);
    return it == backOff_.end() || CounterReached(context.Cycle().counter, it->second.nextCycle);
}

void KeepRunningPolicy::NoteStarted(const FeatureContext& context,
                                    const KeepRunningTracker::Missing& missing) {
    const std::uint32_t now = context.Cycle().counter;
    const auto [it, first] = backOff_.try_emplace(missing.key);
    BackOff& backOff = it->second;
    if (!first) {
        // Started before and never seen since: its path may never show up as a process (a
        // short name, a launcher, a program that restarts itself elevated).
        const std::uint32_t cap = std::max<std::uint32_t>(
            1, kMaxBackOffMs / std::max<std::uint32_t>(1, context.Cycle().intervalMs));
        backOff.delayCycles = std::min(backOff.delayCycles * 2, cap);
        if (!backOff.recorded && context.LoggingEnabled()) {
            backOff.recorded = true;
            ActionFacts facts;
            facts.user = context.Engine().user;
            facts.name = missing.path;
            facts.path = missing.path;
            facts.commandLine = missing.arguments;
            facts.info = kBackingOffText;
            context.Record(CV_ACTION_TOOK_RESTARTING_PROCESS_ERROR, facts);
        }
    }
    backOff.nextCycle = now + backOff.delayCycles;
}

void KeepRunningPolicy::RestartMissing(const FeatureContext& context) {
    if (tracker_.RuleCount() == 0) {
        return;  // nothing to keep running: no work in any cycle
    }
    if (context.Cycle().reloaded) {
        backOff_.clear();
    }
    if (context.Cycle().counter > grace_) {
        if (context.Cycle().reloaded) {
            restartAttempted_.clear();
        }
        const std::vector<KeepRunningTracker::Missing> notRunning = tracker_.NotRunning();
        // A rule seen running again starts its back-off over.
        std::erase_if(backOff_, [&](const auto& entry) {
            return std::none_of(notRunning.begin(), notRunning.end(),
                                [&](const auto& missing) { return missing.key == entry.first; });
        });
        const bool allowElevated = allowElevated_;
        for (const auto& missing : notRunning) {
            if (restartAttempted_.count(missing.key) != 0 || !MayStartNow(context, missing.key)) {
                continue;
            }
            ActionFacts facts;
            facts.user = context.Engine().user;
            facts.name = missing.path;
            facts.path = missing.path;
            facts.commandLine = missing.arguments;
            const bool log = context.LoggingEnabled();
            std::optional<platform::LaunchedProcess> launched;
            const RestartPlan plan = PlanRestart(missing.path, missing.arguments);
            bool tell = log;
            if (IsServiceInstalled() && !allowElevated) {
                // A service would start the program in the wrong session and with its rights.
                if (log) {
                    facts.info = EngineText(kServiceLaunchRefusedText);
                    context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED, facts);
                }
            } else if (IsServiceInstalled() &&
                       !(MayStartAsSystem(missing.path) &&
                         MayStartAsSystem(ProgramOfCommandLine(plan.commandLine)))) {
                // No user's process stands behind the rule, so it would run as SYSTEM: only a
                // program that no standard user can change, nor the folders above it.
                const bool first = untrustedRefused_.insert(missing.key).second;
                tell = log && first;
                if (tell) {
                    facts.info = kUserMayChangeProgramText;
                    context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED, facts);
                }
            } else {
                launched =
                    platform::LaunchProcess(plan.commandLine, plan.directory, !allowElevated);
            }
            if (launched) {
                if (log) {
                    facts.pid = launched->processId;
                    facts.info = EngineText(kRestartedText);
                    context.Record(CV_ACTION_TOOK_RESTARTING_PROCESS, facts);
                }
                SetRestartedPriority(launched->process.Get());
                NoteStarted(context, missing);
                untrustedRefused_.erase(missing.key);
                continue;
            }
            restartAttempted_.insert(missing.key);
            if (tell) {
                facts.pid = 0;
                facts.info = EngineText(kRestartFailedText);
                context.Record(CV_ACTION_TOOK_RESTARTING_PROCESS_ERROR, facts);
            }
        }
    }
    tracker_.ClearMarks();
}

void KeepRunningPolicy::RecordExit(const FeatureContext& context, ProcessRecord& record) {
    if (!context.LogOn(context.Settings().Logging.LogProcessTerminations) ||
        !exitFilter_.ShouldWrite(record.pid)) {
        return;
    }
    const platform::ProcessTimes times = record.info->Times();
    const std::uint64_t exitTime = times.exit != 0 ? times.exit : platform::SystemTimeAsFileTime();
    std::uint64_t runTime = exitTime > times.create ? exitTime - times.create : 0;
    if (runTime == 0) {
        runTime = 1;
    }
    AddToCounter(L"ProcessInfo_TotalRuntime", runTime);
    const double average = AverageCpuPercent(times.kernel + times.user, runTime,
                                             platform::ActiveProcessorCountAllGroups());
    context.Record(CV_ACTION_TOOK_PROCESS_TERMINATED,
                   context.RecordFacts(record, FormatText(EngineText(kProcessEndedText),
                                                          FormatDuration(runTime), average)));
}

}  // namespace cv
