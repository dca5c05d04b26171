#pragma once
// The settings of corvex.ini: one record per INI section with a field per key, named exactly as
// the key, and the rule lists each under its lock. ConfigSettings fills them from a
// ConfigDocument and writes them back in the fixed save order; finding, locking and
// rewriting the file is the storage code's.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "config/ConfigDocument.h"
#include "config/PowerPlanResolver.h"
#include "config/RuleLists.h"

namespace cv {

// Written as Version: the build stamp of this writer.
constexpr std::int32_t kConfigBuildStamp = 5990600;
// LevelonDefaultsApplied from this stamp on means the hybrid thresholds are in place.
constexpr std::uint32_t kHybridDefaultsStamp = 20240315;
inline constexpr wchar_t kDefaultTargetPowerPlan[] = L"Tarvel Highest Performance";

// RestraintAffinity: none, the processors of a mask, or the automatic choice. The choice is a
// flag of its own so that no mask, not even every processor but the first, reads as automatic.
struct RestraintAffinityChoice {
    bool automatic = false;
    std::uint64_t mask = 0;  // with automatic false, 0 is no restraint affinity
    bool operator==(const RestraintAffinityChoice&) const = default;
};

class SettingsFindings;

// A power plan chosen by name; the GUID is all zeros when the name did not resolve.
struct PowerPlanChoice {
    PlanGuid guid;
    std::wstring name;
    bool operator==(const PowerPlanChoice&) const = default;
};

// The comment after a list names the ConfigSettings lock that guards it; readers hold that lock
// for the whole look-up. Scalar fields are read without a lock.

struct AdministrationSection {
    std::int32_t Version = kConfigBuildStamp;  // never read
    std::wstring ConfigPasswordMD5;
    bool operator==(const AdministrationSection&) const = default;
};

struct OutOfControlProcessRestraintSection {
    // The thresholds and OocOn depend on the processors; ResetToDefaults sets them.
    bool OocOn = true;
    bool ExcludeChildrenOfForeground = true;
    bool DisableLevelonWhenSysIdle = false;
    bool LevelonDropOneRandomCore = false;
    bool DoNotAdjustAffinityIfCustomized = true;
    bool OocDisableCoreParkingWhileIn = false;
    bool UseEfficiencyMode = false;
    std::uint32_t DisableLevelonIfSysIdleThisManyMS = 30000;
    std::int32_t TotalProcessorUsageBeforeRestraint = 0;
    std::uint32_t PerProcessUsageBeforeRestraint = 0;
    std::uint32_t TimeOverQuotaBeforeRestraint = 0;
    std::uint32_t PerProcessUsageForRestore = 0;
    std::wstring PlayOnRestraint;
    std::wstring PlayOnRestore;
    std::uint32_t MinimumTimeOfRestraint = 7200;
    std::uint32_t MaximumTimeOfRestraint = 240000;
    bool TameOnlyNormal = true;
    bool LowerToIdleInsteadOfBelowNormal = false;
    bool ExcludeServices = true;
    bool PlaySoundOnRestraint = false;
    bool PlaySoundOnRestore = false;
    bool RestrainByAffinity = false;
    RestraintAffinityChoice RestraintAffinity;
    bool ExcludeForegroundProcesses2 = false;
    bool DoNotLowerPriorityClass = false;
    bool LowerIOPriorityDuringRestraint = false;
    bool MatchExclusionsByPathnameToo = false;
    bool ChangeTrayIconOnRestraint = true;
    NameSet OocExclusions;                    // ExclusionMutex
    NameList OocHardCodedExclusionOverrides;  // no lock: only the control thread uses it
    bool operator==(const OutOfControlProcessRestraintSection&) const = default;
};

struct GUISection {
    bool ClearLogAtExit = false;
    bool ShowCPUCoreUtilGraphs = true;
    bool ShowGraphLegend = true;
    bool ShowGraphCPU = true;
    bool ShowGraphResponsiveness = true;
    bool ShowGraphMemoryLoad = true;
    bool ShowGraphLevelonEvents = true;
    bool ShowGraphSelectedProcessesCPUHistory = true;
    bool LevelonCountersOnGraph = true;
    bool ShowPowerProfile = true;
    bool GraphShowTooltips = true;
    bool ShowCPUUtilityAsPrimary = true;
    // Process icons hidden in the user interface; saved as the registry value ShowProcessIcons.
    bool HideViewProcessIcons2 = false;
    bool operator==(const GUISection&) const = default;
};

struct AdvancedSection {
    bool AutomaticUpdate = false;  // handed over to the registry value UpdatePromptless
    bool operator==(const AdvancedSection&) const = default;
};

struct PerformanceSection {
    std::int32_t DefaultsLevel = 327942;
    std::uint32_t GracefulWaitTimeInMs = 5000;
    std::int32_t UpdateSpeedGUI = 1000;
    std::int32_t UpdateSpeedCore = 1000;
    bool ManageOnlyCurrentUser = false;
    bool ExitOnCloseWindow = false;
    bool SoundsOff = true;
    bool IsConfigWritable = true;
    bool ForcedMode = false;
    bool IgnoreProblematicProcesses = false;
    bool IgnoreSuspendedProcesses = false;
    std::uint32_t SetTimerResolutionAtStartup = 0;
    bool operator==(const PerformanceSection&) const = default;
};

struct SamplingSection {
    bool SamplingEnabled = false;
    std::uint32_t SamplingIntervalSeconds = 900;
    std::wstring SamplingOutputPath;
    std::wstring SamplingIncludePattern;  // "*" when the key is absent from a file
    std::wstring SamplingExcludePattern;
    bool operator==(const SamplingSection&) const = default;
};

struct ForegroundBoostingSection {
    bool BoostForegroundProcess = false;
    std::uint32_t ForegroundBoostPriorityClass = 0x8000;
    bool BoostOnlyNormal = true;
    NameList ForegroundBoostExclusions;  // no lock: only the control thread uses it
    bool operator==(const ForegroundBoostingSection&) const = default;
};

struct SystemTrayIconSection {
    bool UseStaticIcon = false;
    bool ShowResponsivnessInTrayInsteadOfProcessorUsage = false;
    bool operator==(const SystemTrayIconSection&) const = default;
};

struct LoggingSection {
    bool LogDisable = false;
    bool IncludeCommandLines = false;
    bool LogCullmark = true;
    bool LogCPULimiter = true;
    bool LogEfficiencyMode = true;
    bool LogGroupExtender = true;
    bool LogCPUSets = true;
    bool LogLevelonParkingChanges = true;
    bool LogProcessExecutions = false;
    bool LogProcessTerminations = false;
    bool LogProcessesDisallowed = true;
    bool LogDefaultPriorityAdjustments = true;
    bool LogDefaultAffinityAdjustments = true;
    bool LogLevelonBegin = true;
    bool LogLevelonEnd = true;
    bool LogInstanceLimitTerminations = true;
    bool LogPowerProfileChanges = true;
    bool operator==(const LoggingSection&) const = default;
};

struct MemoryManagementSection {
    bool CullmarkIsEnabled = false;
    bool CullmarkWorkingSetTrims = false;
    bool CullmarkClearStandbyList = false;
    bool CullmarkClearFileCache = false;
    std::uint32_t ClearStandbyFreeRAMThresholdMB = 1024;
    bool ClearStandbyOnlyInPerfMode = true;
    NameList CullmarkExclusions;  // TrimListLock
    std::int32_t CullmarkAutoMinimumRAMLoad = 65;
    std::int32_t MinimumProcessWSSInMb = 384;
    std::int32_t CullmarkIntervalMins = 15;
    bool operator==(const MemoryManagementSection&) const = default;
};

struct SysTrayBalloonsSection {
    bool EnableSystemTrayNotification = false;
    std::int32_t BalloonTipDuration = 10000;
    bool ShowBalloonsForOocPriorityRestoration = false;
    bool operator==(const SysTrayBalloonsSection&) const = default;
};

struct ProcessAllowancesSection {
    bool ApplyInstanceCountLimitsToAllUsers = false;
    NameList AllowedProcesses;                                 // RuleListMutex
    NameList DisallowedProcesses;                              // RuleListMutex
    std::vector<InstanceLimitRule> InstanceLimitedProcesses;   // InstanceLimitMutex
    InstanceBalancerMap InstanceManagedCPUAffinities;          // RuleListMutex
    std::vector<ThrottleRule> ProcessThrottles;                // ThrottleLock
    std::vector<OneTimeThrottleRule> OneTimeProcessThrottles;  // OneTimeThrottleLock
    std::vector<CpuLimitRule> CPULimitRules;                   // RuleListMutex
    std::vector<ValueRule> EfficiencyMode;                     // RuleListMutex
    bool operator==(const ProcessAllowancesSection&) const = default;
};

struct ProcessDefaultsSection {
    NamedAffinityMap NamedAffinities;                   // RuleListMutex
    std::vector<PriorityRule> DefaultPriorities;        // RuleListMutex
    std::vector<ValueRule> DefaultIOPriorities;         // RuleListMutex
    std::vector<ValueRule> DefaultMemoryPriorities;     // RuleListMutex
    NameList DisableThreadPriorityBoost;                // RuleListMutex
    std::vector<AffinityRule> DefaultAffinitiesEx;      // RuleListMutex
    std::vector<CpuSetRule> CPUSets;                    // RuleListMutex
    std::vector<KeepRunningRule> KeepRunningProcesses;  // KeepRunningLock
    bool MatchWildcardsToPathnames = true;
    bool MatchOnCommandLine = false;
    std::vector<PowerSchemeRule> DefaultPowerSchemes;  // PowerSchemeLock
    // Its entries whose plan did not resolve, as "pattern;plan" texts, kept for the next save.
    std::vector<std::wstring> DefaultPowerSchemesUnresolved;  // PowerSchemeLock
    bool operator==(const ProcessDefaultsSection&) const = default;
};

struct AdvancedRulesSection {
    bool DivideCPUPercentThresholdsBySystemCPUCount = false;
    NameSet ProcessorGroupExtended;                  // RuleListMutex
    NameList ProhibitInternetExplorerExceptWhenAny;  // RuleListMutex
    std::vector<WatchdogRule> WatchdogRules2;        // RuleListMutex
    bool operator==(const AdvancedRulesSection&) const = default;
};

struct GamingModeSection {
    bool GamingModeEnabled = false;
    bool GamingChangePowerPlan = true;
    std::wstring TargetPowerPlan = kDefaultTargetPowerPlan;
    bool GamingModeEngageForSteam = true;
    NameList AutomaticGamingModeProcessPaths;  // TrimListLock
    bool operator==(const GamingModeSection&) const = default;
};

struct PowerManagementSection {
    std::wstring StartWithPowerPlan;
    NameList Display;  // PreventSleepLock
    NameList PC;       // PreventSleepLock
    bool operator==(const PowerManagementSection&) const = default;
};

struct PowerSaverSection {
    std::int32_t PowerSaver_IdleTime = 300;  // seconds; 0 when the key is absent from a file
    bool EnergySaverEnabled = false;
    bool EnergySaverForceActivePowerProfile = false;
    std::wstring EnergySaverUpPowerProfileName;
    bool EnergySaverEvents = true;
    bool DisableEnergySaverDuringGamingMode = true;
    PowerPlanChoice PowerSaver_TargetGUID;  // holds a plan name despite the key's name
    NameList PowerSaver_Exclusions;         // RuleListMutex
    bool operator==(const PowerSaverSection&) const = default;
};

// Every section's record; copyable and comparable, without the locks.
struct ConfigSections {
    AdministrationSection Administration;
    OutOfControlProcessRestraintSection OutOfControlProcessRestraint;
    GUISection GUI;
    AdvancedSection Advanced;
    PerformanceSection Performance;
    SamplingSection Sampling;
    ForegroundBoostingSection ForegroundBoosting;
    SystemTrayIconSection SystemTrayIcon;
    LoggingSection Logging;
    MemoryManagementSection MemoryManagement;
    SysTrayBalloonsSection SysTrayBalloons;
    ProcessAllowancesSection ProcessAllowances;
    ProcessDefaultsSection ProcessDefaults;
    AdvancedRulesSection AdvancedRules;
    GamingModeSection GamingMode;
    PowerManagementSection PowerManagement;
    PowerSaverSection PowerSaver;
    bool operator==(const ConfigSections&) const = default;
};

struct ProcessorFacts {
    std::uint32_t activeProcessors = 0;  // logical processors over all groups
    bool hybrid = false;                 // more than one efficiency class
    // Processors of group 0 whose efficiency class is below the highest one.
    std::uint32_t efficientProcessorsGroup0 = 0;
};

// The Levelon values that depend on the processors.
struct LevelonDefaults {
    std::int32_t TotalProcessorUsageBeforeRestraint = 0;
    std::uint32_t PerProcessUsageBeforeRestraint = 0;
    std::uint32_t PerProcessUsageForRestore = 0;
    std::uint32_t TimeOverQuotaBeforeRestraint = 0;
    std::uint32_t MinimumTimeOfRestraint = 0;
    std::uint32_t MaximumTimeOfRestraint = 0;
    bool OocOn = false;
    bool operator==(const LevelonDefaults&) const = default;
};
LevelonDefaults ComputeLevelonDefaults(const ProcessorFacts& processors);

// What the defaults and the reading depend on, given before the first load.
struct SettingsEnvironment {
    ProcessorFacts processors;
    // Server editions do not take ExcludeForegroundProcesses2 from the older key.
    bool serverEdition = false;
    // Default sounds are looked for next to this executable, then in <windowsFolder>\media.
    // An empty folder is not searched; without fileExists no file is found.
    std::wstring executablePath;
    std::wstring windowsFolder;
    std::function<bool(const std::wstring& path)> fileExists;
    PowerPlanResolver powerPlans;
};

// The rule lists, and the switches that say how they match, as one load (or one run-time change)
// left them. Immutable once published: readers hold a set for as long as they use it and read it
// without any lock, while the next load builds and publishes another.
struct RuleSet : ConfigSections {
    // The rule generation the set was built under: what kept match results are checked against.
    std::uint64_t generation = 0;
};

class ConfigSettings : public ConfigSections {
  public:
    explicit ConfigSettings(SettingsEnvironment settingsEnvironment = {});
    ConfigSettings(const ConfigSettings&) = delete;
    ConfigSettings& operator=(const ConfigSettings&) = delete;

