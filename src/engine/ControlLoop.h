#pragma once
// The control thread: builds the engine's long-lived objects, runs one cycle per refresh interval
// until the exit event is set, and puts the machine back on the way out. Tests drive it one step
// at a time: Startup, then RunCycle as often as they like, then Shutdown.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "actionlog/ActionLog.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "engine/KeepRunning.h"
#include "engine/NewProcess.h"
#include "engine/ParentTree.h"
#include "engine/ProcessRecord.h"
#include "engine/ProcessSnapshot.h"
#include "engine/ServiceTable.h"
#include "engine/SystemCpuMeter.h"
#include "platform/Handle.h"
#include "services/PerformanceModeState.h"
#include "services/ShutdownWatcher.h"

namespace cv {

class ControlLoop {
public:
    // Start-up results other than 0 end the thread before the loop.
    static constexpr int kOldSystem = 1;
    static constexpr int kNoExitEvent = 2;
    static constexpr int kNoSingleInstanceMutex = 3;

    ControlLoop();
    ControlLoop(const ControlLoop&) = delete;
    ControlLoop& operator=(const ControlLoop&) = delete;
    ~ControlLoop();

    // The whole life of the control thread: start-up, cycles until the exit event, shutdown.
    int Run();

    int Startup();
    // One cycle; false when the exit event ended the loop instead.
    bool RunCycle();
    int Shutdown();

    platform::RawHandle ExitEvent() const { return exitEvent_.Get(); }
    std::uint32_t RefreshInterval() const { return refreshInterval_; }
    std::uint32_t CycleCounter() const { return cycleCounter_; }
    std::uint32_t KeepRunningGrace() const { return keepRunningGrace_; }
    const KeepRunningTracker& KeepRunning() const { return keepRunning_; }
    bool ReloadedThisCycle() const { return reloadedThisCycle_; }
    // Held for the whole of every cycle; the profile switcher takes it while it evaluates.
    std::recursive_mutex& ControlLock() { return controlLock_; }
    bool IsService() const { return isService_; }
    int LoadResult() const { return loadResult_; }
    ConfigSettings& Settings() { return *settings_; }
    ConfigStorage& Storage() { return *storage_; }
    ActionLog& Log() { return *actionLog_; }
    ProcessTable& Processes() { return processTable_; }
    const std::set<std::uint32_t>& IgnoredProcesses() const { return ignored_; }
    ParentTree& Tree() { return parentTree_; }
    double TotalCpu() const { return totalCpu_; }
    std::uint32_t LastInputTick() const { return lastInputTick_; }
    const std::wstring& EngineUser() const { return engineUser_; }

private:
    // Start-up phases.
    void CreateActionLog();
    void CreateConfiguration();
    void MigrateConfigurationPath();
    void RecoverPowerSettings();
    void CreateSnapshotAndCpuMeter();
    void ApplyCommandLineOverrides();
    void CreateMemoryTrimmer();
    int CreateSingleInstanceObjects();
    void StartShutdownWatcher();
    int LoadConfiguration();
    void StartLogWriter();
    void EnsureTerminalServices();
    void CreateKeepRunningTracker();
    void StartConfigurationWatcher();
    void LoadSounds();
    void RecordStartupActions(int loadResult);
    void ReadPowerPlanCapability();
    void CreateLoopEvents();
    void StartProfileSwitcher();
    void ReadBufferReuseSetting();

    // Cycle phases.
    bool IsReloadDue();
    void ReloadConfiguration();
    void NoteProfileChange();
    void NoteRefreshIntervalChange();
    void NoteRuleChanges();
    void ReloadKeepRunningTracker();
    void RestoreRestraintsIfLevelonOff();
    void StartMemoryTrimmerThread();
    void ApplyTimerResolution();
    void DetectIdle();
    void RestoreBoostsIfChanged();
    void TrackForegroundWindow();
    void TakeSnapshot();
    void JudgeSnapshotEntries();
    void MarkServiceTableStale();
    void ApplyInternetExplorerRestriction();
    void ReadSessionAgents();
    void SampleSystemCpu();
    void BalanceInstances();
    void HandleManualPerformanceToggle();
    void RestartKeepRunningProcesses();
    void RemoveEndedRecords();
    void WriteSample();
    void ApplyStartWithPowerPlan();
    void ClearSessionForegroundMap();
    void WakeLogWriter();
    void PulseRestraintEvents();

