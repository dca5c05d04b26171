#include "config/ConfigSettings.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigCheck.h"
#include "config/ProcessMatch.h"
#include "config/RuleListText.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "texts/Language.h"
#include "texts/Messages.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr std::uint32_t kAutomaticAffinityText = 825;
constexpr std::uint32_t kKeepRunningSyntaxText = 446;
constexpr std::uint32_t kCaptionText = 214;
constexpr wchar_t kPowerSchemeSyntaxMessage[] =
    L"Syntax error in INI file for application power profiles!";
// The English text of 825, accepted as well so that a language change does not turn the
// automatic choice into processor 0.
constexpr wchar_t kEnglishAutomaticWord[] = L"Automatic";
constexpr std::array<std::uint32_t, 6> kPriorityNameTexts = {243, 244, 245, 247, 246, 248};

// Keys whose reading or writing is more than a plain conversion; named as the keys.
enum class Special {
    Version,
    PlayOnRestraint,
    PlayOnRestore,
    RestraintAffinity,
    ForegroundBoostPriorityClass,
    SetTimerResolutionAtStartup,
    PowerSaver_TargetGUID,
    // Rule lists.
    OocExclusions,
    OocHardCodedExclusionOverrides,
    ForegroundBoostExclusions,
    CullmarkExclusions,
    AllowedProcesses,
    DisallowedProcesses,
    InstanceLimitedProcesses,
    InstanceManagedCPUAffinities,
    ProcessThrottles,
    OneTimeProcessThrottles,
    CPULimitRules,
    NamedAffinities,
    DefaultPriorities,
    DefaultIOPriorities,
    DefaultMemoryPriorities,
    DisableThreadPriorityBoost,
    DefaultAffinitiesEx,
    CPUSets,
    KeepRunningProcesses,
    EfficiencyMode,
    ProcessorGroupExtended,
    ProhibitInternetExplorerExceptWhenAny,
    WatchdogRules2,
    AutomaticGamingModeProcessPaths,
    Display,
    PC,
    DefaultPowerSchemes,
    PowerSaver_Exclusions,
};

using BoolField = bool& (*)(ConfigSections&);
using IntField = std::int32_t& (*)(ConfigSections&);
using UintField = std::uint32_t& (*)(ConfigSections&);
using TextField = std::wstring& (*)(ConfigSections&);
using FieldRef = std::variant<BoolField, IntField, UintField, TextField, Special>;

struct KeyEntry {
    const wchar_t* section;
    const wchar_t* key;
    FieldRef field;
};

