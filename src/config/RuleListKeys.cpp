#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/WideString.h"
#include "config/ProcessMatch.h"
#include "config/RuleListText.h"
#include "config/SettingsKeys.h"
#include "platform/System.h"
#include "texts/Language.h"
#include "texts/Messages.h"

namespace cv::settings_keys {

namespace {

constexpr std::uint32_t kKeepRunningSyntaxText = 446;
constexpr std::uint32_t kCaptionText = 214;
constexpr wchar_t kPowerSchemeSyntaxMessage[] =
    L"Syntax error in INI file for application power profiles!";

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

}  // namespace

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

std::optional<std::wstring> WriteRuleList(const ConfigSettings& s, Special key,
                                          const PriorityClassNames& priorityNames) {
    const auto& ooc = s.OutOfControlProcessRestraint;
    const auto& allowances = s.ProcessAllowances;
    const auto& defaults = s.ProcessDefaults;
    const auto locked = [&](auto build) { return UnderLock(s, key, build); };
    switch (key) {
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
        default:
            return std::nullopt;
    }
}

void EmptyRuleLists(ConfigSettings& settings) {
    for (const KeyEntry& entry : AllKeys()) {
        if (const auto* key = std::get_if<Special>(&entry.field)) {
            VisitList(settings, *key, [&](auto& list) {
                using List = std::remove_reference_t<decltype(list)>;
                Publish(settings, *key, list, List{});
            });
        }
    }
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
    for (const KeyEntry& entry : AllKeys()) {
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

}  // namespace cv::settings_keys
