// The control loop's keep-running phases: the tracker, its marks and the restarts.
#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "engine/ControlLoop.h"
#include "engine/EngineProcess.h"
#include "platform/Launch.h"
#include "platform/Registry.h"

namespace cv {

namespace {
constexpr std::uint32_t kRestartedText = 448;
constexpr std::uint32_t kRestartFailedText = 450;
constexpr std::uint32_t kServiceLaunchRefusedText = 1237;
}  // namespace

void ControlLoop::CreateKeepRunningTracker() { keepRunning_.Load(*settings_); }

void ControlLoop::ReloadKeepRunningTracker() { keepRunning_.Load(*settings_); }

void ControlLoop::ReportKeepRunning(ProcessRecord& record) {
    keepRunning_.MarkRunning(record.name, record.path, record.commandLine);
}

void ControlLoop::RestartKeepRunningProcesses() {
    if (cycleCounter_ > keepRunningGrace_) {
        if (reloadedThisCycle_) {
            restartAttempted_.clear();
        }
        const bool allowElevated =
            platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine,
                                        L"Software\\Corvane", L"AllowElevatedChildren")
                .value_or(0) != 0;
        for (const auto& missing : keepRunning_.NotRunning()) {
            if (restartAttempted_.count(missing.key) != 0) {
                continue;
            }
            ActionFacts facts;
            facts.user = engineUser_;
            facts.name = missing.path;
            facts.path = missing.path;
            facts.commandLine = missing.arguments;
            const bool log = !settings_->Logging.LogDisable;
            std::optional<platform::LaunchedProcess> launched;
            if (IsServiceInstalled() && !allowElevated) {
                // A service would start the program in the wrong session and with its rights.
                if (log) {
                    facts.info = EngineText(kServiceLaunchRefusedText);
                    Record(CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED, facts);
                }
            } else {
                const RestartPlan plan = PlanRestart(missing.path, missing.arguments);
                launched = platform::LaunchProcess(plan.commandLine, plan.directory, !allowElevated);
            }
            if (launched) {
                if (log) {
                    facts.pid = launched->processId;
                    facts.info = EngineText(kRestartedText);
                    Record(CV_ACTION_TOOK_RESTARTING_PROCESS, facts);
                }
                SetRestartedPriority(launched->process.Get());
                continue;
            }
            restartAttempted_.insert(missing.key);
            if (log) {
                facts.pid = 0;
                facts.info = EngineText(kRestartFailedText);
                Record(CV_ACTION_TOOK_RESTARTING_PROCESS_ERROR, facts);
            }
        }
    }
    keepRunning_.ClearMarks();
}

}  // namespace cv
