#pragma once
// The control thread: builds the engine's long-lived objects, runs one cycle per refresh interval
// until the exit event is set, and puts the machine back on the way out. It only sequences:
// each feature owns its state and is called at its place in the start-up, cycle, per-record and
// shutdown order. Tests drive it one step at a time: Startup, then RunCycle as often as they
// like, then Shutdown.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "actionlog/ActionLog.h"
#include "config/ConfigLoadRecords.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "config/StorageAccess.h"
#include "control/FeatureContext.h"
#include "control/SessionActivity.h"
#include "defaults/ForegroundBoost.h"
#include "defaults/ProcessDefaults.h"
#include "groupextender/GroupExtender.h"
#include "keeprunning/KeepRunningPolicy.h"
#include "newprocess/NewProcessPolicy.h"
#include "platform/Handle.h"
#include "power/PowerAutomation.h"
#include "powerplans/PowerPlanService.h"
#include "processes/IgnoredProcesses.h"
#include "processes/NewProcess.h"
#include "processes/ParentTree.h"
#include "processes/ProcessRecord.h"
#include "processes/ProcessSnapshot.h"
#include "processes/ServiceTable.h"
#include "processes/SystemCpuMeter.h"
#include "profiles/ProfileSwitcher.h"
#include "restraint/Levelon.h"
#include "runtime/PerformanceModeState.h"
#include "runtime/ShutdownWatcher.h"
#include "sampling/SamplingOutput.h"
#include "throttle/ProcessThrottles.h"
#include "trimming/CullmarkTrimmer.h"
#include "watchdog/CpuLimiter.h"
#include "watchdog/WatchdogRules.h"

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
    std::uint32_t CycleCounter() const { return cycle_.counter; }
    bool ReloadedThisCycle() const { return cycle_.reloaded; }
    // Held for the whole of every cycle; the profile switcher takes it while it evaluates.
    std::recursive_mutex& ControlLock() { return controlLock_; }
    bool IsService() const { return isService_; }
    int LoadResult() const { return loadResult_; }
    ConfigSettings& Settings() { return *settings_; }
    ConfigStorage& Storage() { return *storage_; }
    ActionLog& Log() { return *actionLog_; }
    ProcessTable& Processes() { return processTable_; }
    const cv::IgnoredProcesses& IgnoredProcesses() const { return ignored_; }
    ParentTree& Tree() { return parentTree_; }
    double TotalCpu() const { return totalCpu_; }
    std::uint32_t LastInputTick() const { return sessions_.LastInputTick(); }
    const std::wstring& EngineUser() const { return engine_.user; }

    // The features, for tests that look at their state.
    const KeepRunningPolicy& KeepRunning() const { return keepRunning_; }
    const ProcessThrottles& Throttles() const { return throttles_; }
    const GroupExtender& GroupExtension() const { return groupExtender_; }
    const PowerAutomation& Power() const { return power_; }
    CullmarkTrimmer& Trimmer() { return *trimmer_; }

  private:
    // Start-up.
    void CreateActionLog();
    void CreateConfiguration();
    void ApplyCommandLineOverrides();
    int CreateSingleInstanceObjects();
    int LoadConfiguration(bool force = false);
    void RecordStartupActions(int loadResult);
    void RecordStopAction();
    // Reads which records also go to the Windows event log (at start-up and at every reload).
    void ApplyEventLogSelection();
    void CreateLoopEvents();
    void ReadBufferReuseSetting();

    // The cycle.
    bool IsReloadDue();
    void ReloadConfiguration();
    void RetryConfiguration();
    void ApplyReloadedSettings();
    // One record for each regular-expression rule whose search was cut since the last cycle.
    void ReportCutRules();
    // Records what a load found wrong, once, and when it loads again.
    void NoteLoadResult(const ConfigLoadResult& result);
    void NoteRefreshIntervalChange();
    // As a service: warns once about each file or folder of the configuration or the log that
    // someone besides the administrators may change.
    void WarnAboutOutsideWriters();
    void JudgeSnapshotEntries();
    void JudgeNewProcess(const std::uint8_t* entry, std::size_t size);
    void InsertRecord(std::unique_ptr<ProcessRecord> record);
    void EndReplacedRecord(ProcessRecord& record);
    void RunExitStep(ProcessRecord& record);
    void RecordNewProcess(ProcessRecord& record);
    void ReadSessionAgents();
    void TrackForegroundWindow();
    LevelonCycle LevelonFacts() const;
    void RunPerRecordStep(ProcessRecord& record);
    void RetryProcessPath(ProcessRecord& record);
    void RemoveEndedRecords();
    // Processes whose parents or ancestors came, went or were replaced match again.
    void ForgetMatchesOfChangedAncestry();

    // Shutdown.
    void StopWorkers();

    std::recursive_mutex controlLock_;
    bool isService_ = false;
    bool stopped_ = false;

    // Named objects of the engine and the loop.
    platform::UniqueHandle singleInstanceMutex_;
    platform::UniqueHandle exitEvent_;
    platform::UniqueHandle preventSleepEvent_;
    platform::UniqueHandle preventDisplaySleepEvent_;
    platform::UniqueHandle reloadNowEvent_;
    std::unique_ptr<PerformanceModeState> performanceMode_;
    std::unique_ptr<ShutdownRequestWatcher> shutdownWatcher_;

    // The configuration, the log, and what the features are handed.
    std::unique_ptr<ActionLog> actionLog_;
    std::unique_ptr<ConfigSettings> settings_;
    std::unique_ptr<ConfigStorage> storage_;
    ConfigLoadRecords loadRecords_;
    // The entries of the event-log selection last reported as ignored.
    std::vector<std::wstring> ignoredEventLogEntries_;
    bool loadedOk_ = false;
    bool underServiceAccount_ = false;  // the engine makes and watches administrators' folders
    OutsideWriterWarnings outsideWriters_;
    std::unique_ptr<FeatureContext> context_;
    EngineIdentity engine_;
    CycleState cycle_;

    // The process table and what keeps it.
    ProcessSnapshot snapshot_;
    SystemCpuMeter cpuMeter_;
    ServiceTable serviceTable_;
    ParentTree parentTree_;
    NewProcessLogFilter newProcessFilter_;
    std::unique_ptr<ProcessInfo> spareInfo_;
    ProcessTable processTable_;
    cv::IgnoredProcesses ignored_;
    std::vector<std::uint32_t> endedRecords_;
    std::vector<std::uint32_t> sessionAgents_;  // ids of the session agents' records
    bool judgedThisCycle_ = false;
    // The handle cache was swept once in this run: later sweeps look only at what changed.
    bool handlesSwept_ = false;
    SessionActivity sessions_;

    // The one power plan service of the control thread.
    PowerPlanService powerPlans_;

    // The loop's own counters.
    std::uint32_t refreshInterval_ = 1000;
    std::uint32_t walk_ = 0;  // snapshot walks so far
    std::uint32_t forcedReloadCounter_ = 0;
    std::uint32_t lastConfigurationStamp_ = 0;
    std::uint32_t disallowBufferReuse_ = 0;
    std::uintptr_t foregroundWindow_ = 0;
    std::uint32_t foregroundProcessId_ = 0xFFFFFFFF;
    int loadResult_ = 0;
    double totalCpu_ = -1;

    // The features, in the order the per-record step calls them.
    NewProcessPolicy newProcess_;
    ProcessDefaults defaults_;
    ForegroundBoost foregroundBoost_;
    Levelon levelon_;
    KeepRunningPolicy keepRunning_;
    ProcessThrottles throttles_;
    CpuLimiter cpuLimiter_;
    GroupExtender groupExtender_;
    WatchdogRules watchdog_;
    PowerAutomation power_;
    SamplingOutput sampling_;
    ProfileChangeTracker profileChange_;
    // The threads of these two read the features above; they are stopped first.
    std::unique_ptr<CullmarkTrimmer> trimmer_;
    ProfileSwitcher profileSwitcher_;
};

}  // namespace cv