// The section and key texts are the member names themselves, so a field is always named as its
// key.
// clang-format off
#define CV_FIELD(section, key) \
    {L"" #section, L"" #key, +[](ConfigSections& s) -> auto& { return s.section.key; }}
#define CV_SPECIAL(section, key) \
    {L"" #section, L"" #key, \
     (static_cast<void>(sizeof(std::declval<ConfigSections&>().section.key)), Special::key)}
// clang-format on

// Every key in save order.
const KeyEntry kKeys[] = {
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

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// The lock that guards a rule list; none for the two lists only the control thread touches and
// for keys that are not lists.
std::recursive_mutex* LockOf(const ConfigSettings& settings, Special key) {
    switch (key) {
        case Special::OocExclusions:
            return &settings.ExclusionMutex;
        case Special::InstanceLimitedProcesses:
            return &settings.InstanceLimitMutex;
        case Special::ProcessThrottles:
            return &settings.ThrottleLock;
        case Special::OneTimeProcessThrottles:
            return &settings.OneTimeThrottleLock;
        case Special::KeepRunningProcesses:
            return &settings.KeepRunningLock;
        case Special::DefaultPowerSchemes:
            return &settings.PowerSchemeLock;
        case Special::CullmarkExclusions:
        case Special::AutomaticGamingModeProcessPaths:
            return &settings.TrimListLock;
        case Special::Display:
        case Special::PC:
            return &settings.PreventSleepLock;
        case Special::PowerSaver_Exclusions:
        case Special::ProcessorGroupExtended:
        case Special::ProhibitInternetExplorerExceptWhenAny:
        case Special::AllowedProcesses:
        case Special::DisallowedProcesses:
        case Special::InstanceManagedCPUAffinities:
        case Special::CPULimitRules:
        case Special::NamedAffinities:
        case Special::DefaultPriorities:
        case Special::DefaultIOPriorities:
        case Special::DefaultMemoryPriorities:
        case Special::DefaultAffinitiesEx:
        case Special::CPUSets:
        case Special::DisableThreadPriorityBoost:
        case Special::EfficiencyMode:
        case Special::WatchdogRules2:
            return &settings.RuleListMutex;
        default:
            return nullptr;
    }
}

// Calls visit with the container of a rule list; false for keys that are not lists.
template <typename Visit>
bool VisitList(ConfigSections& s, Special key, Visit visit) {
    switch (key) {
        case Special::OocExclusions:
            visit(s.OutOfControlProcessRestraint.OocExclusions);
            break;
        case Special::OocHardCodedExclusionOverrides:
            visit(s.OutOfControlProcessRestraint.OocHardCodedExclusionOverrides);
            break;
        case Special::ForegroundBoostExclusions:
            visit(s.ForegroundBoosting.ForegroundBoostExclusions);
            break;
        case Special::CullmarkExclusions:
            visit(s.MemoryManagement.CullmarkExclusions);
            break;
        case Special::AllowedProcesses:
            visit(s.ProcessAllowances.AllowedProcesses);
            break;
        case Special::DisallowedProcesses:
            visit(s.ProcessAllowances.DisallowedProcesses);
            break;
        case Special::InstanceLimitedProcesses:
            visit(s.ProcessAllowances.InstanceLimitedProcesses);
            break;
        case Special::InstanceManagedCPUAffinities:
            visit(s.ProcessAllowances.InstanceManagedCPUAffinities);
            break;
        case Special::ProcessThrottles:
            visit(s.ProcessAllowances.ProcessThrottles);
            break;
        case Special::OneTimeProcessThrottles:
            visit(s.ProcessAllowances.OneTimeProcessThrottles);
            break;
        case Special::CPULimitRules:
            visit(s.ProcessAllowances.CPULimitRules);
            break;
        case Special::EfficiencyMode:
            visit(s.ProcessAllowances.EfficiencyMode);
            break;
        case Special::NamedAffinities:
            visit(s.ProcessDefaults.NamedAffinities);
            break;
        case Special::DefaultPriorities:
            visit(s.ProcessDefaults.DefaultPriorities);
            break;
        case Special::DefaultIOPriorities:
            visit(s.ProcessDefaults.DefaultIOPriorities);
            break;
        case Special::DefaultMemoryPriorities:
            visit(s.ProcessDefaults.DefaultMemoryPriorities);
            break;
        case Special::DisableThreadPriorityBoost:
            visit(s.ProcessDefaults.DisableThreadPriorityBoost);
            break;
        case Special::DefaultAffinitiesEx:
            visit(s.ProcessDefaults.DefaultAffinitiesEx);
            break;
        case Special::CPUSets:
            visit(s.ProcessDefaults.CPUSets);
            break;
        case Special::KeepRunningProcesses:
            visit(s.ProcessDefaults.KeepRunningProcesses);
            break;
        case Special::DefaultPowerSchemes:
            visit(s.ProcessDefaults.DefaultPowerSchemes);
            break;
        case Special::ProcessorGroupExtended:
            visit(s.AdvancedRules.ProcessorGroupExtended);
            break;
        case Special::ProhibitInternetExplorerExceptWhenAny:
            visit(s.AdvancedRules.ProhibitInternetExplorerExceptWhenAny);
            break;
        case Special::WatchdogRules2:
            visit(s.AdvancedRules.WatchdogRules2);
            break;
        case Special::AutomaticGamingModeProcessPaths:
            visit(s.GamingMode.AutomaticGamingModeProcessPaths);
            break;
        case Special::Display:
            visit(s.PowerManagement.Display);
            break;
        case Special::PC:
            visit(s.PowerManagement.PC);
            break;
        case Special::PowerSaver_Exclusions:
            visit(s.PowerSaver.PowerSaver_Exclusions);
            break;
        default:
            return false;
    }
    return true;
}

// Replaces a list with one built aside, under the list's lock when it has one.
template <typename Container>
void Publish(const ConfigSettings& settings, Special key, Container& target, Container fresh) {
    // Each pattern is prepared (its expression compiled) before the list is in use.
    for (const auto& rule : fresh) {
        if constexpr (requires { PatternOf(rule); }) {
            PreparePattern(PatternOf(rule));
        }
    }
    if (std::recursive_mutex* lock = LockOf(settings, key)) {
        std::lock_guard guard(*lock);
        target = std::move(fresh);
        settings.NoteRulesChanged();
    } else {
        target = std::move(fresh);
        settings.NoteRulesChanged();
    }
}

template <typename Build>
std::wstring UnderLock(const ConfigSettings& settings, Special key, Build build) {
    if (std::recursive_mutex* lock = LockOf(settings, key)) {
        std::lock_guard guard(*lock);
        return build();
    }
    return build();
}

// Regular-expression rules that can never match, or whose search may be cut.
void ReportRegexRules(ConfigSettings& settings, SettingsFindings& findings) {
    static constexpr Special kRegexLists[] = {
        Special::DefaultPriorities,   Special::DefaultIOPriorities,
        Special::DefaultMemoryPriorities, Special::CPUSets,
        Special::EfficiencyMode,      Special::DefaultAffinitiesEx,
        Special::AllowedProcesses,    Special::DisallowedProcesses,
        Special::ProhibitInternetExplorerExceptWhenAny, Special::OocExclusions,
        Special::CPULimitRules,       Special::ProcessorGroupExtended,
        Special::WatchdogRules2,      Special::InstanceManagedCPUAffinities,
    };
    for (const auto& entry : kKeys) {
        const auto* key = std::get_if<Special>(&entry.field);
        if (key == nullptr || std::find(std::begin(kRegexLists), std::end(kRegexLists), *key) ==
                                  std::end(kRegexLists)) {
            continue;
        }
        VisitList(settings, *key, [&](const auto& list) {
            if constexpr (requires { PatternOf(*std::begin(list)); }) {
                for (const auto& rule : list) {
                    const auto expression = ExtractRegex(PatternText(rule));
                    if (!expression) {
                        continue;
                    }
                    auto sink = findings.ForKey(entry.section, entry.key);
                    if (SearchRegex(*expression, L"") == RegexOutcome::kUnusable) {
                        sink.Report(FindingKind::kDropped,
                                    L"the regular expression `" + *expression +
                                        L"` is empty, does not compile or is too large; its "
                                        L"rule matches nothing");
                    } else if (const std::wstring risk = RegexCutRisk(*expression);
                               !risk.empty()) {
                        sink.Report(FindingKind::kLimited,
                                    L"the regular expression `" + *expression + L"` " + risk);
                    }
                }
            }
        });
    }
}

void ApplyLevelonDefaults(ConfigSections& sections, const LevelonDefaults& defaults) {
    auto& ooc = sections.OutOfControlProcessRestraint;
    ooc.TotalProcessorUsageBeforeRestraint = defaults.TotalProcessorUsageBeforeRestraint;
    ooc.PerProcessUsageBeforeRestraint = defaults.PerProcessUsageBeforeRestraint;
    ooc.PerProcessUsageForRestore = defaults.PerProcessUsageForRestore;
    ooc.TimeOverQuotaBeforeRestraint = defaults.TimeOverQuotaBeforeRestraint;
    ooc.MinimumTimeOfRestraint = defaults.MinimumTimeOfRestraint;
    ooc.MaximumTimeOfRestraint = defaults.MaximumTimeOfRestraint;
    ooc.OocOn = defaults.OocOn;
}

// GetConfigString returns its default untrimmed and a present value trimmed, so a lone blank
// as the default tells an absent key from an empty one.
std::optional<std::wstring> ReadIfPresent(const std::wstring& section, const std::wstring& key,
                                          const ConfigDocument& document) {
    std::wstring value = GetConfigString(section, key, L" ", document);
    if (value == L" ") {
        return std::nullopt;
    }
    return value;
}

std::wstring ReadList(const std::wstring& section, const std::wstring& key,
                      const ConfigDocument& document) {
    return GetConfigString(section, key, nullptr, document);
}

std::wstring AutomaticAffinityWord() {
    std::wstring word = LoadResourceString(kAutomaticAffinityText);
    return word.empty() ? std::wstring(kEnglishAutomaticWord) : word;
}

PriorityClassNames LoadPriorityClassNames() {
    PriorityClassNames names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = LoadResourceString(kPriorityNameTexts[i]);
    }
    return names;
}

// Only the other programs that read the configuration show list errors; the engine runs
// unattended.
void ReportListError(const std::wstring& text) {
    const std::wstring image = platform::OwnImagePath();
    const std::size_t slash = image.find_last_of(L"\\/");
    const std::wstring baseName = slash == std::wstring::npos ? image : image.substr(slash + 1);
    if (EqualsIgnoreCase(baseName, L"vigilor.exe")) {
        return;
    }
    ShowMessage({text, LoadResourceString(kCaptionText), platform::kMbIconError});
}

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The current sound when its file exists, else the first candidate found next to the
// executable or in the Windows media folder, else empty.
std::wstring ChooseSound(const std::wstring& current, std::initializer_list<const wchar_t*> names,
                         const SettingsEnvironment& environment) {
    const auto exists = [&](const std::wstring& path) {
        return environment.fileExists && environment.fileExists(path);
    };
    if (!current.empty() && exists(current)) {
        return current;
    }
    const std::wstring programFolder = FolderOf(environment.executablePath);
    for (const wchar_t* name : names) {
        if (!programFolder.empty() && exists(programFolder + name)) {
            return programFolder + name;
        }
        if (!environment.windowsFolder.empty()) {
            const std::wstring media = environment.windowsFolder + L"\\media" + name;
            if (exists(media)) {
                return media;
            }
        }
    }
    return std::wstring();
}

// The name the power-plan service gives the plan now, else the one it was chosen by.
std::wstring CurrentPlanName(const PowerPlanResolver& plans, const PlanGuid& plan,
                             const std::wstring& chosenName) {
    const std::optional<std::wstring> name = plans.NameOf(plan);
    return name && !name->empty() ? *name : chosenName;
}

bool IsKnownGuiUpdateSpeed(std::int32_t value) {
    constexpr std::int32_t kSpeeds[] = {0, 250, 500, 1000, 2000, 5000, 10000};
    return std::find(std::begin(kSpeeds), std::end(kSpeeds), value) != std::end(kSpeeds);
}

// "0x%x" when the text holds "0x" (it must then start with it), else "%u".
std::optional<std::uint32_t> ParsePriorityClassValue(const std::wstring& value, FindingSink* sink) {
    const std::wstring text = AsciiLower(value);
    const bool hex = text.find(L"0x") != std::wstring::npos;
    const std::wstring_view digits =
        hex ? std::wstring_view(text).substr(StartsWith(text, L"0x") ? 2 : text.size())
            : std::wstring_view(text);
    const std::optional<std::uint64_t> parsed = ScanUnsigned(digits, hex ? 16 : 10, UINT32_MAX);
    if (!parsed) {
        if (sink != nullptr) {
            sink->Report(FindingKind::kDefaulted, Quoted(value) +
                                                      L" is not a priority class number; the class "
                                                      L"stays as it was");
        }
        return std::nullopt;
    }
    ReadUnsignedField(digits, hex ? 16 : 10, UINT32_MAX, L"", sink);
    return static_cast<std::uint32_t>(*parsed);
}

std::optional<SettingsFindings::Key> FindingsFor(SettingsFindings* findings,
                                                 std::wstring_view section, std::wstring_view key) {
    if (findings == nullptr) {
        return std::nullopt;
    }
    return findings->ForKey(section, key);
}

FindingSink* SinkOf(std::optional<SettingsFindings::Key>& key) {
    return key ? &*key : nullptr;
}

void CheckBoolValue(const std::wstring& value, FindingSink& sink) {
    if (EqualsIgnoreCase(value, L"true") || EqualsIgnoreCase(value, L"false")) {
        return;
    }
    sink.Report(FindingKind::kDefaulted,
                value.empty() ? std::wstring(L"is empty; read as false")
                              : Quoted(value) + L" is neither true nor false; read as false");
}

// Present but empty reads as 0, which surprises when the default is something else.
void CheckNumberValue(const std::wstring& value, const std::wstring& defaultText,
                      FindingSink& sink) {
    if (value.empty()) {
        if (defaultText != L"0") {
            sink.Report(FindingKind::kUnparsed,
                        L"is empty; read as 0, not as the default " + defaultText);
        }
        return;
    }
    CheckDecimalText(value, L"", &sink);
}

struct NamesValue {
    std::wstring value;
    FindingSink* findings = nullptr;
};

void PublishNames(ConfigSettings& settings, Special key, NameList& target,
                  const NameListFormat& format, std::initializer_list<NamesValue> values,
                  FindingSink* findings) {
    NameList names;
    for (const NamesValue& value : values) {
        ReadNameList(value.value, format, names, value.findings);
    }
    if (format.dedupeOnRead) {
        RemoveDuplicateNames(names, findings);
    }
    Publish(settings, key, target, std::move(names));
}

void ReadRuleList(ConfigSettings& s, Special key, const std::wstring& value,
                  const ConfigDocument& document, const PriorityClassNames& priorityNames,
                  FindingSink* sink, SettingsFindings* findings) {
    auto& ooc = s.OutOfControlProcessRestraint;
    auto& allowances = s.ProcessAllowances;
    auto& defaults = s.ProcessDefaults;
    const auto names = [&](NameList& target, const NameListFormat& format) {
        PublishNames(s, key, target, format, {{value, sink}}, sink);
    };
    // The entries of an older key are reported under that key's own line.
    const auto older = [&](const wchar_t* section, const wchar_t* olderKey) {
        return FindingsFor(findings, section, olderKey);
    };
    switch (key) {
        case Special::OocExclusions:
            Publish(s, key, ooc.OocExclusions, ReadNameSet(value, kOocExclusionsFormat, sink));
            break;
        case Special::OocHardCodedExclusionOverrides:
            names(ooc.OocHardCodedExclusionOverrides, kOocHardCodedExclusionOverridesFormat);
            break;
        case Special::ForegroundBoostExclusions:
            names(s.ForegroundBoosting.ForegroundBoostExclusions, kForegroundBoostExclusionsFormat);
            break;
        case Special::CullmarkExclusions:
            names(s.MemoryManagement.CullmarkExclusions, kCullmarkExclusionsFormat);
            break;
        case Special::AllowedProcesses:
            names(allowances.AllowedProcesses, kAllowedProcessesFormat);
            break;
        case Special::DisallowedProcesses:
            names(allowances.DisallowedProcesses, kDisallowedProcessesFormat);
            break;
        case Special::InstanceLimitedProcesses:
            Publish(s, key, allowances.InstanceLimitedProcesses, ReadInstanceLimits(value, sink));
            break;
        case Special::InstanceManagedCPUAffinities:
            Publish(s, key, allowances.InstanceManagedCPUAffinities,
                    ReadInstanceBalancer(value, sink));
            break;
        case Special::ProcessThrottles:
            Publish(s, key, allowances.ProcessThrottles, ReadThrottles(value, sink));
            break;
        case Special::OneTimeProcessThrottles:
            Publish(s, key, allowances.OneTimeProcessThrottles, ReadOneTimeThrottles(value, sink));
            break;
        case Special::CPULimitRules:
            Publish(s, key, allowances.CPULimitRules, ReadCpuLimitRules(value, sink));
            break;
        case Special::EfficiencyMode:
            Publish(s, key, allowances.EfficiencyMode, ReadEfficiencyModes(value, sink));
            break;
        case Special::NamedAffinities:
            Publish(s, key, defaults.NamedAffinities, ReadNamedAffinities(value, sink));
            break;
        case Special::DefaultPriorities:
            Publish(s, key, defaults.DefaultPriorities,
                    ReadDefaultPriorities(value, priorityNames, sink));
            break;
        case Special::DefaultIOPriorities:
            Publish(s, key, defaults.DefaultIOPriorities, ReadDefaultIoPriorities(value, sink));
            break;
        case Special::DefaultMemoryPriorities:
            Publish(s, key, defaults.DefaultMemoryPriorities,
                    ReadDefaultMemoryPriorities(value, sink));
            break;
        case Special::DisableThreadPriorityBoost: {
            auto olderFindings = older(L"ProcessDefaults", L"DisableThreadPriorityBoostBoost");
            PublishNames(
                s, key, defaults.DisableThreadPriorityBoost, kDisableThreadPriorityBoostFormat,
                {{ReadList(L"ProcessDefaults", L"DisableThreadPriorityBoostBoost", document),
                  SinkOf(olderFindings)},
                 {value, sink}},
                sink);
            break;
        }
        case Special::DefaultAffinitiesEx: {
            auto olderFindings = older(L"ProcessDefaults", L"DefaultAffinities");
            Publish(
                s, key, defaults.DefaultAffinitiesEx,
                ReadDefaultAffinities(ReadList(L"ProcessDefaults", L"DefaultAffinities", document),
                                      value, SinkOf(olderFindings), sink));
            break;
        }
        case Special::CPUSets:
            Publish(s, key, defaults.CPUSets, ReadCpuSets(value, sink));
            break;
        case Special::KeepRunningProcesses: {
            std::size_t malformed = 0;
            Publish(s, key, defaults.KeepRunningProcesses,
                    ReadKeepRunning(value, &malformed, sink));
            // One message per load, however many entries are broken.
            if (malformed != 0 && findings == nullptr) {
                ReportListError(LoadResourceString(kKeepRunningSyntaxText));
            }
            break;
        }
        case Special::DefaultPowerSchemes: {
            std::size_t malformed = 0;
            auto olderFindings = older(L"ProcessDefaults", L"DefaultPowerSchemesEx");
            std::vector<std::wstring> unresolved;
            std::vector<PowerSchemeRule> rules = ReadPowerSchemes(
                value, ReadList(L"ProcessDefaults", L"DefaultPowerSchemesEx", document),
                s.environment.powerPlans, &malformed, sink, SinkOf(olderFindings), &unresolved);
            {
                std::lock_guard guard(s.PowerSchemeLock);
                defaults.DefaultPowerSchemes = std::move(rules);
                defaults.DefaultPowerSchemesUnresolved = std::move(unresolved);
            }
            if (malformed != 0 && findings == nullptr) {
                ReportListError(kPowerSchemeSyntaxMessage);
            }
            break;
        }
        case Special::ProcessorGroupExtended:
            Publish(s, key, s.AdvancedRules.ProcessorGroupExtended,
                    ReadNameSet(value, kProcessorGroupExtendedFormat, sink));
            break;
        case Special::ProhibitInternetExplorerExceptWhenAny:
            names(s.AdvancedRules.ProhibitInternetExplorerExceptWhenAny,
                  kProhibitInternetExplorerFormat);
            break;
        case Special::WatchdogRules2:
            Publish(s, key, s.AdvancedRules.WatchdogRules2, ReadWatchdogRules(value, sink));
            break;
        case Special::AutomaticGamingModeProcessPaths:
            names(s.GamingMode.AutomaticGamingModeProcessPaths, kAutomaticGamingModeFormat);
            break;
        case Special::Display:
            names(s.PowerManagement.Display, kDisplayFormat);
            break;
        case Special::PC: {
            auto olderFindings = older(L"PowerManagement", L"AllowDisplaysPreventPC");
            PublishNames(s, key, s.PowerManagement.PC, kPcFormat,
                         {{value, sink},
                          {ReadList(L"PowerManagement", L"AllowDisplaysPreventPC", document),
                           SinkOf(olderFindings)}},
                         sink);
            break;
        }
        case Special::PowerSaver_Exclusions:
            names(s.PowerSaver.PowerSaver_Exclusions, kPowerSaverExclusionsFormat);
            break;
        default:
            break;
    }
}

void ReadSpecial(ConfigSettings& s, Special key, const std::wstring& section,
                 const std::wstring& name, const ConfigDocument& document,
                 const std::wstring& automaticWord, const PriorityClassNames& priorityNames,
                 SettingsFindings::Key* keyFindings, SettingsFindings* findings) {
    auto& ooc = s.OutOfControlProcessRestraint;
    // Findings about the value itself only when the key is in the file.
    FindingSink* present = keyFindings != nullptr && keyFindings->Present() ? keyFindings : nullptr;
    switch (key) {
        case Special::Version:
            return;
        case Special::PowerSaver_TargetGUID:
            return;  // read ahead of the others: EnergySaverEnabled depends on it
        case Special::PlayOnRestraint:
            if (auto value = ReadIfPresent(section, name, document)) {
                ooc.PlayOnRestraint = std::move(*value);
            }
            return;
        case Special::PlayOnRestore:
            if (auto value = ReadIfPresent(section, name, document)) {
                ooc.PlayOnRestore = std::move(*value);
            }
            return;
        case Special::RestraintAffinity: {
            const std::wstring value = GetConfigString(section, name, L"", document);
            ooc.RestraintAffinity = {};
            if (EqualsIgnoreCase(value, automaticWord) ||
                EqualsIgnoreCase(value, kEnglishAutomaticWord)) {
                ooc.RestraintAffinity.automatic = true;
            } else if (!value.empty()) {
                ooc.RestraintAffinity.mask = ParseAffinityText(value, present);
            }
            return;
        }
        case Special::ForegroundBoostPriorityClass:
            if (const auto value = ParsePriorityClassValue(
                    GetConfigString(section, name, L"0x8000", document), present)) {
                s.ForegroundBoosting.ForegroundBoostPriorityClass = *value;
            }
            return;
        case Special::SetTimerResolutionAtStartup:
            s.Performance.SetTimerResolutionAtStartup =
                static_cast<std::uint32_t>(ReadUnsignedField(
                    GetConfigString(section, name, L"0", document), 10, UINT32_MAX, L"", present));
            return;
        default:
            ReadRuleList(s, key, ReadList(section, name, document), document, priorityNames,
                         keyFindings, findings);
            return;
    }
}

std::optional<std::wstring> WriteSpecial(const ConfigSettings& s, Special key,
                                         const std::wstring& automaticWord,
                                         const PriorityClassNames& priorityNames) {
    const auto& ooc = s.OutOfControlProcessRestraint;
    const auto& allowances = s.ProcessAllowances;
    const auto& defaults = s.ProcessDefaults;
    const auto locked = [&](auto build) { return UnderLock(s, key, build); };
    switch (key) {
        case Special::Version:
            return FormatText(L"%d", kConfigBuildStamp);
        case Special::PlayOnRestraint:
            return ooc.PlayOnRestraint;
        case Special::PlayOnRestore:
            return ooc.PlayOnRestore;
        case Special::RestraintAffinity:
            if (ooc.RestraintAffinity.automatic) {
                return automaticWord;
            }
            return FormatAffinityText(ooc.RestraintAffinity.mask);
        case Special::ForegroundBoostPriorityClass:
            return FormatText(L"0x%x", s.ForegroundBoosting.ForegroundBoostPriorityClass);
        case Special::SetTimerResolutionAtStartup:
            return FormatText(L"%u", s.Performance.SetTimerResolutionAtStartup);
        case Special::PowerSaver_TargetGUID: {
            // A plan the service cannot find or name now keeps the name it was chosen by: it may
            // be back at the next load, and the user's choice must not vanish from the file.
            const PowerPlanChoice& choice = s.PowerSaver.PowerSaver_TargetGUID;
            std::wstring name = choice.guid.IsZero() ? choice.name
                                                     : CurrentPlanName(s.environment.powerPlans,
                                                                       choice.guid, choice.name);
            if (name.empty()) {
                return std::nullopt;
            }
            return name;
        }
        case Special::OocExclusions:
            return locked([&] { return WriteNameSet(ooc.OocExclusions, kOocExclusionsFormat); });
        case Special::OocHardCodedExclusionOverrides:
            return WriteNameList(ooc.OocHardCodedExclusionOverrides,
                                 kOocHardCodedExclusionOverridesFormat);
        case Special::ForegroundBoostExclusions:
            return WriteNameList(s.ForegroundBoosting.ForegroundBoostExclusions,
                                 kForegroundBoostExclusionsFormat);
        case Special::CullmarkExclusions:
            return locked([&] {
                return WriteNameList(s.MemoryManagement.CullmarkExclusions,
                                     kCullmarkExclusionsFormat);
            });
        case Special::AllowedProcesses:
            return locked([&] {
                return WriteNameList(allowances.AllowedProcesses, kAllowedProcessesFormat);
            });
        case Special::DisallowedProcesses:
            return locked([&] {
                return WriteNameList(allowances.DisallowedProcesses, kDisallowedProcessesFormat);
            });
        case Special::InstanceLimitedProcesses:
            return locked([&] { return WriteInstanceLimits(allowances.InstanceLimitedProcesses); });
        case Special::InstanceManagedCPUAffinities:
            return locked(
                [&] { return WriteInstanceBalancer(allowances.InstanceManagedCPUAffinities); });
        case Special::ProcessThrottles:
            return locked([&] { return WriteThrottles(allowances.ProcessThrottles); });
        case Special::OneTimeProcessThrottles:
            return locked(
                [&] { return WriteOneTimeThrottles(allowances.OneTimeProcessThrottles); });
        case Special::CPULimitRules:
            return locked([&] { return WriteCpuLimitRules(allowances.CPULimitRules); });
        case Special::EfficiencyMode:
            return locked([&] { return WriteEfficiencyModes(allowances.EfficiencyMode); });
        case Special::NamedAffinities:
            return locked([&] { return WriteNamedAffinities(defaults.NamedAffinities); });
        case Special::DefaultPriorities:
            return locked(
                [&] { return WriteDefaultPriorities(defaults.DefaultPriorities, priorityNames); });
        case Special::DefaultIOPriorities:
            return locked([&] { return WriteDefaultValueRules(defaults.DefaultIOPriorities); });
        case Special::DefaultMemoryPriorities:
            return locked([&] { return WriteDefaultValueRules(defaults.DefaultMemoryPriorities); });
        case Special::DisableThreadPriorityBoost:
            return locked([&] {
                return WriteNameList(defaults.DisableThreadPriorityBoost,
                                     kDisableThreadPriorityBoostFormat);
            });
        case Special::DefaultAffinitiesEx:
            return locked([&] { return WriteDefaultAffinities(defaults.DefaultAffinitiesEx); });
        case Special::CPUSets:
            return locked([&] { return WriteCpuSets(defaults.CPUSets); });
        case Special::KeepRunningProcesses:
            return locked([&] { return WriteKeepRunning(defaults.KeepRunningProcesses); });
        case Special::DefaultPowerSchemes: {
            std::lock_guard guard(s.PowerSchemeLock);
            return WritePowerSchemes(defaults.DefaultPowerSchemes, s.environment.powerPlans,
                                     defaults.DefaultPowerSchemesUnresolved);
        }
        case Special::ProcessorGroupExtended:
            return locked([&] {
                return WriteNameSet(s.AdvancedRules.ProcessorGroupExtended,
                                    kProcessorGroupExtendedFormat);
            });
        case Special::ProhibitInternetExplorerExceptWhenAny:
            return locked([&] {
                return WriteNameList(s.AdvancedRules.ProhibitInternetExplorerExceptWhenAny,
                                     kProhibitInternetExplorerFormat);
            });
        case Special::WatchdogRules2:
            return locked([&] { return WriteWatchdogRules(s.AdvancedRules.WatchdogRules2); });
        case Special::AutomaticGamingModeProcessPaths:
            return locked([&] {
                return WriteNameList(s.GamingMode.AutomaticGamingModeProcessPaths,
                                     kAutomaticGamingModeFormat);
            });
        case Special::Display:
            return locked([&] { return WriteNameList(s.PowerManagement.Display, kDisplayFormat); });
        case Special::PC:
            return locked([&] { return WriteNameList(s.PowerManagement.PC, kPcFormat); });
        case Special::PowerSaver_Exclusions:
            return locked([&] {
                return WriteNameList(s.PowerSaver.PowerSaver_Exclusions,
                                     kPowerSaverExclusionsFormat);
            });
    }
    return std::nullopt;
}

// Keys of older versions, read into their successors; a save writes only the successors.
struct OlderKey {
    const wchar_t* key;
    const wchar_t* successor;  // null: kept outside the file
    bool list;                 // entries merged into the successor's list
};
constexpr OlderKey kOlderKeys[] = {
    {L"RoundRobinAffinitySelection", L"LevelonDropOneRandomCore", false},
    {L"LogOutOfControlProcessesRestored2", L"LogLevelonEnd", false},
    {L"LogOutOfControlProcessesRestrained", L"LogLevelonBegin", false},
    {L"ExcludeForegroundProcesses", L"ExcludeForegroundProcesses2", false},
    {L"DefaultAffinities", L"DefaultAffinitiesEx", true},
    {L"DisableThreadPriorityBoostBoost", L"DisableThreadPriorityBoost", true},
    {L"DefaultPowerSchemesEx", L"DefaultPowerSchemes", true},
    {L"AllowDisplaysPreventPC", L"PC", true},
    {L"HideViewProcessIcons2", nullptr, false},
};

void ReportOlderKey(const OlderKey& older, SettingsFindings& findings, bool serverEdition) {
    SettingsFindings::Key key = findings.ForEntry(*findings.FirstEntryOf(older.key));
    if (older.successor == nullptr) {
        key.Report(FindingKind::kRewritten,
                   L"is kept in the registry value ShowProcessIcons; a "
                   L"save does not write this key");
    } else if (older.list) {
        key.Report(FindingKind::kRewritten, FormatText(L"is an older key: its entries are read "
                                                       L"into %s, where a save writes them",
                                                       older.successor));
    } else if (serverEdition && EqualsIgnoreCase(older.key, L"ExcludeForegroundProcesses")) {
        key.Report(FindingKind::kDropped,
                   L"is an older key that server editions ignore; a save drops it");
    } else if (findings.FirstEntryOf(older.successor)) {
        key.Report(FindingKind::kDropped,
                   FormatText(L"is an older name of %s, which is present too and wins; a save "
                              L"drops this key",
                              older.successor));
    } else {
        key.Report(FindingKind::kRewritten,
                   FormatText(L"is an older name of %s; read as that, the name a save writes",
                              older.successor));
    }
}

bool StartsAsComment(std::wstring_view text) {
    const std::wstring trimmed = Trim(text);
    return !trimmed.empty() && (trimmed[0] == L';' || trimmed[0] == L'#');
}

// What a save loses of the document as a whole: lines that are no key of this version, keys
// with blanks around their name, repeated keys, and the older keys.
void ReportDocumentFindings(SettingsFindings& findings, bool serverEdition) {
    const ConfigDocument& document = findings.Document();
    // Every name a key may have, in lower case, to the name as the schema writes it.
    static const std::unordered_map<std::wstring, const wchar_t*> kNames = [] {
        std::unordered_map<std::wstring, const wchar_t*> names;
        for (const auto& entry : kKeys) {
            names.emplace(ToLower(entry.key), entry.key);
        }
        for (const auto& older : kOlderKeys) {
            names.emplace(ToLower(older.key), older.key);
        }
        return names;
    }();
    const auto known = [](std::wstring_view key) -> const wchar_t* {
        const auto found = kNames.find(ToLower(key));
        return found == kNames.end() ? nullptr : found->second;
    };
    std::unordered_map<std::wstring, std::size_t> firstOf;
    const std::size_t count =
        std::min({document.sections.size(), document.keys.size(), document.values.size()});
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring& key = document.keys[i];
        if (known(key) == nullptr) {
            SettingsFindings::Key line = findings.ForEntry(i);
            if (StartsAsComment(key.empty() ? document.values[i] : key)) {
                line.Report(FindingKind::kDropped, L"is a comment; a save drops it");
            } else if (Trim(key).empty()) {
                line.Report(FindingKind::kDropped,
                            L"has no key before \"=\" (or no \"=\" at all): " +
                                Quoted(document.values[i]) + L"; a save drops it");
            } else if (const wchar_t* name = known(Trim(key))) {
                line.Report(FindingKind::kDropped,
                            FormatText(L"has blanks around the key name, so it is not read as "
                                       L"%s; a save drops it",
                                       name));
            } else {
                line.Report(FindingKind::kDropped,
                            L"is not a setting of this version; a save drops it");
            }
            continue;
        }
        const auto [first, added] = firstOf.try_emplace(ToLower(key), i);
        if (!added) {
            findings.ForEntry(i).Report(
                FindingKind::kDropped,
                FormatText(L"repeats the key of line %u, which is the one read; a save drops "
                           L"this one",
                           findings.LineOf(first->second)));
        }
    }
    for (const auto& older : kOlderKeys) {
        if (findings.FirstEntryOf(older.key)) {
            ReportOlderKey(older, findings, serverEdition);
        }
    }
}

}  // namespace

