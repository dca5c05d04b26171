#include "engine/ControlLoop.h"

#include "control/ChangeRecovery.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "platform/UserSession.h"
#include "powerplans/RecoveryValues.h"
#include "processes/HandleCache.h"
#include "runtime/EngineProcess.h"
#include "runtime/RecoveryJournal.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

using platform::ObjectSecurity;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";

}  // namespace

ControlLoop::ControlLoop() = default;

ControlLoop::~ControlLoop() {
    if (!stopped_ && exitEvent_) {
        Shutdown();
    }
    // Threads owned by the loop end on the exit event.
    platform::SetEventObject(exitEvent_.Get());
    shutdownWatcher_.reset();
}

int ControlLoop::Run() {
    const int result = Startup();
    if (result != 0) {
        return result;
    }
    while (RunCycle()) {
    }
    return Shutdown();
}

int ControlLoop::Startup() {
    // Windows NT 4 and older are not supported.
    if (platform::OsMajorVersion() <= 4) {
        return kOldSystem;
    }
    // The engine never acts on itself.
    engine_.processId = platform::OwnProcessId();
    isService_ = IsServiceInstalled();
    underServiceAccount_ = RunsUnderServiceAccount();
    CreateActionLog();
    CreateConfiguration();
    if (!isService_) {
        MigrateConfigFolder();
    }
    // Power settings a run that did not end normally left changed are put back first.
    CoreParking::RecoverAtStartup(powerPlans_);
    RecoverPowerPlansAtStartUp(powerPlans_);
    ApplyCommandLineOverrides();
    ProfileChangeTracker::Attach(*storage_);
    trimmer_ = std::make_unique<CullmarkTrimmer>(*context_);
    storage_->SetChangeListener(&CullmarkTrimmer::NotifyConfigChanged);
    if (const int result = CreateSingleInstanceObjects(); result != 0) {
        return result;
    }
    shutdownWatcher_ = std::make_unique<ShutdownRequestWatcher>(exitEvent_.Get());
    const int loadResult = LoadConfiguration();
    actionLog_->StartWriter();
    keepRunning_.Start(*context_, platform::ProcessorCount());
    storage_->StartConfigWatcher(exitEvent_.Get());
    RecordStartupActions(loadResult);
    ApplyEventLogSelection();
    WarnAboutOutsideWriters();
    // What an engine that did not stop normally left changed in processes is put back, whatever
    // the configuration now says; from here on every such change is journalled first.
    RecoverAndBeginJournal(*context_, isService_);
    levelon_.Start(*context_, isService_, powerPlans_);
    throttles_.Start(exitEvent_.Get());
    cpuLimiter_.Start(*context_);
    groupExtender_.Start(exitEvent_.Get());
    watchdog_.Start(serviceTable_, exitEvent_.Get());
    CreateLoopEvents();
    power_.Start(powerPlans_, *performanceMode_, storage_->ConfigChangedEvent(),
                 preventSleepEvent_.Get(), preventDisplaySleepEvent_.Get());
    profileSwitcher_.Start(*context_, controlLock_, exitEvent_.Get());
    ReadBufferReuseSetting();
    return 0;
}

int ControlLoop::CreateSingleInstanceObjects() {
    using names::EngineObjectName;
    if (isService_) {
        singleInstanceMutex_ = platform::CreateMutexObject(
            EngineObjectName(names::kSingleInstanceMutex, true), true, ObjectSecurity::Open);
        if (!singleInstanceMutex_) {
            singleInstanceMutex_ = platform::CreateMutexObject(
                EngineObjectName(names::kSingleInstanceMutex, false), true, ObjectSecurity::Open);
        }
        exitEvent_ = platform::CreateEventObject(EngineObjectName(names::kExitEvent, true), true,
                                                 false, ObjectSecurity::Default);
        if (!exitEvent_) {
            exitEvent_ = platform::CreateEventObject(EngineObjectName(names::kExitEvent, false),
                                                     true, false, ObjectSecurity::Default);
        }
    } else {
        singleInstanceMutex_ = platform::CreateMutexObject(
            EngineObjectName(names::kSingleInstanceMutex, false), true, ObjectSecurity::Default);
        exitEvent_ = platform::CreateEventObject(EngineObjectName(names::kExitEvent, false), true,
                                                 false, ObjectSecurity::Default);
    }
    if (!singleInstanceMutex_) {
        return kNoSingleInstanceMutex;
    }
    if (!exitEvent_) {
        return kNoExitEvent;
    }
    platform::ResetEventObject(exitEvent_.Get());
    return 0;
}

void ControlLoop::CreateLoopEvents() {
    preventSleepEvent_ =
        platform::CreateEventObject(names::kPreventSleepEvent, true, false, ObjectSecurity::Open);
    preventDisplaySleepEvent_ = platform::CreateEventObject(names::kPreventDisplaySleepEvent, true,
                                                            false, ObjectSecurity::Open);
    reloadNowEvent_ =
        platform::CreateEventObject(names::kReloadNowEvent, false, false, ObjectSecurity::Open);
    // An event another program keeps open keeps what an engine that ended abnormally left in
    // it; the engine's prevent-sleep count starts at zero, so do the events.
    platform::ResetEventObject(preventSleepEvent_.Get());
    platform::ResetEventObject(preventDisplaySleepEvent_.Get());
}