    // Every field to its default, every rule list empty.
    void ResetToDefaults();
    // Every key from the document; lists are built aside and swapped in under their locks, with
    // their duplicates already removed. Never fails. What is read is what WriteSettings writes,
    // so a save changes no setting. With findings, everything that reading drops, clamps or
    // rewrites is reported there, and reading has no side effects: no registry value is
    // written and no message is shown.
    void ReadSettings(const ConfigDocument& document, SettingsFindings* findings = nullptr);
    // Appends every key in save order. Also stores ShowProcessIcons in the registry.
    void WriteSettings(ConfigDocument& document) const;
    // Empties every rule list, each under its lock.
    void ClearRuleLists();

    SettingsEnvironment environment;

    // Whether the last read took an instance limit, and a throttle of either throttle list.
    bool instanceLimitsPresent = false;
    bool throttlesPresent = false;

    // Moves on whenever a rule list, or a setting that changes how the lists match, may have
    // been replaced, so that match results processes keep are looked up again. Unique across
    // every settings object of the process, and never 0.
    std::uint64_t RulesGeneration() const { return rulesGeneration_.load(std::memory_order_acquire); }
    void NoteRulesChanged() const;

    // The set published last. The control loop takes it once per cycle, other threads once per
    // pass: one short lock, never one per process.
    std::shared_ptr<const RuleSet> Rules() const;
    // A set built now from the lists as they stand, each copied under its lock; not published.
    std::shared_ptr<const RuleSet> BuildRules() const;
    // Builds a set and publishes it in one step. Only the thread that loads the settings
    // publishes (a load and ClearRuleLists do at their end), as only it writes the switches the
    // set copies.
    void PublishRules() const;
    // Another thread changed a list in place (under the list's lock): the loading thread
    // publishes it with PublishIfRequested, before it next takes the set.
    void RequestPublish() const { publishRequested_.store(true, std::memory_order_release); }
    void PublishIfRequested() const;

