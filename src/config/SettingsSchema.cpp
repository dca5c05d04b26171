#include <iterator>
#include <utility>

#include "config/SettingsKeys.h"

namespace cv::settings_keys {

namespace {

// The section and key texts are the member names themselves, so a field is always named as its
// key.
// clang-format off
#define CV_FIELD(section, key) \
    {L"" #section, L"" #key, +[](ConfigSections& s) -> auto& { return s.section.key; }}
#define CV_SPECIAL(section, key) \
    {L"" #section, L"" #key, \
     (static_cast<void>(sizeof(std::declval<ConfigSections&>().section.key)), Special::key)}
// clang-format on

constexpr KeyEntry kKeys[] = {
    CV_SPECIAL(Administration, Version),
    CV_FIELD(Administration, ConfigPasswordMD5),

    CV_FIELD(OutOfControlProcessRestraint, OocOn),
    CV_FIELD(OutOfControlProcessRestraint, ExcludeChildrenOfForeground),
    CV_FIELD(OutOfControlProcessRestraint, DisableLevelonWhenSysIdle),
    CV_FIELD(OutOfControlProcessRestraint, LevelonDropOneRandomCore),
    CV_FIELD(OutOfControlProcessRestraint, DoNotAdjustAffinityIfCustomized),
    CV_FIELD(OutOfControlProcessRestraint, OocDisableCoreParkingWhileIn),
    CV_FIELD(OutOfControlProcessRestraint, UseEfficiencyMode),
    CV_FIELD(OutOfControlProcessRestraint, DisableLevelonIfSysIdleThisManyMS),
    CV_FIELD(OutOfControlProcessRestraint, TotalProcessorUsageBeforeRestraint),
    CV_FIELD(OutOfControlProcessRestraint, PerProcessUsageBeforeRestraint),
    CV_FIELD(OutOfControlProcessRestraint, TimeOverQuotaBeforeRestraint),
    CV_FIELD(OutOfControlProcessRestraint, PerProcessUsageForRestore),
    CV_SPECIAL(OutOfControlProcessRestraint, PlayOnRestraint),
    CV_SPECIAL(OutOfControlProcessRestraint, PlayOnRestore),
    CV_FIELD(OutOfControlProcessRestraint, MinimumTimeOfRestraint),
    CV_FIELD(OutOfControlProcessRestraint, MaximumTimeOfRestraint),
    CV_FIELD(OutOfControlProcessRestraint, TameOnlyNormal),
    CV_FIELD(OutOfControlProcessRestraint, LowerToIdleInsteadOfBelowNormal),
    CV_FIELD(OutOfControlProcessRestraint, ExcludeServices),
    CV_FIELD(OutOfControlProcessRestraint, PlaySoundOnRestraint),
    CV_FIELD(OutOfControlProcessRestraint, PlaySoundOnRestore),
    CV_FIELD(OutOfControlProcessRestraint, RestrainByAffinity),
    CV_SPECIAL(OutOfControlProcessRestraint, RestraintAffinity),
    CV_FIELD(OutOfControlProcessRestraint, ExcludeForegroundProcesses2),
    CV_FIELD(OutOfControlProcessRestraint, DoNotLowerPriorityClass),
    CV_FIELD(OutOfControlProcessRestraint, LowerIOPriorityDuringRestraint),
    CV_FIELD(OutOfControlProcessRestraint, MatchExclusionsByPathnameToo),
    CV_FIELD(OutOfControlProcessRestraint, ChangeTrayIconOnRestraint),
    CV_SPECIAL(OutOfControlProcessRestraint, OocExclusions),
    CV_SPECIAL(OutOfControlProcessRestraint, OocHardCodedExclusionOverrides),

    CV_FIELD(GUI, ClearLogAtExit),
    CV_FIELD(GUI, ShowCPUCoreUtilGraphs),
    CV_FIELD(GUI, ShowGraphLegend),
    CV_FIELD(GUI, ShowGraphCPU),
    CV_FIELD(GUI, ShowGraphResponsiveness),
    CV_FIELD(GUI, ShowGraphMemoryLoad),
    CV_FIELD(GUI, ShowGraphLevelonEvents),
    CV_FIELD(GUI, ShowGraphSelectedProcessesCPUHistory),
    CV_FIELD(GUI, LevelonCountersOnGraph),
    CV_FIELD(GUI, ShowPowerProfile),
    CV_FIELD(GUI, GraphShowTooltips),
    CV_FIELD(GUI, ShowCPUUtilityAsPrimary),

    CV_FIELD(Advanced, AutomaticUpdate),

    CV_FIELD(Performance, DefaultsLevel),
    CV_FIELD(Performance, GracefulWaitTimeInMs),
    CV_FIELD(Performance, UpdateSpeedGUI),
    CV_FIELD(Performance, UpdateSpeedCore),

    CV_FIELD(Sampling, SamplingEnabled),
    CV_FIELD(Sampling, SamplingIntervalSeconds),
    CV_FIELD(Sampling, SamplingOutputPath),
    CV_FIELD(Sampling, SamplingIncludePattern),
    CV_FIELD(Sampling, SamplingExcludePattern),

    CV_FIELD(Performance, ManageOnlyCurrentUser),
    CV_FIELD(Performance, ExitOnCloseWindow),
    CV_FIELD(Performance, SoundsOff),
    CV_FIELD(Performance, IsConfigWritable),
    CV_FIELD(Performance, ForcedMode),
    CV_FIELD(Performance, IgnoreProblematicProcesses),
    CV_FIELD(Performance, IgnoreSuspendedProcesses),
    CV_SPECIAL(Performance, SetTimerResolutionAtStartup),

    CV_FIELD(ForegroundBoosting, BoostForegroundProcess),
    CV_SPECIAL(ForegroundBoosting, ForegroundBoostPriorityClass),
    CV_FIELD(ForegroundBoosting, BoostOnlyNormal),
    CV_SPECIAL(ForegroundBoosting, ForegroundBoostExclusions),

    CV_FIELD(SystemTrayIcon, UseStaticIcon),
    CV_FIELD(SystemTrayIcon, ShowResponsivnessInTrayInsteadOfProcessorUsage),

    CV_FIELD(Logging, LogDisable),
    CV_FIELD(Logging, IncludeCommandLines),
    CV_FIELD(Logging, LogCullmark),
    CV_FIELD(Logging, LogCPULimiter),
    CV_FIELD(Logging, LogEfficiencyMode),
    CV_FIELD(Logging, LogGroupExtender),
    CV_FIELD(Logging, LogCPUSets),
    CV_FIELD(Logging, LogLevelonParkingChanges),
    CV_FIELD(Logging, LogProcessExecutions),
    CV_FIELD(Logging, LogProcessTerminations),
    CV_FIELD(Logging, LogProcessesDisallowed),
    CV_FIELD(Logging, LogDefaultPriorityAdjustments),
    CV_FIELD(Logging, LogDefaultAffinityAdjustments),
    CV_FIELD(Logging, LogLevelonBegin),
    CV_FIELD(Logging, LogLevelonEnd),
    CV_FIELD(Logging, LogInstanceLimitTerminations),
    CV_FIELD(Logging, LogPowerProfileChanges),

    CV_FIELD(MemoryManagement, CullmarkIsEnabled),
    CV_FIELD(MemoryManagement, CullmarkWorkingSetTrims),
    CV_FIELD(MemoryManagement, CullmarkClearStandbyList),
    CV_FIELD(MemoryManagement, CullmarkClearFileCache),
    CV_FIELD(MemoryManagement, ClearStandbyFreeRAMThresholdMB),
    CV_FIELD(MemoryManagement, ClearStandbyOnlyInPerfMode),
    CV_SPECIAL(MemoryManagement, CullmarkExclusions),
    CV_FIELD(MemoryManagement, CullmarkAutoMinimumRAMLoad),
    CV_FIELD(MemoryManagement, MinimumProcessWSSInMb),
    CV_FIELD(MemoryManagement, CullmarkIntervalMins),

    CV_FIELD(SysTrayBalloons, EnableSystemTrayNotification),
    CV_FIELD(SysTrayBalloons, BalloonTipDuration),
    CV_FIELD(SysTrayBalloons, ShowBalloonsForOocPriorityRestoration),

    CV_FIELD(ProcessAllowances, ApplyInstanceCountLimitsToAllUsers),
    CV_SPECIAL(ProcessAllowances, AllowedProcesses),
    CV_SPECIAL(ProcessAllowances, DisallowedProcesses),
    CV_SPECIAL(ProcessAllowances, InstanceLimitedProcesses),
    CV_SPECIAL(ProcessAllowances, InstanceManagedCPUAffinities),
    CV_SPECIAL(ProcessAllowances, ProcessThrottles),
    CV_SPECIAL(ProcessAllowances, OneTimeProcessThrottles),
    CV_SPECIAL(ProcessAllowances, CPULimitRules),

    CV_SPECIAL(ProcessDefaults, NamedAffinities),
    CV_SPECIAL(ProcessDefaults, DefaultPriorities),
    CV_SPECIAL(ProcessDefaults, DefaultIOPriorities),
    CV_SPECIAL(ProcessDefaults, DefaultMemoryPriorities),
    CV_SPECIAL(ProcessDefaults, DisableThreadPriorityBoost),
    CV_SPECIAL(ProcessDefaults, DefaultAffinitiesEx),
    CV_SPECIAL(ProcessDefaults, CPUSets),
    CV_SPECIAL(ProcessDefaults, KeepRunningProcesses),

    CV_SPECIAL(ProcessAllowances, EfficiencyMode),

    CV_FIELD(ProcessDefaults, MatchWildcardsToPathnames),
    CV_FIELD(ProcessDefaults, MatchOnCommandLine),

    CV_FIELD(AdvancedRules, DivideCPUPercentThresholdsBySystemCPUCount),
    CV_SPECIAL(AdvancedRules, ProcessorGroupExtended),
    CV_SPECIAL(AdvancedRules, ProhibitInternetExplorerExceptWhenAny),
    CV_SPECIAL(AdvancedRules, WatchdogRules2),

    CV_FIELD(GamingMode, GamingModeEnabled),
    CV_FIELD(GamingMode, GamingChangePowerPlan),
    CV_FIELD(GamingMode, TargetPowerPlan),
    CV_FIELD(GamingMode, GamingModeEngageForSteam),
    CV_SPECIAL(GamingMode, AutomaticGamingModeProcessPaths),

    CV_FIELD(PowerManagement, StartWithPowerPlan),
    CV_SPECIAL(PowerManagement, Display),
    CV_SPECIAL(PowerManagement, PC),

    CV_SPECIAL(ProcessDefaults, DefaultPowerSchemes),

    CV_FIELD(PowerSaver, PowerSaver_IdleTime),
    CV_FIELD(PowerSaver, EnergySaverEnabled),
    CV_FIELD(PowerSaver, EnergySaverForceActivePowerProfile),
    CV_FIELD(PowerSaver, EnergySaverUpPowerProfileName),
    CV_FIELD(PowerSaver, EnergySaverEvents),
    CV_FIELD(PowerSaver, DisableEnergySaverDuringGamingMode),
    CV_SPECIAL(PowerSaver, PowerSaver_TargetGUID),
    CV_SPECIAL(PowerSaver, PowerSaver_Exclusions),
};

#undef CV_FIELD
#undef CV_SPECIAL

}  // namespace

std::span<const KeyEntry> AllKeys() {
    return kKeys;
}

}  // namespace cv::settings_keys