void ControlLoop::ReadBufferReuseSetting() {
    disallowBufferReuse_ = platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine,
                                                       kCorvaneKey, L"DisallowBufferReuse")
                               .value_or(0);
}

bool ControlLoop::RunCycle() {
    // A wait that fails can never be woken again, so it ends the loop like the exit event.
    if (platform::WaitForObject(exitEvent_.Get(), refreshInterval_) !=
        platform::WaitResult::TimedOut) {
        return false;
    }
    std::lock_guard lock(controlLock_);
    context_->TakeRules();
    newProcess_.BeginCycle();
    levelon_.BeginCycle();
    cpuLimiter_.BeginCycle();
    cycle_.intervalMs = refreshInterval_;

    // The configuration, when it changed or the periodic check of a network folder is due.
    if (IsReloadDue()) {
        ReloadConfiguration();
    } else if (storage_->IsRetryDue()) {
        RetryConfiguration();
    } else {
        cycle_.reloaded = false;
        ++forcedReloadCounter_;
    }
    if (cycle_.first) {
        trimmer_->StartWorker(exitEvent_.Get());
    }

    // The user: the latest input, the boost following its switch, the foreground window.
    if (const auto tick = platform::LastInputTick()) {
        sessions_.NoteInputTick(*tick);
    }
    power_.RunBeforeSnapshot(*context_, sessions_.LastInputTick());
    foregroundBoost_.RestoreIfSwitched(*context_);
    TrackForegroundWindow();

    // The snapshot: known processes are refreshed, new ones judged; ignored ids of processes
    // that are gone drop out.
    snapshot_.Take(disallowBufferReuse_ != 0);
    cycle_.newProcess = false;
    JudgeSnapshotEntries();
    if (cycle_.first || cycle_.newProcess) {
        serviceTable_.MarkStale();
    }

    // Rules over the whole table, then the machine's CPU use.
    newProcess_.ApplyInternetExplorerRestriction(*context_);
    ReadSessionAgents();
    totalCpu_ = cpuMeter_.SampleTotalCpu();
    newProcess_.BalanceInstances(*context_);

    // Every record: its rules while it lives, its exit when it ended.
    endedRecords_.clear();
    for (auto& [processId, record] : processTable_) {
        RunPerRecordStep(*record);
    }
    power_.RunAfterRecords(*context_, sessions_.LastInputTick());
    power_.RunManualToggle(*context_);
    ReportCutRules();

    // Programs that must keep running, then the records of processes that ended.
    keepRunning_.RestartMissing(*context_);
    RemoveEndedRecords();
    sampling_.WriteIfDue(*context_);
    power_.RunStartWithPlan(*context_);

    ++cycle_.counter;
    cycle_.first = false;
    if (cycle_.counter % 60 == 0) {
        // The boosts keep their sessions: the next report of a session keeps the boost of the
        // process still in front and moves one whose process is not.
        sessions_.ClearForegroundMap();
    }
    lastConfigurationStamp_ = storage_->LoadStamp();
    actionLog_->Wake();
    levelon_.NotifyIfBegan();
    return true;
}

void ControlLoop::RunExitStep(ProcessRecord& record) {
    throttles_.End(record);
    groupExtender_.End(record);
    levelon_.EndDueToTerminate(*context_, record);
    // Nothing of an ended process is left to put back.
    RecoveryJournal::Instance().RemoveProcess(record.pid, record.createTime);
    power_.End(*context_, record);
    keepRunning_.RecordExit(*context_, record);
    record.ended = true;
}

void ControlLoop::TrackForegroundWindow() {
    if (!settings_->OutOfControlProcessRestraint.OocOn &&
        !settings_->ForegroundBoosting.BoostForegroundProcess) {
        return;
    }
    const auto owner = platform::ForegroundWindowProcess();
    if (!owner || owner->window == 0 || owner->window == foregroundWindow_ ||
        owner->threadId == 0 || owner->threadId == 0xFFFFFFFF) {
        return;
    }
    foregroundWindow_ = owner->window;
    foregroundProcessId_ = owner->processId;
}

LevelonCycle ControlLoop::LevelonFacts() const {
    LevelonCycle facts;
    facts.totalCpu = totalCpu_;
    facts.foregroundPid = foregroundProcessId_;
    facts.sessions = &sessions_;
    facts.performanceMode = power_.PerformanceModeActive();
    return facts;
}

