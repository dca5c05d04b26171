#pragma once
// The key table of corvex.ini and the pieces that read and write the keys needing more than a
// plain conversion. Shared only by the files that make up ConfigSettings:
//   SettingsSchema.cpp    every key in save order, with its field or its special handling
//   SpecialKeys.cpp       the single-value keys with their own text forms
//   RuleListKeys.cpp      the rule lists: reading, publishing under their locks, writing
//   DocumentFindings.cpp  what a save loses of the file as a whole, and the older keys
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "config/ConfigCheck.h"
#include "config/ConfigSettings.h"

namespace cv::settings_keys {

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

// Every key in save order.
std::span<const KeyEntry> AllKeys();

template <typename... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// The English text of 825, accepted as well so that a language change does not turn the
// automatic choice into processor 0.
inline constexpr wchar_t kEnglishAutomaticWord[] = L"Automatic";

// Readers shared by the key files.
std::optional<std::wstring> ReadIfPresent(const std::wstring& section, const std::wstring& key,
                                          const ConfigDocument& document);
std::wstring ReadList(const std::wstring& section, const std::wstring& key,
                      const ConfigDocument& document);
std::optional<SettingsFindings::Key> FindingsFor(SettingsFindings* findings,
                                                 std::wstring_view section, std::wstring_view key);
FindingSink* SinkOf(std::optional<SettingsFindings::Key>& key);
std::wstring CurrentPlanName(const PowerPlanResolver& plans, const PlanGuid& plan,
                             const std::wstring& chosenName);
std::wstring AutomaticAffinityWord();
PriorityClassNames LoadPriorityClassNames();

// The special keys; a rule list is handed on to the rule-list functions.
void ReadSpecial(ConfigSettings& s, Special key, const std::wstring& section,
                 const std::wstring& name, const ConfigDocument& document,
                 const std::wstring& automaticWord, const PriorityClassNames& priorityNames,
                 SettingsFindings::Key* keyFindings, SettingsFindings* findings);
std::optional<std::wstring> WriteSpecial(const ConfigSettings& s, Special key,
                                         const std::wstring& automaticWord,
                                         const PriorityClassNames& priorityNames);

// The rule lists.
void ReadRuleList(ConfigSettings& s, Special key, const std::wstring& value,
                  const ConfigDocument& document, const PriorityClassNames& priorityNames,
                  FindingSink* sink, SettingsFindings* findings);
// Nothing for a key that is not a rule list.
std::optional<std::wstring> WriteRuleList(const ConfigSettings& s, Special key,
                                          const PriorityClassNames& priorityNames);
// Empties every rule list, each under its lock.
void EmptyRuleLists(ConfigSettings& settings);
void ReportRegexRules(ConfigSettings& settings, SettingsFindings& findings);

void ReportDocumentFindings(SettingsFindings& findings, bool serverEdition);

}  // namespace cv::settings_keys
