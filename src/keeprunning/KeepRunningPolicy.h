#pragma once
// Processes that end: their exit record, and programs that must keep running started again
// once the engine has been up for its grace cycles.
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "control/FeatureContext.h"
#include "keeprunning/KeepRunning.h"
#include "processes/NewProcess.h"

namespace cv {

class SettingsFindings;

// For the configuration check: as a service with AllowElevatedChildren, the keep-running
// programs that would not be started because a standard user may change them.
void CheckKeepRunningLaunches(const ConfigSettings& settings, SettingsFindings& findings);

class KeepRunningPolicy {
  public:
    // At start-up: the rules, and the cycles to wait before the first restart (fewer on
    // machines with more processors, which start their programs faster).
    void Start(const FeatureContext& context, std::uint32_t processors);
    void Reload(const FeatureContext& context);

    // A live record's process satisfies the rules of its path.
    void ReportRunning(const FeatureContext& context, const ProcessRecord& record);
    // Starts every rule's program that has no live process, then forgets the marks.
    void RestartMissing(const FeatureContext& context);
    // The record of a process that ended (action 76).
    void RecordExit(const FeatureContext& context, ProcessRecord& record);
    void Clear() { tracker_.Clear(); }

    std::uint32_t Grace() const { return grace_; }
    const KeepRunningTracker& Tracker() const { return tracker_; }

  private:
    KeepRunningTracker tracker_;
    std::uint32_t grace_ = 30;
    bool allowElevated_ = false;
    // A rule whose program was started but has not been seen running since waits longer
    // before each further start: one cycle, then two, four ... up to five minutes.
    struct BackOff {
        std::uint32_t nextCycle = 0;
        std::uint32_t delayCycles = 1;
        bool recorded = false;
    };
    bool MayStartNow(const FeatureContext& context, const std::wstring& key);
    void NoteStarted(const FeatureContext& context, const KeepRunningTracker::Missing& missing);

    // Rules whose restart failed or was refused since the last reload.
    std::set<std::wstring> restartAttempted_;
    // Rules refused as a service because a standard user may change their program: said once,
    // until the rule is gone or its program was started.
    std::set<std::wstring> untrustedRefused_;
    std::map<std::wstring, BackOff> backOff_;
    NewProcessLogFilter exitFilter_;
};

}  // namespace cv