    // Kept by the storage code: tick count at the end of the last load, and whether one succeeded.
    std::uint32_t loadStamp = 3;
    bool loadedOnce = false;

    // Windows mutexes and critical sections both let their owner enter again, and one lock
    // guards many lists, so a family may look up a second list under the lock it holds.
    mutable std::recursive_mutex RuleListMutex;
    mutable std::recursive_mutex ExclusionMutex;
    mutable std::recursive_mutex InstanceLimitMutex;
    mutable std::recursive_mutex ThrottleLock;
    mutable std::recursive_mutex OneTimeThrottleLock;
    mutable std::recursive_mutex KeepRunningLock;
    mutable std::recursive_mutex PowerSchemeLock;
    mutable std::recursive_mutex TrimListLock;
    mutable std::recursive_mutex PreventSleepLock;

  private:
    mutable std::atomic<std::uint64_t> rulesGeneration_{0};
    // Guards published_ and is held while a set is built, so two publishers never interleave.
    mutable std::mutex publishLock_;
    mutable std::shared_ptr<const RuleSet> published_;
    mutable std::atomic<bool> publishRequested_{false};
};

// Post-update step for hybrid processors: once (tracked by the registry value
// LevelonDefaultsApplied), raise the restraint thresholds to at least the hybrid defaults and
// cap MinimumTimeOfRestraint at 3600. True when it changed the bounds.
bool ApplyHybridThresholdUpgrade(ConfigSettings& settings);

}  // namespace cv
