#include "keeprunning/KeepRunningPolicy.h"

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "config/ConfigSettings.h"
#include "keeprunning/ProcessExit.h"
#include "platform/Clock.h"
#include "platform/Launch.h"
#include "platform/ProcessControl.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "services/EngineProcess.h"

namespace cv {

namespace {
constexpr std::uint32_t kRestartedText = 448;
constexpr std::uint32_t kRestartFailedText = 450;
constexpr std::uint32_t kServiceLaunchRefusedText = 1237;
constexpr std::uint32_t kProcessEndedText = 952;

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

void KeepRunningPolicy::Start(const FeatureContext& context, std::uint32_t processors) {
    tracker_.Load(context.Settings());
    grace_ = KeepRunningGraceFor(processors);
}

void KeepRunningPolicy::Reload(const FeatureContext& context) {
    tracker_.Load(context.Settings());
}

void KeepRunningPolicy::ReportRunning(const ProcessRecord& record) {
    tracker_.MarkRunning(record.name, record.path, record.commandLine);
}

void KeepRunningPolicy::RestartMissing(const FeatureContext& context) {
    if (context.Cycle().counter > grace_) {
        if (context.Cycle().reloaded) {
            restartAttempted_.clear();
        }
        const bool allowElevated =
            platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine, L"Software\\Corvane",
                                        L"AllowElevatedChildren")
                .value_or(0) != 0;
        for (const auto& missing : tracker_.NotRunning()) {
            if (restartAttempted_.count(missing.key) != 0) {
                continue;
            }
            ActionFacts facts;
            facts.user = context.Engine().user;
            facts.name = missing.path;
            facts.path = missing.path;
            facts.commandLine = missing.arguments;
            const bool log = context.LoggingEnabled();
            std::optional<platform::LaunchedProcess> launched;
            if (IsServiceInstalled() && !allowElevated) {
                // A service would start the program in the wrong session and with its rights.
                if (log) {
                    facts.info = EngineText(kServiceLaunchRefusedText);
                    context.Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED, facts);
                }
            } else {
                const RestartPlan plan = PlanRestart(missing.path, missing.arguments);
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
                continue;
            }
            restartAttempted_.insert(missing.key);
            if (log) {
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