LevelonDefaults ComputeLevelonDefaults(const ProcessorFacts& processors) {
    static constexpr std::array<std::int32_t, 32> kTotal = {
        75, 45, 40, 23, 18, 18, 17, 11, 11, 10, 10, 10, 10, 10, 10, 10,
        9,  9,  9,  9,  9,  8,  8,  8,  8,  8,  7,  7,  7,  7,  7,  7};
    static constexpr std::array<std::uint32_t, 32> kPerProcess = {
        64, 32, 20, 15, 10, 10, 9, 8, 8, 8, 7, 7, 6, 6, 5, 5,
        5,  5,  5,  4,  4,  4,  4, 4, 3, 3, 3, 3, 3, 2, 2, 2};
    static constexpr std::array<std::uint32_t, 32> kRestore = {15, 7, 5, 5, 5, 5, 5, 4, 3, 3, 3,
                                                               3,  2, 2, 2, 2, 2, 1, 1, 1, 1, 1,
                                                               1,  1, 1, 1, 1, 1, 1, 1, 1, 1};
    constexpr std::uint32_t kQuota = 900;

    const std::uint32_t n = processors.activeProcessors;
    const bool hybrid = processors.hybrid;
    // Thresholds per process count the performance processors only.
    std::uint32_t p = n;
    if (hybrid && processors.efficientProcessorsGroup0 < n) {
        p = n - processors.efficientProcessorsGroup0;
    }

    LevelonDefaults defaults;
    if (hybrid || n == 0) {
        defaults.TotalProcessorUsageBeforeRestraint = 70;
    } else {
        defaults.TotalProcessorUsageBeforeRestraint = n <= 32 ? kTotal[n - 1] : 7;
    }
    std::uint32_t perProcess = 20;
    std::uint32_t restore = 5;
    std::uint32_t quota = 2000;
    if (p > 32) {
        perProcess = 2;
        restore = 1;
        quota = kQuota;
    } else if (p > 0) {
        perProcess = kPerProcess[p - 1];
        restore = kRestore[p - 1];
        quota = kQuota;
    }
    defaults.PerProcessUsageBeforeRestraint = hybrid ? perProcess * 2 : perProcess;
    defaults.PerProcessUsageForRestore = restore;
    defaults.TimeOverQuotaBeforeRestraint = hybrid ? quota * 3 : quota;
    defaults.MinimumTimeOfRestraint = hybrid ? 3600 : 7200;
    defaults.MaximumTimeOfRestraint = 240000;
    defaults.OocOn = !hybrid;
    return defaults;
}

