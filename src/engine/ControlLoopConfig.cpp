// The control loop's phases around the configuration and the action log: creating them,
// loading and reloading, the start-up records and the writer.
#include <algorithm>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "engine/ControlLoop.h"
#include "engine/Version.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/System.h"
#include "powerplans/MachineEnvironment.h"
#include "profiles/ActiveProfile.h"
#include "runtime/EngineProcess.h"

namespace cv {

namespace {

constexpr std::uint32_t kConfigurationFileText = 307;
constexpr std::uint32_t kManagingText = 328;
constexpr std::uint32_t kAllUsersText = 250;
constexpr std::uint32_t kRefreshRateText = 937;

// The loop waits at least 100 ms and at most a minute between cycles, whatever the file says:
// a shorter wait would spin, a negative one would never end. The file keeps the user's value.
std::uint32_t BoundedRefreshInterval(std::int32_t configured) {
    constexpr std::int32_t kShortest = 100;
    constexpr std::int32_t kLongest = 60'000;
    return static_cast<std::uint32_t>(std::clamp(configured, kShortest, kLongest));
}

}  // namespace

void ControlLoop::CreateActionLog() {
    // The performance-mode events come first among the engine's named objects.
    performanceMode_ = std::make_unique<PerformanceModeState>(true);
    actionLog_ = std::make_unique<ActionLog>();
    EnsureInstallationId();
}

void ControlLoop::CreateConfiguration() {
    settings_ = std::make_unique<ConfigSettings>(MachineSettingsEnvironment());
    storage_ = std::make_unique<ConfigStorage>(*settings_);
    engine_.imagePath = platform::OwnImagePath();
    engine_.commandLine = platform::OwnCommandLine();
    context_ = std::make_unique<FeatureContext>(*settings_, *actionLog_, processTable_, parentTree_,
                                                engine_, cycle_);
}

void ControlLoop::ApplyCommandLineOverrides() {
    const EngineProcessValues& values = ProcessValues();
    storage_->SetFolderOverride(values.ConfigFolderOverride);
    if (!values.LogFolderOverride.empty()) {
        actionLog_->SetFolder(values.LogFolderOverride);
    }
}

int ControlLoop::LoadConfiguration(bool force) {
    const ConfigLoadResult result = storage_->LoadConfig(force);
    context_->TakeRules();
    loadResult_ = result.code;
    loadedOk_ = result.ok;
    NoteLoadResult(result);
    if (!cycle_.reloaded) {
        refreshInterval_ = BoundedRefreshInterval(settings_->Performance.UpdateSpeedCore);
    }
    return result.code;
}

void ControlLoop::NoteLoadResult(const ConfigLoadResult& result) {
    if (settings_->Logging.LogDisable) {
        loadRecords_.Next(result);
        return;
    }
    const std::wstring path = storage_->FilePath();
    switch (loadRecords_.Next(result)) {
        case ConfigLoadRecord::CannotLoad:
            context_->Record(CV_ACTION_CORE_ENGINE_INITIALIZED,
                             context_->EngineFacts(CannotLoadText(path, result), true));
            break;
        case ConfigLoadRecord::LoadedAgain:
            context_->Record(CV_ACTION_CORE_ENGINE_INITIALIZED,
                             context_->EngineFacts(LoadedAgainText(path), true));
            break;
        case ConfigLoadRecord::None:
            break;
    }
    if (const std::wstring text = InterruptedSaveText(path, result.interruptedSave);
        !text.empty()) {
        context_->Record(CV_ACTION_CORE_ENGINE_INITIALIZED, context_->EngineFacts(text, true));
    }
}

void ControlLoop::RecordStartupActions(int loadResult) {
    const auto user = platform::OwnUserName();
    if (user) {
        engine_.user = *user;
        engine_.underServiceAccount = IsServiceAccountName(engine_.user);
    } else {
        engine_.user = L"System";
        engine_.underServiceAccount = IsVistaOrLater();
    }
    if (settings_->Logging.LogDisable) {
        return;
    }
    if (loadResult != 0) {
        context_->Record(
            CV_ACTION_CORE_ENGINE_INITIALIZED,
            context_->EngineFacts(FormatText(L"ERROR loading configuration - code %d", loadResult),
                                  true));
    }
    // Only a file that was read or created can be said to be loaded.
    if (loadedOk_) {
        context_->Record(
            CV_ACTION_CORE_ENGINE_INITIALIZED,
            context_->EngineFacts(
                FormatText(EngineText(kConfigurationFileText), storage_->FilePath()), true));
    }
    context_->Record(
        CV_ACTION_CORE_ENGINE_STARTED,
        context_->EngineFacts(
            FormatText(L"Corvane v%s (%u) %s", kVersionText, kBuildNumber, kNoticeText), true));
    const bool allUsers =
        !settings_->Performance.ManageOnlyCurrentUser || engine_.underServiceAccount;
    context_->Record(
        CV_ACTION_CORE_ENGINE_BEGIN,
        context_->EngineFacts(FormatText(EngineText(kManagingText),
                                         allUsers ? EngineText(kAllUsersText) : engine_.user),
                              false));
}

void ControlLoop::RecordStopAction() {
    if (!settings_->Logging.LogDisable) {
        context_->Record(CV_ACTION_CORE_ENGINE_STOPPED,
                         context_->EngineFacts(L"Core engine stopped", false));
    }
}

void ControlLoop::ApplyEventLogSelection() {
    EventLogSelection selection = ReadEventLogSelection();
    // Named once, not again at every reload that finds the same entries.
    if (selection.ignored != ignoredEventLogEntries_) {
        ignoredEventLogEntries_ = selection.ignored;
        const auto text = IgnoredEntriesText(selection);
        if (text && context_->LoggingEnabled()) {
            context_->Record(CV_ACTION_CORE_ENGINE_INITIALIZED,
                             context_->EngineFacts(*text, false));
        }
    }
    actionLog_->SetEventLogSelection(std::move(selection));
}

bool ControlLoop::IsReloadDue() {
    // One look at the three events, in this order, instead of three: a wait that takes the
    // first one set acts as testing them one after the other did.
    platform::RawHandle events[3];
    std::size_t count = 0;
    for (const platform::RawHandle event :
         {storage_->ConfigChangedEvent(), storage_->ConfigReloadEvent(), reloadNowEvent_.Get()}) {
        if (platform::IsValidRawHandle(event)) {
            events[count++] = event;
        }
    }
    if (count != 0 && platform::WaitForAnyObject(events, count, 0) >= 0) {
        return true;
    }
    return forcedReloadCounter_ >= 20 &&
           (!storage_->ConfigChangedEventCreated() || storage_->IsNetworkPath());
}

void ControlLoop::NoteRefreshIntervalChange() {
    const std::uint32_t interval = BoundedRefreshInterval(settings_->Performance.UpdateSpeedCore);
    if (interval == refreshInterval_) {
        return;
    }
    if (!settings_->Logging.LogDisable) {
        context_->Record(
            CV_ACTION_CORE_ENGINE_REFRESH_RATE,
            context_->EngineFacts(FormatText(EngineText(kRefreshRateText), interval), false));
    }
    refreshInterval_ = interval;
}

void ControlLoop::WarnAboutOutsideWriters() {
    if (!underServiceAccount_) {
        return;
    }
    std::vector<std::wstring> paths = ConfigurationPaths(
        storage_->FilePath(), GetDefaultConfigFolder() + L"\\" + kProfileFileName);
    paths.push_back(actionLog_->Folder());
    // Recorded whatever LogDisable says: whoever may change the file may also set it.
    for (const std::wstring& warning : outsideWriters_.Look(paths)) {
        context_->Record(CV_ACTION_CORE_ENGINE_INITIALIZED, context_->EngineFacts(warning, false));
    }
}

void ControlLoop::StopWorkers() {
    // The engine's own threads end on the exit event; the log writer writes what is queued.
    platform::SetEventObject(exitEvent_.Get());
    profileSwitcher_.Stop();
    storage_->StopConfigWatcher();
    shutdownWatcher_.reset();
    if (trimmer_) {
        trimmer_->Stop();
    }
    actionLog_->StopWriter();
}

void ControlLoop::ReportCutRules() {
    for (const std::wstring& expression : TakeCutExpressions()) {
        if (context_->LoggingEnabled()) {
            context_->Record(
                CV_ACTION_CORE_ENGINE_INITIALIZED,
                context_->EngineFacts(L"The regular expression \"" + expression +
                                          L"\" ran away and was cut; its rule matches nothing "
                                          L"where that happens",
                                      false));
        }
    }
}

}  // namespace cv
