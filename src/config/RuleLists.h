#pragma once
// The list-valued keys of corvex.ini as typed records: one reader per list turns the key's value
// into its container, one writer turns the container back into the value. Readers never fail;
// entries they cannot use are skipped, and what a reader reads is what its writer writes, so a
// save changes nothing that was read. Every reader tells an optional sink what it drops or
// changes. Locking is the caller's (ConfigSettings).
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/AffinityText.h"
#include "config/ConfigFindings.h"
#include "config/PowerPlanResolver.h"

namespace cv {

struct PreparedPattern;

// The text a rule names its processes by; the matching service interprets it. A loaded list
// also carries each pattern's prepared form (PreparePattern), which compares and copies along
// but is no part of the rule: two patterns are the same when their texts are.
struct RulePattern {
    std::wstring text;
    mutable std::shared_ptr<const PreparedPattern> prepared;
    bool operator==(const RulePattern& other) const { return text == other.text; }
    auto operator<=>(const RulePattern& other) const { return text <=> other.text; }
};

// Plain name lists: one pattern per entry.
using NameList = std::vector<RulePattern>;
using NameSet = std::set<RulePattern>;  // ordinal order, unique

struct NameListFormat {
    bool escaped = false;       // "\," stands for a comma inside a name
    bool lowerOnRead = true;    // names are lower-cased when read
    bool lowerOnWrite = true;   // the written value is lower-cased
    bool dedupeOnRead = false;  // later duplicates are dropped after reading
    bool dedupeOnWrite = false;
};

inline constexpr NameListFormat kOocExclusionsFormat{true, true, true, false, false};
inline constexpr NameListFormat kOocHardCodedExclusionOverridesFormat{false, true, true, true,
                                                                      true};
inline constexpr NameListFormat kPowerSaverExclusionsFormat{false, true, true, true, true};
inline constexpr NameListFormat kProcessorGroupExtendedFormat{false, false, false, false, false};
inline constexpr NameListFormat kProhibitInternetExplorerFormat{false, false, false, false, false};
inline constexpr NameListFormat kForegroundBoostExclusionsFormat{false, true, true, false, false};
inline constexpr NameListFormat kAllowedProcessesFormat{true, true, false, true, true};
inline constexpr NameListFormat kDisallowedProcessesFormat{true, true, true, true, true};
inline constexpr NameListFormat kCullmarkExclusionsFormat{false, true, true, true, true};
inline constexpr NameListFormat kAutomaticGamingModeFormat{true, true, true, true, true};
inline constexpr NameListFormat kDisplayFormat{false, true, true, true, true};
inline constexpr NameListFormat kPcFormat{false, true, true, true, true};
// Its older key DisableThreadPriorityBoostBoost reads the same way: the saver writes both in
// lower case and without duplicates, so reading does that already.
inline constexpr NameListFormat kDisableThreadPriorityBoostFormat{false, true, true, true, true};

// Appends the entries of the value: trimmed, lower-cased as the format says. Entries that trim
// to nothing are dropped: they match nothing and cannot be written.
void ReadNameList(std::wstring_view value, const NameListFormat& format, NameList& names,
                  FindingSink* findings = nullptr);
NameSet ReadNameSet(std::wstring_view value, const NameListFormat& format,
                    FindingSink* findings = nullptr);
// Drops every entry equal, ignoring case, to an earlier one; empty entries stay.
void RemoveDuplicateNames(NameList& names, FindingSink* findings = nullptr);
std::wstring WriteNameList(const NameList& names, const NameListFormat& format);
std::wstring WriteNameSet(const NameSet& names, const NameListFormat& format);

// InstanceLimitedProcesses: "pattern;count".
struct InstanceLimitRule {
    RulePattern pattern;
    std::int32_t count = 0;
    bool operator==(const InstanceLimitRule&) const = default;
};
std::vector<InstanceLimitRule> ReadInstanceLimits(std::wstring_view value,
                                                  FindingSink* findings = nullptr);
std::wstring WriteInstanceLimits(const std::vector<InstanceLimitRule>& rules);

// ProcessThrottles: "pattern;level", level above 0.
struct ThrottleRule {
    RulePattern pattern;
    std::int32_t level = 0;
    bool operator==(const ThrottleRule&) const = default;
};
std::vector<ThrottleRule> ReadThrottles(std::wstring_view value, FindingSink* findings = nullptr);
std::wstring WriteThrottles(const std::vector<ThrottleRule>& rules);

// OneTimeProcessThrottles: "pattern;pid;level", a throttle for one process instance.
struct OneTimeThrottleRule {
    RulePattern pattern;
    std::int32_t processId = 0;
    std::int32_t level = 0;
    bool operator==(const OneTimeThrottleRule&) const = default;
};
std::vector<OneTimeThrottleRule> ReadOneTimeThrottles(std::wstring_view value,
                                                      FindingSink* findings = nullptr);
std::wstring WriteOneTimeThrottles(const std::vector<OneTimeThrottleRule>& rules);

// KeepRunningProcesses: "pattern;command;number" with "\," and "\;" escapes. The number is kept
// and written back but means nothing.
struct KeepRunningRule {
    RulePattern pattern;  // full image path of the process to keep running
    std::wstring command;
    std::int32_t number = 0;
    bool operator==(const KeepRunningRule&) const = default;
};
// Entries without ";" are skipped and counted in *missingSeparator. A blank the writer put
// between a trailing backslash and the ";" after it is taken away again.
std::vector<KeepRunningRule> ReadKeepRunning(std::wstring_view value, std::size_t* missingSeparator,
                                             FindingSink* findings = nullptr);
std::wstring WriteKeepRunning(const std::vector<KeepRunningRule>& rules);

// DefaultPowerSchemes: "pattern;plan name", the plan held as its GUID.
struct PowerSchemeRule {
    RulePattern pattern;
    PlanGuid plan;
    bool operator==(const PowerSchemeRule&) const = default;
};
// The older DefaultPowerSchemesEx entries follow the key's own. Entries without ";" are skipped
// and counted in *missingSeparator; of entries with the same pattern (ignoring case) the first
// stays. An entry whose plan does not resolve (the plan is gone, or the power-plan service is
// not there) is no rule, but its text "pattern;plan" is kept in *unresolved, as a save writes it,
// so that the user's choice survives the save.
std::vector<PowerSchemeRule> ReadPowerSchemes(std::wstring_view value, std::wstring_view olderValue,
                                              const PowerPlanResolver& plans,
                                              std::size_t* missingSeparator,
                                              FindingSink* findings = nullptr,
                                              FindingSink* olderFindings = nullptr,
                                              std::vector<std::wstring>* unresolved = nullptr);
// The rules with the plans' current names, then the unresolved entries. None when there is
// nothing to write, or only rules and no power-plan service to name their plans. Rules whose
// plan has no name any more are left out.
std::optional<std::wstring> WritePowerSchemes(const std::vector<PowerSchemeRule>& rules,
                                              const PowerPlanResolver& plans,
                                              const std::vector<std::wstring>& unresolved = {});

// InstanceManagedCPUAffinities (instance balancer), keyed by the lower-case pattern.
struct InstanceBalancerRule {
    RulePattern pattern;
    std::int32_t fixedCount = 0;
    std::int32_t processorsPerInstance = 0;
    float cpuThreshold = 0;  // percent
    std::int32_t firstProcessor = 0;
    bool alternate = false;
    bool operator==(const InstanceBalancerRule&) const = default;
};
using InstanceBalancerMap = std::map<std::wstring, InstanceBalancerRule>;
// Empty fields keep their places; an entry without a pattern matches nothing and is dropped.
InstanceBalancerMap ReadInstanceBalancer(std::wstring_view value, FindingSink* findings = nullptr);
std::wstring WriteInstanceBalancer(const InstanceBalancerMap& rules);

// CPULimitRules: "pattern;threshold;time over;processors;duration".
struct CpuLimitRule {
    RulePattern pattern;
    float threshold = 0;           // percent
    std::uint32_t timeOverMs = 0;  // time over the threshold before the limit
    std::uint32_t processors = 0;  // processors taken away
    std::uint32_t durationMs = 0;  // 0: no end
    bool operator==(const CpuLimitRule&) const = default;
};
// Entries need all five fields, none of them empty.
std::vector<CpuLimitRule> ReadCpuLimitRules(std::wstring_view value,
                                            FindingSink* findings = nullptr);
std::wstring WriteCpuLimitRules(const std::vector<CpuLimitRule>& rules);

// WatchdogRules2: twelve ";"-separated fields, "-" for an empty one.
struct WatchdogRule {
    RulePattern Pattern;
    std::int32_t Action = 0;
    std::int32_t Metric = 0;
    double Threshold = 0;
    std::int32_t DurationMs = 0;
    std::uint64_t ActionValue = 0;
    std::int32_t MemoryCounter = 0;
    std::int32_t Comparison = 0;
    std::wstring Program;
    std::wstring Arguments;
    bool operator==(const WatchdogRule&) const = default;
};
std::vector<WatchdogRule> ReadWatchdogRules(std::wstring_view value,
                                            FindingSink* findings = nullptr);
std::wstring WriteWatchdogRules(const std::vector<WatchdogRule>& rules);
// Same action on the same condition: every field but the pattern equal, texts ignoring case.
bool IsSameWatchdogRule(const WatchdogRule& a, const WatchdogRule& b);

// NamedAffinities: "name, affinity-with-group" pairs; names keep their case.
using NamedAffinityMap = std::map<std::wstring, GroupAffinity>;
NamedAffinityMap ReadNamedAffinities(std::wstring_view value, FindingSink* findings = nullptr);
std::wstring WriteNamedAffinities(const NamedAffinityMap& affinities);

// Priority classes in display order (realtime, high, above normal, normal, below normal, idle)
// and their display names in the current language, in the same order.
inline constexpr std::array<std::uint32_t, 6> kPriorityClassOrder = {256, 128,   32768,
                                                                     32,  16384, 64};
using PriorityClassNames = std::array<std::wstring, 6>;
// The class a name stands for: the display names, then the fixed English names, ignoring case,
// after the first "-" is removed. None for any other name.
std::optional<std::uint32_t> ParsePriorityClassName(std::wstring_view name,
                                                    const PriorityClassNames& displayNames);
// The display name; the English name when the language has none; "ERROR" for other values.
std::wstring PriorityClassDisplayName(std::uint32_t priorityClass,
                                      const PriorityClassNames& displayNames);

// DefaultPriorities: "pattern, class name" pairs.
struct PriorityRule {
    RulePattern pattern;
    std::uint32_t priorityClass = 0;
    bool operator==(const PriorityRule&) const = default;
};
// The comma-grouped lists drop rules whose pattern is empty: they match nothing, and an empty
// token cannot be written.
std::vector<PriorityRule> ReadDefaultPriorities(std::wstring_view value,
                                                const PriorityClassNames& displayNames,
                                                FindingSink* findings = nullptr);
std::wstring WriteDefaultPriorities(const std::vector<PriorityRule>& rules,
                                    const PriorityClassNames& displayNames);

// DefaultIOPriorities, DefaultMemoryPriorities and EfficiencyMode: "pattern, value" pairs.
struct ValueRule {
    RulePattern pattern;
    std::int32_t value = 0;
    bool operator==(const ValueRule&) const = default;
};
std::vector<ValueRule> ReadDefaultIoPriorities(std::wstring_view value,
                                               FindingSink* findings = nullptr);
// As the I/O priorities, but 0 is stored as 1.
std::vector<ValueRule> ReadDefaultMemoryPriorities(std::wstring_view value,
                                                   FindingSink* findings = nullptr);
std::wstring WriteDefaultValueRules(const std::vector<ValueRule>& rules);
// Patterns keep their case and may hold "\;".
std::vector<ValueRule> ReadEfficiencyModes(std::wstring_view value,
                                           FindingSink* findings = nullptr);
std::wstring WriteEfficiencyModes(const std::vector<ValueRule>& rules);

// DefaultAffinitiesEx ("pattern, delay, affinity-with-group"), preceded by the older
// DefaultAffinities ("pattern, affinity-with-group", delay 0). Patterns are lower-cased, as the
// writer writes them.
struct AffinityRule {
    RulePattern pattern;
    GroupAffinity affinity;
    std::uint32_t delayMs = 0;
    bool operator==(const AffinityRule&) const = default;
};
std::vector<AffinityRule> ReadDefaultAffinities(std::wstring_view olderValue,
                                                std::wstring_view value,
                                                FindingSink* olderFindings = nullptr,
                                                FindingSink* findings = nullptr);
std::wstring WriteDefaultAffinities(const std::vector<AffinityRule>& rules);

// CPUSets: "pattern, CPU-set text" pairs; patterns may hold "\;".
struct CpuSetRule {
    RulePattern pattern;
    std::vector<GroupAffinity> sets;
    bool operator==(const CpuSetRule&) const = default;
};
std::vector<CpuSetRule> ReadCpuSets(std::wstring_view value, FindingSink* findings = nullptr);
std::wstring WriteCpuSets(const std::vector<CpuSetRule>& rules);

}  // namespace cv