ConfigSettings::ConfigSettings(SettingsEnvironment settingsEnvironment)
    : environment(std::move(settingsEnvironment)) {
    ResetToDefaults();
}

void ConfigSettings::NoteRulesChanged() const {
    // One sequence for every settings object, so that results kept under one never pass for
    // results under another.
    static std::atomic<std::uint64_t> lastGeneration{0};
    rulesGeneration_.store(lastGeneration.fetch_add(1) + 1, std::memory_order_release);
}

void ConfigSettings::ClearRuleLists() {
    for (const auto& entry : kKeys) {
        if (const auto* key = std::get_if<Special>(&entry.field)) {
            VisitList(*this, *key, [&](auto& list) {
                using List = std::remove_reference_t<decltype(list)>;
                Publish(*this, *key, list, List{});
            });
        }
    }
    {
        std::lock_guard guard(PowerSchemeLock);
        ProcessDefaults.DefaultPowerSchemesUnresolved.clear();
    }
    instanceLimitsPresent = false;
    throttlesPresent = false;
}

void ConfigSettings::ResetToDefaults() {
    ConfigSections defaults;
    ApplyLevelonDefaults(defaults, ComputeLevelonDefaults(environment.processors));
    for (const auto& entry : kKeys) {
        std::visit(Overloaded{
                       [&](Special) {},
                       [&](auto field) { field(*this) = field(defaults); },
                   },
                   entry.field);
    }
    auto& ooc = OutOfControlProcessRestraint;
    ooc.RestraintAffinity = defaults.OutOfControlProcessRestraint.RestraintAffinity;
    ooc.PlayOnRestraint = ChooseSound(
        ooc.PlayOnRestraint, {L"\\lower.wav", L"\\Windows Pop-up Blocked.wav"}, environment);
    ooc.PlayOnRestore = ChooseSound(
        ooc.PlayOnRestore, {L"\\raise.wav", L"\\Windows Feed Discovered.wav"}, environment);
    Administration.Version = defaults.Administration.Version;
    Performance.SetTimerResolutionAtStartup = defaults.Performance.SetTimerResolutionAtStartup;
    ForegroundBoosting.ForegroundBoostPriorityClass =
        defaults.ForegroundBoosting.ForegroundBoostPriorityClass;
    PowerSaver.PowerSaver_TargetGUID = defaults.PowerSaver.PowerSaver_TargetGUID;
    GUI.HideViewProcessIcons2 = defaults.GUI.HideViewProcessIcons2;
    ClearRuleLists();
}