void ControlLoop::ReloadConfiguration() {
    // Lets the program that wrote the file finish.
    platform::SleepMs(500);
    // A new profile's file is read whatever its time stamp says.
    const bool profileChanged = profileChange_.NoteBeforeReload(*context_, *storage_);
    cycle_.reloaded = true;
    LoadConfiguration(profileChanged);
    WarnAboutOutsideWriters();
    ApplyReloadedSettings();
}

void ControlLoop::RetryConfiguration() {
    // The file could not be read before: one quick look, no pause. Read as a reload, so that a
    // new refresh interval is noted and recorded as a reload's would be.
    cycle_.reloaded = true;
    const int code = LoadConfiguration(false);
    WarnAboutOutsideWriters();
    if (code == kConfigLoaded || code == kConfigCreatedWithDefaults) {
        ApplyReloadedSettings();
    } else {
        cycle_.reloaded = false;
        ++forcedReloadCounter_;
    }
}

void ControlLoop::ApplyReloadedSettings() {
    // Every process is judged again under the new settings, and a rule cut under them is
    // reported again.
    ignored_.Clear();
    ForgetCutExpressions();
    NoteRefreshIntervalChange();
    newProcess_.NoteReload(*context_);
    keepRunning_.Reload(*context_);
    levelon_.NoteReload(*context_);
    cpuLimiter_.NoteReload(*context_);
    ApplyEventLogSelection();
    forcedReloadCounter_ = 0;
}

void ControlLoop::RunPerRecordStep(ProcessRecord& record) {
    // Listed in this cycle's snapshot with threads: alive, without asking its handle. The count
    // comes from the snapshot entry, which nothing in the step replaces.
    const std::uint32_t threads = record.info->ThreadCount();
    const bool alive = (record.seenWalk == walk_ && threads > 0) || record.info->IsAlive();
    if (alive) {
        record.info->SampleCpu();
        RetryProcessPath(record);
        const bool judgeAgain = context_->JudgeAgain();
        newProcess_.CheckDisallowed(*context_, record, judgeAgain);
        // A process the engine has just terminated gets no further rules.
        if (!record.terminatedByEngine) {
            power_.Apply(*context_, record, judgeAgain);
            throttles_.Apply(*context_, record);
            const LevelonCycle levelon = LevelonFacts();
            levelon_.JudgeEligibility(*context_, record, judgeAgain, levelon,
                                      PowerAutomation::EngagedPerformanceMode(record));
            defaults_.ApplyEfficiencyMode(*context_, record, judgeAgain);
            defaults_.Apply(*context_, record, judgeAgain);
            cpuLimiter_.Apply(*context_, record);
            groupExtender_.Apply(*context_, record);
            defaults_.ApplyCpuSets(*context_, record, judgeAgain);
            watchdog_.Apply(*context_, record);
            if (settings_->OutOfControlProcessRestraint.OocOn && !record.terminatedByEngine &&
                !PowerAutomation::EngagedPerformanceMode(record)) {
                levelon_.Apply(*context_, record, levelon);
            }
        }
    } else {
        RunExitStep(record);
    }
    // A process without threads is ending: its cached handle is not needed any more, and its
    // times are kept for the exit record.
    if (threads == 0) {
        record.info->ReleaseHandle();
    }
    // The record's look-ups for this cycle are done; its kept results stay.
    record.matches.ReleaseSubject();
    if (record.ended) {
        endedRecords_.push_back(record.pid);
    } else {
        keepRunning_.ReportRunning(*context_, record);
    }
}

int ControlLoop::Shutdown() {
    if (stopped_) {
        return 0;
    }
    stopped_ = true;
    {
        std::lock_guard lock(controlLock_);
        // The crash handler reads it.
        ProcessStopFlag() = true;
        // Every process the engine changed for the time being gets its own settings back.
        foregroundBoost_.RestoreAll();
        levelon_.RestoreCoreParking(*context_);
        power_.Shutdown(*context_);
        // A normal stop leaves no recovery value behind.
        for (const wchar_t* value : {kDrowselRecoveryValue, kTarvelHighPerfRecoveryValue,
                                     kAppPowerProfileRecoveryValue, kStartWithRecoveryValue}) {
            ClearRecoveryValue(value);
        }
        levelon_.RestoreAll(*context_);
        cpuLimiter_.RestoreAll(*context_);
        keepRunning_.Clear();
    }
    // No process stays suspended or half-extended after the engine.
    throttles_.StopAll();
    groupExtender_.StopAll();
    // Everything is put back: the journal's value goes (what could not be put back stays for
    // the next start).
    RecoveryJournal::Instance().End();
    RecordStopAction();
    // Threads that take the control lock are stopped outside it, or they could never end.
    StopWorkers();
    // The exit event stays open: the entry sets it once more when the thread has ended.
    std::lock_guard lock(controlLock_);
    levelon_.Stop();
    preventSleepEvent_.Reset();
    preventDisplaySleepEvent_.Reset();
    reloadNowEvent_.Reset();
    singleInstanceMutex_.Reset();
    processTable_.Clear();
    handlesSwept_ = false;
    ignored_.Clear();
    return 0;
}

}  // namespace cv
