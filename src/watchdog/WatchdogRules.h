#pragma once
// Watchdog rules: when a process's CPU use or memory stays above (or below) a threshold for a
// given time, the engine acts on it: terminates or restarts it, changes its affinity, priority
// or I/O priority, trims its working set, only logs, or launches a program about it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/FailureEpisodes.h"
#include "config/RuleLists.h"
#include "control/FeatureContext.h"
#include "platform/Handle.h"
#include "platform/Processes.h"
#include "processes/ServiceTable.h"

namespace cv {

// The watchdog's actions, as the rules number them.
enum WatchdogAction : std::int32_t {
    kWatchdogTerminate = 0,
    kWatchdogRestart = 1,
    kWatchdogAffinity = 2,
    kWatchdogTrim = 3,
    kWatchdogPriority = 4,
    kWatchdogIoPriority = 5,
    kWatchdogStop = 6,
    kWatchdogNotify = 7,
    kWatchdogLaunch = 8,
};

// What a launch action's arguments may name of the process.
struct LaunchSubject {
    std::uint32_t pid = 0;
    std::wstring imageName;
    std::wstring path;
    std::wstring commandLine;
    std::uint32_t sessionId = 0;
};
// "\"program\" arguments" with %1 (id), %2 (image name), %3 (path), %4 (command line), and %5
// and %sessionid% (session id) put in.
std::wstring WatchdogLaunchCommandLine(const std::wstring& program, const std::wstring& arguments,
                                       const LaunchSubject& subject);
// The arguments a restart passes again: the process's command line less the program, which
// ends at its closing quote, or after the process's own path when it stands unquoted.
std::wstring WatchdogRestartArguments(const std::wstring& commandLine, const std::wstring& path);

class WatchdogRules {
  public:
    // The machine's services (to stop and start those a process hosts), and the engine's exit
    // event, which ends every wait for a stopping service.
    void Start(ServiceTable& services, platform::RawHandle exitEvent) {
        services_ = &services;
        exitEvent_ = exitEvent;
    }
    // The per-record step.
    void Apply(const FeatureContext& context, ProcessRecord& record);

  private:
    void RefreshRules(const FeatureContext& context);
    void BuildList(const FeatureContext& context, ProcessRecord& record);
    bool ConditionHolds(const WatchdogRule& rule, ProcessRecord& record,
                        std::optional<platform::MemoryCounters>& memory) const;
    // False when the walk ends: the process is gone.
    bool Act(const FeatureContext& context, ProcessRecord& record, const WatchdogRule& rule,
             WatchdogEpisode& episode);
    enum class Termination { Ended, ServicesStopping, Failed };
    Termination Terminate(const FeatureContext& context, ProcessRecord& record);
    bool Restart(const FeatureContext& context, ProcessRecord& record, const WatchdogRule& rule,
                 FailureEpisodes& failures);
    bool StopServices(const std::vector<platform::ServiceStatusRow>& services);
    void Launch(const FeatureContext& context, const ProcessRecord& record,
                const WatchdogRule& rule, FailureEpisodes& failures);
    static std::wstring ThresholdText(const WatchdogRule& rule);

    ServiceTable* services_ = nullptr;
    platform::RawHandle exitEvent_ = nullptr;
    // The rules as loaded; the episodes point into them by position.
    std::vector<WatchdogRule> rules_;
    // The rules before the last reload, so that a rule the reload kept keeps its episodes.
    std::vector<WatchdogRule> previousRules_;
    std::uint32_t previousStamp_ = 0;
    std::uint32_t rulesStamp_ = 0;
    bool rulesRead_ = false;
};

}  // namespace cv