void ConfigSettings::ReadSettings(const ConfigDocument& document, SettingsFindings* findings) {
    const std::wstring ooc = L"OutOfControlProcessRestraint";
    const std::wstring logging = L"Logging";
    const std::wstring powerSaver = L"PowerSaver";

    // When-absent values: the defaults, the processor-dependent thresholds, and what older keys
    // and other keys say.
    ConfigSections absent;
    ApplyLevelonDefaults(absent, ComputeLevelonDefaults(environment.processors));
    absent.PowerSaver.PowerSaver_IdleTime = 0;
    absent.Sampling.SamplingIncludePattern = L"*";
    // An older key fills in for its missing successor, so files from older versions keep them.
    absent.OutOfControlProcessRestraint.LevelonDropOneRandomCore =
        GetConfigBool(ooc, L"RoundRobinAffinitySelection", false, document);
    absent.Logging.LogLevelonEnd =
        GetConfigBool(logging, L"LogOutOfControlProcessesRestored2", true, document);
    absent.Logging.LogLevelonBegin =
        GetConfigBool(logging, L"LogOutOfControlProcessesRestrained", true, document);
    absent.OutOfControlProcessRestraint.ExcludeForegroundProcesses2 =
        !environment.serverEdition &&
        GetConfigBool(ooc, L"ExcludeForegroundProcesses", false, document);

    bool targetResolved = false;
    if (const auto target = ReadIfPresent(powerSaver, L"PowerSaver_TargetGUID", document);
        target && !target->empty()) {
        auto& choice = PowerSaver.PowerSaver_TargetGUID;
        const std::optional<PlanGuid> plan = environment.powerPlans.Find(*target);
        choice.guid = plan.value_or(PlanGuid{});
        targetResolved = plan.has_value() && !plan->IsZero();
        // Held by the plan's own name, which is what a save writes.
        choice.name = targetResolved ? CurrentPlanName(environment.powerPlans, choice.guid, *target)
                                     : *target;
        if (!targetResolved && findings != nullptr) {
            findings->ForKey(powerSaver, L"PowerSaver_TargetGUID")
                .Report(FindingKind::kDefaulted,
                        Quoted(*target) +
                            L" is not a power plan of this machine; no idle-time "
                            L"plan is used");
        }
    }
    absent.PowerSaver.EnergySaverEnabled =
        targetResolved && GetConfigInt(powerSaver, L"PowerSaver_IdleTime", 0, document) != 0;

    const std::wstring automaticWord = AutomaticAffinityWord();
    const PriorityClassNames priorityNames = LoadPriorityClassNames();

    for (const auto& entry : kKeys) {
        const std::wstring section = entry.section;
        const std::wstring key = entry.key;
        std::optional<SettingsFindings::Key> keyFindings = FindingsFor(findings, section, key);
        // Findings about a plain value only when the key is in the file.
        FindingSink* present = keyFindings && keyFindings->Present() ? &*keyFindings : nullptr;
        std::visit(
            Overloaded{
                [&](BoolField field) {
                    field(*this) = GetConfigBool(section, key, field(absent), document);
                    if (present != nullptr) {
                        CheckBoolValue(GetConfigString(section, key, L"", document), *present);
                    }
                },
                [&](IntField field) {
                    field(*this) = GetConfigInt(section, key, field(absent), document);
                    if (present != nullptr) {
                        CheckNumberValue(GetConfigString(section, key, L"", document),
                                         FormatText(L"%d", field(absent)), *present);
                    }
                },
                [&](UintField field) {
                    // The INI document's own conversion, so that the unsigned keys clamp
                    // where every other number does.
                    field(*this) = static_cast<std::uint32_t>(GetConfigInt(
                        section, key, static_cast<std::int32_t>(field(absent)), document));
                    if (present != nullptr) {
                        CheckNumberValue(GetConfigString(section, key, L"", document),
                                         FormatUnsignedDecimal(field(absent)), *present);
                    }
                },
                [&](TextField field) {
                    field(*this) = GetConfigString(section, key, field(absent).c_str(), document);
                },
                [&](Special special) {
                    ReadSpecial(*this, special, section, key, document, automaticWord,
                                priorityNames, keyFindings ? &*keyFindings : nullptr, findings);
                },
            },
            entry.field);
    }

    if (!IsKnownGuiUpdateSpeed(Performance.UpdateSpeedGUI)) {
        if (findings != nullptr) {
            findings->ForKey(L"Performance", L"UpdateSpeedGUI")
                .Report(FindingKind::kDefaulted,
                        FormatText(L"%d is not one of 0, 250, 500, 1000, 2000, 5000 and 10000; "
                                   L"read as 1000",
                                   Performance.UpdateSpeedGUI));
        }
        Performance.UpdateSpeedGUI = 1000;
    }
    if (GamingMode.TargetPowerPlan.empty()) {
        if (findings != nullptr && findings->FirstEntryOf(L"TargetPowerPlan")) {
            findings->ForKey(L"GamingMode", L"TargetPowerPlan")
                .Report(FindingKind::kDefaulted,
                        L"is empty; read as " + Quoted(kDefaultTargetPowerPlan));
        }
        GamingMode.TargetPowerPlan = kDefaultTargetPowerPlan;
    }
    if (PowerSaver.EnergySaverUpPowerProfileName.empty()) {
        if (findings != nullptr && PowerSaver.EnergySaverForceActivePowerProfile) {
            findings->ForKey(powerSaver, L"EnergySaverForceActivePowerProfile")
                .Report(FindingKind::kDefaulted,
                        L"is true, but EnergySaverUpPowerProfileName names no plan; read as "
                        L"false");
        }
        PowerSaver.EnergySaverForceActivePowerProfile = false;
    }
    if (Advanced.AutomaticUpdate) {
        // A one-way switch: the registry value takes over and the file keeps "false".
        if (findings == nullptr) {
            platform::WriteRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                         L"UpdatePromptless", 1);
        } else {
            findings->ForKey(L"Advanced", L"AutomaticUpdate")
                .Report(FindingKind::kRewritten,
                        L"true is handed over to the registry value UpdatePromptless; a save "
                        L"writes false");
        }
        Advanced.AutomaticUpdate = false;
    }
    GUI.HideViewProcessIcons2 = GetConfigBool(L"GUI", L"HideViewProcessIcons2", false, document);
    if (const auto shown = platform::ReadRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey,
                                                       L"ShowProcessIcons")) {
        GUI.HideViewProcessIcons2 = *shown == 0;
    }
    if (findings != nullptr) {
        ReportDocumentFindings(*findings, environment.serverEdition);
        ReportRegexRules(*this, *findings);
    }
    {
        std::lock_guard guard(InstanceLimitMutex);
        instanceLimitsPresent = !ProcessAllowances.InstanceLimitedProcesses.empty();
    }
    {
        std::lock_guard guard(ThrottleLock);
        throttlesPresent = !ProcessAllowances.ProcessThrottles.empty();
    }
    {
        std::lock_guard guard(OneTimeThrottleLock);
        throttlesPresent = throttlesPresent || !ProcessAllowances.OneTimeProcessThrottles.empty();
    }
    // The switches that say which facts the lists compare were read after the lists.
    NoteRulesChanged();
}

