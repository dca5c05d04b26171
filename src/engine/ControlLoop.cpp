#include "engine/ControlLoop.h"

#include "engine/EngineProcess.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "services/KernelObjectNames.h"

namespace cv {

namespace {

using platform::ObjectSecurity;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";

std::uint32_t KeepRunningGraceFor(std::uint32_t processors) {
    if (processors <= 2) {
        return 30;
    }
    return processors == 3 ? 15 : 10;
}

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
    // 1. Windows NT 4 and older are not supported.
    if (platform::OsMajorVersion() <= 4) {
        return kOldSystem;
    }
    // 2. The engine never restrains itself.
    ownProcessId_ = platform::OwnProcessId();
    isService_ = IsServiceInstalled();
    // 3.
    CreateActionLog();
    CreateConfiguration();
    // 4.
    if (!isService_) {
        MigrateConfigurationPath();
    }
    // 5.
    RecoverPowerSettings();
    // 6.
    CreateSnapshotAndCpuMeter();
    restraintPulseEvent_ = platform::CreateEventObject(
        names::EngineObjectName(names::kRestraintPulseEvent, isService_), false, false,
        ObjectSecurity::Default);
    // 7.
    ApplyCommandLineOverrides();
    // 8.
    CreateMemoryTrimmer();
    // 9.
    if (const int result = CreateSingleInstanceObjects(); result != 0) {
        return result;
    }
    // 10.
    StartShutdownWatcher();
    // 11.
    const int loadResult = LoadConfiguration();
    // 12.
    StartLogWriter();
    // 13.
    if (!IsVistaOrLater()) {
        EnsureTerminalServices();
    }
    // 14.
    CreateKeepRunningTracker();
    // 15.
    StartConfigurationWatcher();
    LoadSounds();
    // 16.
    RecordStartupActions(loadResult);
    // 17.
    ReadPowerPlanCapability();
    keepRunningGrace_ = KeepRunningGraceFor(platform::ProcessorCount());
    // 18.
    CreateLoopEvents();
    StartProfileSwitcher();
    // 19.
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

void ControlLoop::StartShutdownWatcher() {
    shutdownWatcher_ = std::make_unique<ShutdownRequestWatcher>(exitEvent_.Get());
}

void ControlLoop::CreateLoopEvents() {
    levelonNotifyEvent_ = platform::CreateEventObject(names::kLevelonNotifyEvent, false, false,
                                                      ObjectSecurity::Open);
    equiloEvent_ =
        platform::CreateEventObject(names::kEquiloEvent, false, false, ObjectSecurity::Open);
    preventSleepEvent_ =
        platform::CreateEventObject(names::kPreventSleepEvent, true, false, ObjectSecurity::Open);
    preventDisplaySleepEvent_ = platform::CreateEventObject(names::kPreventDisplaySleepEvent, true,
                                                            false, ObjectSecurity::Open);
    reloadNowEvent_ =
        platform::CreateEventObject(names::kReloadNowEvent, false, false, ObjectSecurity::Open);
}

void ControlLoop::ReadBufferReuseSetting() {
    disallowBufferReuse_ = platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine,
                                                       kCorvaneKey, L"DisallowBufferReuse")
                               .value_or(0);
}


bool ControlLoop::RunCycle() {
    // 1.
    ignoredThisCycle_.clear();
    restraintBeganThisCycle_ = false;
    // 2. A wait that fails can never be woken again, so it ends the loop like the exit event.
    if (platform::WaitForObject(exitEvent_.Get(), refreshInterval_) !=
        platform::WaitResult::TimedOut) {
        return false;
    }
    // 3.
    std::lock_guard lock(controlLock_);
    cpuLimiterRulesChanged_ = false;
    balancerRulesChanged_ = false;
    // 4. and 5.
    if (IsReloadDue()) {
        ReloadConfiguration();
    } else {
        reloadedThisCycle_ = false;
        ++forcedReloadCounter_;
    }
    // 6.
    if (firstCycle_) {
        StartMemoryTrimmerThread();
    }
    // 7. to 10.
    ApplyTimerResolution();
    DetectIdle();
    RestoreBoostsIfChanged();
    TrackForegroundWindow();
    // 11. to 13.
    TakeSnapshot();
    newProcessThisCycle_ = false;
    JudgeSnapshotEntries();
    ignored_.swap(ignoredThisCycle_);
    // 14.
    if (firstCycle_ || newProcessThisCycle_) {
        MarkServiceTableStale();
    }
    // 15. to 18.
    ApplyInternetExplorerRestriction();
    ReadSessionAgents();
    SampleSystemCpu();
    BalanceInstances();
    // 19.
    endedRecords_.clear();
    for (auto& [processId, record] : processTable_) {
        RunPerRecordStep(*record);
    }
    // 20. to 24.
    HandleManualPerformanceToggle();
    RestartKeepRunningProcesses();
    RemoveEndedRecords();
    WriteSample();
    ApplyStartWithPowerPlan();
    // 25.
    ++cycleCounter_;
    firstCycle_ = false;
    if (cycleCounter_ % 60 == 0) {
        ClearSessionForegroundMap();
    }
    // 26. to 28.
    WakeLogWriter();
    if (restraintBeganThisCycle_) {
        PulseRestraintEvents();
    }
    return true;
}

void ControlLoop::ReloadConfiguration() {
    // 5.1 Lets the program that wrote the file finish.
    platform::SleepMs(500);
    // 5.2 to 5.4
    NoteProfileChange();
    reloadedThisCycle_ = true;
    LoadConfiguration();
    ignored_.clear();
    // 5.5 to 5.8
    NoteRefreshIntervalChange();
    NoteRuleChanges();
    ReloadKeepRunningTracker();
    RestoreRestraintsIfLevelonOff();
    LoadSounds();
    forcedReloadCounter_ = 0;
}

void ControlLoop::RunPerRecordStep(ProcessRecord& record) {
    // 1. and 2.
    if (IsProcessAlive(record)) {
        SampleProcessCpu(record);
        RetryProcessPath(record);
        const bool judgeAgain =
            reloadedThisCycle_ || newProcessThisCycle_ || settings_->Performance.ForcedMode;
        CheckDisallowed(record, judgeAgain);
        ApplyIdlePlanExclusion(record, judgeAgain);
        ApplyPerformanceModeTrigger(record, judgeAgain);
        ApplyApplicationPowerPlan(record, judgeAgain);
        ApplyPreventSleep(record, judgeAgain);
        ApplyThrottle(record, judgeAgain);
        JudgeLevelonEligibility(record, judgeAgain);
        ApplyEfficiencyMode(record, judgeAgain);
        ApplyDefaults(record, judgeAgain);
        ApplyCpuLimiterAndGroupExtender(record, judgeAgain);
        ApplyDefaultCpuSets(record, judgeAgain);
        ApplyWatchdogRules(record, judgeAgain);
        ApplyLevelon(record);
    } else {
        // 3.
        EndThrottleAndRestraint(record);
        ReleasePreventSleep(record);
        ReleaseIdlePlanExclusion(record);
        ReleasePerformanceModeTrigger(record);
        ReleaseApplicationPowerPlan(record);
        RecordProcessExit(record);
        record.ended = true;
    }
    // 4. and 5.
    CloseHandleOfThreadlessProcess(record);
    if (record.ended) {
        endedRecords_.push_back(record.pid);
    } else {
        ReportKeepRunning(record);
    }
}


void ControlLoop::PulseRestraintEvents() {
    platform::SetEventObject(levelonNotifyEvent_.Get());
    platform::SetEventObject(equiloEvent_.Get());
}

int ControlLoop::Shutdown() {
    if (stopped_) {
        return 0;
    }
    stopped_ = true;
    std::lock_guard lock(controlLock_);
    // 1.
    ProcessStopFlag() = true;
    // 2. to 7.
    RestoreForegroundBoosts();
    RestoreCoreParking();
    RestoreIdlePlan();
    LeavePerformanceMode();
    RestoreApplicationPowerPlan();
    RestoreRestrainedProcesses();
    // 8.
    keepRunning_.Clear();
    StopWorkers();
    // 9. The exit event stays open: the entry sets it once more when the thread has ended.
    levelonNotifyEvent_.Reset();
    equiloEvent_.Reset();
    preventSleepEvent_.Reset();
    preventDisplaySleepEvent_.Reset();
    reloadNowEvent_.Reset();
    restraintPulseEvent_.Reset();
    singleInstanceMutex_.Reset();
    processTable_.Clear();
    ignored_.clear();
    ignoredThisCycle_.clear();
    return 0;
}


// Phases that the features fill in. Each is called at its place in the start-up, the cycle or
// the shutdown order.
void ControlLoop::RecoverPowerSettings() {}
void ControlLoop::CreateSnapshotAndCpuMeter() {}
void ControlLoop::CreateMemoryTrimmer() {}
void ControlLoop::EnsureTerminalServices() {}
void ControlLoop::LoadSounds() {}
void ControlLoop::ReadPowerPlanCapability() {}
void ControlLoop::StartProfileSwitcher() {}
void ControlLoop::NoteProfileChange() {}
void ControlLoop::NoteRuleChanges() { NoteBalancerRuleChanges(); }
void ControlLoop::RestoreRestraintsIfLevelonOff() {}
void ControlLoop::StartMemoryTrimmerThread() {}
void ControlLoop::ApplyTimerResolution() {}
void ControlLoop::DetectIdle() {}
void ControlLoop::TrackForegroundWindow() {}
void ControlLoop::HandleManualPerformanceToggle() {}
void ControlLoop::WriteSample() {}
void ControlLoop::ApplyStartWithPowerPlan() {}
void ControlLoop::ClearSessionForegroundMap() { sessionForeground_.clear(); }
void ControlLoop::ApplyIdlePlanExclusion(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyPerformanceModeTrigger(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyApplicationPowerPlan(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyPreventSleep(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyThrottle(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::JudgeLevelonEligibility(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyCpuLimiterAndGroupExtender(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyWatchdogRules(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}
void ControlLoop::ApplyLevelon(ProcessRecord& /*record*/) {}
void ControlLoop::EndThrottleAndRestraint(ProcessRecord& /*record*/) {}
void ControlLoop::ReleasePreventSleep(ProcessRecord& /*record*/) {}
void ControlLoop::ReleaseIdlePlanExclusion(ProcessRecord& /*record*/) {}
void ControlLoop::ReleasePerformanceModeTrigger(ProcessRecord& /*record*/) {}
void ControlLoop::ReleaseApplicationPowerPlan(ProcessRecord& /*record*/) {}
void ControlLoop::RestoreCoreParking() {}
void ControlLoop::RestoreIdlePlan() {}
void ControlLoop::LeavePerformanceMode() {}
void ControlLoop::RestoreApplicationPowerPlan() {}
void ControlLoop::RestoreRestrainedProcesses() {}

}  // namespace cv