    // The per-record step and its phases.
    void RunPerRecordStep(ProcessRecord& record);
    bool IsProcessAlive(ProcessRecord& record);
    void SampleProcessCpu(ProcessRecord& record);
    void RetryProcessPath(ProcessRecord& record);
    void CheckDisallowed(ProcessRecord& record, bool judgeAgain);
    void ApplyIdlePlanExclusion(ProcessRecord& record, bool judgeAgain);
    void ApplyPerformanceModeTrigger(ProcessRecord& record, bool judgeAgain);
    void ApplyApplicationPowerPlan(ProcessRecord& record, bool judgeAgain);
    void ApplyPreventSleep(ProcessRecord& record, bool judgeAgain);
    void ApplyThrottle(ProcessRecord& record, bool judgeAgain);
    void JudgeLevelonEligibility(ProcessRecord& record, bool judgeAgain);
    void ApplyEfficiencyMode(ProcessRecord& record, bool judgeAgain);
    void ApplyDefaults(ProcessRecord& record, bool judgeAgain);
    void ApplyCpuLimiterAndGroupExtender(ProcessRecord& record, bool judgeAgain);
    void ApplyDefaultCpuSets(ProcessRecord& record, bool judgeAgain);
    void ApplyWatchdogRules(ProcessRecord& record, bool judgeAgain);
    void ApplyLevelon(ProcessRecord& record);
    void EndThrottleAndRestraint(ProcessRecord& record);
    void ReleasePreventSleep(ProcessRecord& record);
    void ReleaseIdlePlanExclusion(ProcessRecord& record);
    void ReleasePerformanceModeTrigger(ProcessRecord& record);
    void ReleaseApplicationPowerPlan(ProcessRecord& record);
    void RecordProcessExit(ProcessRecord& record);
    void CloseHandleOfThreadlessProcess(ProcessRecord& record);
    void ReportKeepRunning(ProcessRecord& record);
    void ApplyDefaultAffinity(ProcessRecord& record, const AffinityRule& rule);
    // A restarted program runs at normal priority, whatever the engine's own class.
    void SetRestartedPriority(platform::RawHandle process);
    // The foreground boost moves from one process of a session to another.
    void MoveForegroundBoost(std::uint32_t fromPid, std::uint32_t toPid);

    // Helpers of the phases.
    bool LogOn(bool featureSwitch) const;
    void Record(std::uint32_t actionId, const ActionFacts& facts);
    ActionFacts EngineFacts(const std::wstring& info, bool withPathAndCommandLine) const;
    ActionFacts RecordFacts(const ProcessRecord& record, const std::wstring& info) const;
    void JudgeNewProcess(const std::uint8_t* entry, std::size_t size);
    void RecordNewProcess(ProcessRecord& record);
    // Part of the instance limits: true when the new process was closed.
    bool ApplyInstanceLimits(ProcessRecord& record);

    // Shutdown phases.
    void RestoreForegroundBoosts();
    void RestoreCoreParking();
    void RestoreIdlePlan();
    void LeavePerformanceMode();
    void RestoreApplicationPowerPlan();
    void RestoreRestrainedProcesses();
    void StopWorkers();

    std::recursive_mutex controlLock_;
    bool isService_ = false;
    std::uint32_t ownProcessId_ = 0;

    platform::UniqueHandle restraintPulseEvent_;
    platform::UniqueHandle singleInstanceMutex_;
    platform::UniqueHandle exitEvent_;
    platform::UniqueHandle levelonNotifyEvent_;
    platform::UniqueHandle equiloEvent_;
    platform::UniqueHandle preventSleepEvent_;
    platform::UniqueHandle preventDisplaySleepEvent_;
    platform::UniqueHandle reloadNowEvent_;
    std::unique_ptr<PerformanceModeState> performanceMode_;
    std::unique_ptr<ShutdownRequestWatcher> shutdownWatcher_;

    std::unique_ptr<ActionLog> actionLog_;
    std::unique_ptr<ConfigSettings> settings_;
    std::unique_ptr<ConfigStorage> storage_;
    ProcessSnapshot snapshot_;
    SystemCpuMeter cpuMeter_;
    ServiceTable serviceTable_;
    ParentTree parentTree_;
    NewProcessLogFilter newProcessFilter_;
    NewProcessLogFilter exitFilter_;
    std::unique_ptr<ProcessInfo> spareInfo_;
    ProcessTable processTable_;
    KeepRunningTracker keepRunning_;
    // Keep-running rules whose restart failed or was refused since the last reload.
    std::set<std::wstring> restartAttempted_;
    std::set<std::uint32_t> ignored_;
    std::set<std::uint32_t> ignoredThisCycle_;
    std::vector<std::uint32_t> endedRecords_;

    std::uint32_t refreshInterval_ = 1000;
    std::uint32_t cycleCounter_ = 0;
    bool firstCycle_ = true;
    std::uint32_t forcedReloadCounter_ = 0;
    bool reloadedThisCycle_ = false;
    bool newProcessThisCycle_ = false;
    bool restraintBeganThisCycle_ = false;
    bool cpuLimiterRulesChanged_ = false;
    bool balancerRulesChanged_ = false;
    std::uint32_t foregroundProcessId_ = 0xFFFFFFFF;
    std::uint32_t keepRunningGrace_ = 30;
    std::uint64_t lastSamplingTick_ = 0;
    std::uint32_t lastConfigurationStamp_ = 0;
    std::uint32_t disallowBufferReuse_ = 0;
    bool canManagePowerPlans_ = false;
    bool levelonWasOn_ = false;
    // The latest user input seen in any session (the engine's own and the agents' reports).
    std::uint32_t lastInputTick_ = 0;
    // Session id -> the foreground process its agent reported last.
    std::map<std::int32_t, std::uint32_t> sessionForeground_;
    int loadResult_ = 0;
    double totalCpu_ = -1;
    std::wstring engineUser_;
    bool underServiceAccount_ = false;
    std::wstring ownImagePath_;
    std::wstring ownCommandLine_;

    // Per-process defaults and the foreground boost.
    std::map<std::uint32_t, std::uint32_t> boostedClasses_;  // pid -> class before the boost
    bool boostForegroundWasOn_ = false;

    // New-process rules.
    // Balancer rule position (map order) -> the pids it spread over blocks last time.
    std::map<std::size_t, std::set<std::uint32_t>> balancedSets_;
    // The balancer rules as last loaded, to tell on a reload whether they changed.
    std::optional<InstanceBalancerMap> balancerRules_;
    void NoteBalancerRuleChanges();
    bool stopped_ = false;
};

}  // namespace cv