void ConfigSettings::WriteSettings(ConfigDocument& document) const {
    const std::wstring automaticWord = AutomaticAffinityWord();
    const PriorityClassNames priorityNames = LoadPriorityClassNames();
    // The field table hands out references for reading and writing; saving only reads them.
    auto& fields = const_cast<ConfigSettings&>(*this);
    for (const auto& entry : kKeys) {
        std::optional<std::wstring> value;
        std::visit(Overloaded{
                       [&](BoolField field) { value = field(fields) ? L"true" : L"false"; },
                       [&](IntField field) { value = FormatText(L"%d", field(fields)); },
                       [&](UintField field) { value = FormatUnsignedDecimal(field(fields)); },
                       [&](TextField field) { value = field(fields); },
                       [&](Special special) {
                           value = WriteSpecial(*this, special, automaticWord, priorityNames);
                       },
                   },
                   entry.field);
        if (value) {
            AddEntry(document, entry.section, entry.key, *value);
        }
    }
    platform::WriteRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey, L"ShowProcessIcons",
                                 GUI.HideViewProcessIcons2 ? 0 : 1);
}

bool ApplyHybridThresholdUpgrade(ConfigSettings& settings) {
    const ProcessorFacts& processors = settings.environment.processors;
    if (!processors.hybrid) {
        return false;
    }
    const auto applied = platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                                     L"LevelonDefaultsApplied");
    if (applied && *applied >= kHybridDefaultsStamp) {
        return false;
    }
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"LevelonDefaultsApplied",
                                 kHybridDefaultsStamp);
    const LevelonDefaults hybrid = ComputeLevelonDefaults(processors);
    auto& ooc = settings.OutOfControlProcessRestraint;
    ooc.TotalProcessorUsageBeforeRestraint =
        std::max(ooc.TotalProcessorUsageBeforeRestraint, hybrid.TotalProcessorUsageBeforeRestraint);
    ooc.PerProcessUsageBeforeRestraint =
        std::max(ooc.PerProcessUsageBeforeRestraint, hybrid.PerProcessUsageBeforeRestraint);
    ooc.PerProcessUsageForRestore =
        std::max(ooc.PerProcessUsageForRestore, hybrid.PerProcessUsageForRestore);
    ooc.TimeOverQuotaBeforeRestraint =
        std::max(ooc.TimeOverQuotaBeforeRestraint, hybrid.TimeOverQuotaBeforeRestraint);
    ooc.MinimumTimeOfRestraint =
        std::min(ooc.MinimumTimeOfRestraint, hybrid.MinimumTimeOfRestraint);
    return true;
}

}  // namespace cv
