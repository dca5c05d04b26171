#include "config/RuleLists.h"

#include <cfloat>
#include <unordered_set>

#include "common/Format.h"
#include "common/WideString.h"
#include "config/RuleListText.h"

namespace cv {

namespace {

constexpr std::array<const wchar_t*, 6> kEnglishPriorityNames = {
    L"Real Time", L"High", L"Above Normal", L"Normal", L"Below Normal", L"Idle"};

// Entries of the ";"-split lists are trimmed and lower-cased before they are split.
std::wstring NormalEntry(std::wstring_view entry) {
    return ToLower(Trim(entry));
}

// The fields are single precision; a larger number would not convert.
float ToFloat(double value) {
    if (value > FLT_MAX) {
        return FLT_MAX;
    }
    if (value < -FLT_MAX) {
        return -FLT_MAX;
    }
    return static_cast<float>(value);
}

float ReadFloat(std::wstring_view text) {
    return ToFloat(ScanDouble(text).value_or(0));
}

std::uint32_t ReadAutoBase(std::wstring_view text) {
    return static_cast<std::uint32_t>(ScanUnsigned(text, 0, UINT32_MAX).value_or(0));
}

// The comma-grouped lists read their value as one flat run of tokens, in groups of the given
// size; a last group that is short is dropped.
template <typename Visit>
void ForEachGroup(std::wstring_view value, bool semicolons, std::size_t size, Visit visit) {
    const std::vector<std::wstring> tokens = SplitTokens(HideEscapes(value, semicolons), L",");
    for (std::size_t i = 0; i + size <= tokens.size(); i += size) {
        std::vector<std::wstring> group;
        group.reserve(size);
        for (std::size_t k = 0; k < size; ++k) {
            group.push_back(Trim(RestoreEscapes(tokens[i + k])));
        }
        visit(group);
    }
}

// In the comma-grouped lists an empty token would vanish on reading and pair every later token
// with the wrong partner, so a rule without a pattern is not written (it matches nothing).
bool Writable(const RulePattern& pattern) {
    return !pattern.text.empty();
}

std::wstring GroupedPattern(const RulePattern& pattern, bool semicolons) {
    return EscapeName(pattern.text, semicolons, true);
}

}  // namespace

void ReadNameList(std::wstring_view value, const NameListFormat& format, NameList& names) {
    const std::wstring text = format.escaped ? HideEscapes(value, false) : std::wstring(value);
    for (const auto& piece : SplitTokens(text, L",")) {
        std::wstring name = Trim(format.escaped ? RestoreEscapes(piece) : piece);
        names.push_back({format.lowerOnRead ? ToLower(name) : std::move(name)});
    }
}

NameSet ReadNameSet(std::wstring_view value, const NameListFormat& format) {
    NameList names;
    ReadNameList(value, format, names);
    return NameSet(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
}

void RemoveDuplicateNames(NameList& names) {
    std::unordered_set<std::wstring> seen;
    NameList kept;
    kept.reserve(names.size());
    for (auto& name : names) {
        if (name.text.empty() || seen.insert(ToLower(name.text)).second) {
            kept.push_back(std::move(name));
        }
    }
    names = std::move(kept);
}

namespace {

template <typename Names>
std::wstring WriteNames(const Names& names, const NameListFormat& format) {
    std::vector<std::wstring> pieces;
    pieces.reserve(names.size());
    for (const auto& name : names) {
        pieces.push_back(format.escaped ? EscapeName(name.text, false, true) : name.text);
    }
    const std::wstring text = JoinWithCommas(pieces);
    return format.lowerOnWrite ? ToLower(text) : text;
}

}  // namespace

std::wstring WriteNameList(const NameList& names, const NameListFormat& format) {
    if (!format.dedupeOnWrite) {
        return WriteNames(names, format);
    }
    NameList unique = names;
    RemoveDuplicateNames(unique);
    return WriteNames(unique, format);
}

std::wstring WriteNameSet(const NameSet& names, const NameListFormat& format) {
    return WriteNames(names, format);
}

std::vector<InstanceLimitRule> ReadInstanceLimits(std::wstring_view value) {
    std::vector<InstanceLimitRule> rules;
    for (const auto& entry : SplitTokens(value, L",")) {
        const std::wstring text = NormalEntry(entry);
        const std::size_t semicolon = text.find(L';');
        if (semicolon == std::wstring::npos || semicolon == 0) {
            continue;
        }
        rules.push_back({{text.substr(0, semicolon)}, WideToLong(text.substr(semicolon + 1))});
    }
    return rules;
}

std::wstring WriteInstanceLimits(const std::vector<InstanceLimitRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%d", rule.pattern.text, rule.count));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<ThrottleRule> ReadThrottles(std::wstring_view value) {
    std::vector<ThrottleRule> rules;
    for (const auto& entry : SplitTokens(value, L",")) {
        const std::wstring text = NormalEntry(entry);
        const std::size_t semicolon = text.find(L';');
        if (semicolon == std::wstring::npos || semicolon == 0) {
            continue;
        }
        const std::int32_t level = WideToLong(text.substr(semicolon + 1));
        if (level > 0) {
            rules.push_back({{text.substr(0, semicolon)}, level});
        }
    }
    return rules;
}

std::wstring WriteThrottles(const std::vector<ThrottleRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%d", rule.pattern.text, rule.level));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<OneTimeThrottleRule> ReadOneTimeThrottles(std::wstring_view value) {
    std::vector<OneTimeThrottleRule> rules;
    for (const auto& entry : SplitTokens(value, L",")) {
        const std::wstring text = NormalEntry(entry);
        const std::size_t first = text.find(L';');
        if (first == std::wstring::npos || first == 0) {
            continue;
        }
        const std::size_t second = text.find(L';', first + 1);
        if (second == std::wstring::npos) {
            continue;
        }
        const std::wstring processId = text.substr(first + 1, second - first - 1);
        const std::wstring level = text.substr(second + 1);
        if (processId.empty() || level.empty() || WideToLong(level) <= 0) {
            continue;
        }
        rules.push_back({{text.substr(0, first)}, WideToLong(processId), WideToLong(level)});
    }
    return rules;
}

std::wstring WriteOneTimeThrottles(const std::vector<OneTimeThrottleRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%d;%d", rule.pattern.text, rule.processId, rule.level));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<KeepRunningRule> ReadKeepRunning(std::wstring_view value,
                                             std::size_t* missingSeparator) {
    std::vector<KeepRunningRule> rules;
    for (const auto& entry : SplitTokens(HideEscapes(value, true), L",")) {
        const std::wstring text = NormalEntry(entry);
        const std::size_t first = text.find(L';');
        if (first == std::wstring::npos) {
            if (missingSeparator != nullptr) {
                ++*missingSeparator;
            }
            continue;
        }
        KeepRunningRule rule;
        rule.pattern.text = RestoreEscapes(text.substr(0, first));
        const std::size_t second = text.find(L';', first + 1);
        if (second == std::wstring::npos) {
            rule.command = RestoreEscapes(text.substr(first + 1));
        } else {
            rule.command = RestoreEscapes(text.substr(first + 1, second - first - 1));
            rule.number = WideToLong(text.substr(second + 1));
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

std::wstring WriteKeepRunning(const std::vector<KeepRunningRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%s;%d", EscapeName(rule.pattern.text, true, true),
                                    EscapeName(rule.command, true, true), rule.number));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<PowerSchemeRule> ReadPowerSchemes(std::wstring_view value, std::wstring_view olderValue,
                                              const PowerPlanResolver& plans,
                                              std::size_t* missingSeparator) {
    std::wstring combined(value);
    if (!olderValue.empty()) {
        combined += L",";
        combined += olderValue;
    }
    std::vector<PowerSchemeRule> rules;
    std::unordered_set<std::wstring> seen;
    for (const auto& entry : SplitTokens(combined, L",")) {
        const std::wstring text = Trim(entry);
        const std::size_t semicolon = text.find(L';');
        if (semicolon == std::wstring::npos) {
            if (missingSeparator != nullptr) {
                ++*missingSeparator;
            }
            continue;
        }
        const std::optional<PlanGuid> plan = plans.Find(text.substr(semicolon + 1));
        if (!plan) {
            continue;
        }
        std::wstring pattern = ToLower(text.substr(0, semicolon));
        if (seen.insert(ToLower(pattern)).second) {
            rules.push_back({{std::move(pattern)}, *plan});
        }
    }
    return rules;
}

std::optional<std::wstring> WritePowerSchemes(const std::vector<PowerSchemeRule>& rules,
                                              const PowerPlanResolver& plans) {
    if (rules.empty() || !plans.IsAvailable()) {
        return std::nullopt;
    }
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (const auto name = plans.NameOf(rule.plan)) {
            pieces.push_back(rule.pattern.text + L";" + *name);
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

InstanceBalancerMap ReadInstanceBalancer(std::wstring_view value) {
    InstanceBalancerMap rules;
    for (const auto& entry : SplitTokens(HideEscapes(Trim(value), false), L",")) {
        const std::vector<std::wstring> fields = SplitTokens(NormalEntry(entry), L";");
        if (fields.empty()) {
            continue;
        }
        InstanceBalancerRule rule;
        rule.pattern.text = RestoreEscapes(fields[0]);
        if (fields.size() > 1) {
            rule.fixedCount = WideToLong(fields[1]);
        }
        if (fields.size() > 2) {
            rule.processorsPerInstance = WideToLong(fields[2]);
        }
        if (fields.size() > 3) {
            rule.cpuThreshold = ReadFloat(fields[3]);
        }
        if (fields.size() > 4) {
            rule.firstProcessor = WideToLong(fields[4]);
        }
        if (fields.size() > 5) {
            rule.alternate = fields[5][0] == L'y' || fields[5][0] == L'Y';
        }
        const std::wstring key = rule.pattern.text;
        rules.insert_or_assign(key, std::move(rule));
    }
    return rules;
}

std::wstring WriteInstanceBalancer(const InstanceBalancerMap& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& [key, rule] : rules) {
        pieces.push_back(FormatText(
            L"%s;%d;%d;%1.2f;%d;%c", EscapeName(rule.pattern.text, false, false), rule.fixedCount,
            rule.processorsPerInstance, static_cast<double>(rule.cpuThreshold), rule.firstProcessor,
            rule.alternate ? L'Y' : L'N'));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<CpuLimitRule> ReadCpuLimitRules(std::wstring_view value) {
    std::vector<CpuLimitRule> rules;
    for (const auto& entry : SplitTokens(HideEscapes(Trim(value), false), L",")) {
        const std::vector<std::wstring> fields = SplitTokens(NormalEntry(entry), L";");
        if (fields.size() < 5) {
            continue;
        }
        rules.push_back({{RestoreEscapes(fields[0])},
                         ReadFloat(fields[1]),
                         ReadAutoBase(fields[2]),
                         ReadAutoBase(fields[3]),
                         ReadAutoBase(fields[4])});
    }
    return rules;
}

std::wstring WriteCpuLimitRules(const std::vector<CpuLimitRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        pieces.push_back(FormatText(L"%s;%1.2f;%u;%u;%u",
                                    EscapeName(rule.pattern.text, false, false),
                                    static_cast<double>(rule.threshold), rule.timeOverMs,
                                    rule.processors, rule.durationMs));
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<WatchdogRule> ReadWatchdogRules(std::wstring_view value) {
    constexpr std::size_t kFieldCount = 12;
    std::vector<WatchdogRule> rules;
    for (const auto& entry : SplitTokens(HideEscapes(Trim(ToLower(value)), false), L",")) {
        std::vector<std::wstring> fields = SplitTokens(Trim(entry), L";");
        if (fields.size() < kFieldCount) {
            continue;
        }
        for (auto& field : fields) {
            field = TrimRight(field);
            if (!field.empty() && field[0] == L'-') {
                field.clear();
            }
        }
        WatchdogRule rule;
        rule.Pattern.text = RestoreEscapes(fields[0]);
        rule.Action = WideToLong(fields[1]);
        rule.Metric = WideToLong(fields[2]);
        rule.Threshold = ScanDouble(fields[3]).value_or(0);
        rule.DurationMs = WideToLong(fields[4]);
        rule.ActionValue = ScanUnsigned(fields[5], 10, UINT64_MAX).value_or(0);
        rule.MemoryCounter = WideToLong(fields[6]);
        rule.Comparison = WideToLong(fields[7]);
        rule.Program = RestoreEscapes(fields[8]);
        rule.Arguments = RestoreEscapes(fields[9]);
        rules.push_back(std::move(rule));
    }
    return rules;
}

std::wstring WriteWatchdogRules(const std::vector<WatchdogRule>& rules) {
    // Program and arguments are escaped like the pattern: a comma in them would otherwise split
    // the rule and lose it at the next load.
    const auto textOrDash = [](const std::wstring& text) {
        return text.empty() ? std::wstring(L"-") : EscapeName(text, false, false);
    };
    std::wstring text;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const WatchdogRule& rule = rules[i];
        text += FormatText(L"%s%s;%d;%d;%.2lf;%d;%I64u;%d;%d;%s;%s;%s;%s", i == 0 ? L"" : L",",
                           EscapeName(rule.Pattern.text, false, false), rule.Action, rule.Metric,
                           rule.Threshold, rule.DurationMs, rule.ActionValue, rule.MemoryCounter,
                           rule.Comparison, textOrDash(rule.Program), textOrDash(rule.Arguments),
                           L"-", L"-");
    }
    return text;
}

bool IsSameWatchdogRule(const WatchdogRule& a, const WatchdogRule& b) {
    return a.Action == b.Action && a.Metric == b.Metric && a.Threshold == b.Threshold &&
           a.DurationMs == b.DurationMs && a.ActionValue == b.ActionValue &&
           a.MemoryCounter == b.MemoryCounter && a.Comparison == b.Comparison &&
           EqualsIgnoreCase(a.Program, b.Program) && EqualsIgnoreCase(a.Arguments, b.Arguments);
}

NamedAffinityMap ReadNamedAffinities(std::wstring_view value) {
    NamedAffinityMap affinities;
    ForEachGroup(value, false, 2, [&](const std::vector<std::wstring>& group) {
        if (!group[0].empty()) {
            affinities.insert_or_assign(group[0], ParseGroupAffinity(group[1]));
        }
    });
    return affinities;
}

std::wstring WriteNamedAffinities(const NamedAffinityMap& affinities) {
    std::vector<std::wstring> pieces;
    for (const auto& [name, affinity] : affinities) {
        if (!name.empty()) {
            pieces.push_back(EscapeName(name, false, true) + L"," + FormatGroupAffinity(affinity));
        }
    }
    return JoinWithCommas(pieces);
}

std::optional<std::uint32_t> ParsePriorityClassName(std::wstring_view name,
                                                    const PriorityClassNames& displayNames) {
    std::wstring text(name);
    const std::size_t dash = text.find(L'-');
    if (dash != std::wstring::npos) {
        text.erase(dash, 1);
        text = TrimRight(text);
    }
    for (std::size_t i = 0; i < kPriorityClassOrder.size(); ++i) {
        if (!displayNames[i].empty() && EqualsIgnoreCase(text, displayNames[i])) {
            return kPriorityClassOrder[i];
        }
    }
    for (std::size_t i = 0; i < kPriorityClassOrder.size(); ++i) {
        if (EqualsIgnoreCase(text, kEnglishPriorityNames[i])) {
            return kPriorityClassOrder[i];
        }
    }
    return std::nullopt;
}

std::wstring PriorityClassDisplayName(std::uint32_t priorityClass,
                                      const PriorityClassNames& displayNames) {
    for (std::size_t i = 0; i < kPriorityClassOrder.size(); ++i) {
        if (kPriorityClassOrder[i] == priorityClass) {
            // An empty name would be dropped as a token and shift the pairs after it.
            return displayNames[i].empty() ? std::wstring(kEnglishPriorityNames[i])
                                           : displayNames[i];
        }
    }
    return L"ERROR";
}

std::vector<PriorityRule> ReadDefaultPriorities(std::wstring_view value,
                                                const PriorityClassNames& displayNames) {
    std::vector<PriorityRule> rules;
    ForEachGroup(value, false, 2, [&](const std::vector<std::wstring>& group) {
        if (const auto priorityClass = ParsePriorityClassName(group[1], displayNames)) {
            rules.push_back({{ToLower(group[0])}, *priorityClass});
        }
    });
    return rules;
}

std::wstring WriteDefaultPriorities(const std::vector<PriorityRule>& rules,
                                    const PriorityClassNames& displayNames) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (Writable(rule.pattern)) {
            pieces.push_back(GroupedPattern(rule.pattern, false) + L"," +
                             PriorityClassDisplayName(rule.priorityClass, displayNames));
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<ValueRule> ReadDefaultIoPriorities(std::wstring_view value) {
    std::vector<ValueRule> rules;
    ForEachGroup(value, false, 2, [&](const std::vector<std::wstring>& group) {
        rules.push_back({{ToLower(group[0])}, WideToLong(group[1])});
    });
    return rules;
}

std::vector<ValueRule> ReadDefaultMemoryPriorities(std::wstring_view value) {
    std::vector<ValueRule> rules = ReadDefaultIoPriorities(value);
    for (auto& rule : rules) {
        if (rule.value == 0) {
            rule.value = 1;
        }
    }
    return rules;
}

std::wstring WriteDefaultValueRules(const std::vector<ValueRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (Writable(rule.pattern)) {
            pieces.push_back(FormatText(L"%s,%d", GroupedPattern(rule.pattern, false), rule.value));
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<ValueRule> ReadEfficiencyModes(std::wstring_view value) {
    std::vector<ValueRule> rules;
    ForEachGroup(value, true, 2, [&](const std::vector<std::wstring>& group) {
        rules.push_back({{group[0]}, WideToLong(group[1])});
    });
    return rules;
}

std::wstring WriteEfficiencyModes(const std::vector<ValueRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (Writable(rule.pattern)) {
            pieces.push_back(FormatText(L"%s,%d", GroupedPattern(rule.pattern, true), rule.value));
        }
    }
    return JoinWithCommas(pieces);
}

std::vector<AffinityRule> ReadDefaultAffinities(std::wstring_view olderValue,
                                                std::wstring_view value) {
    std::vector<AffinityRule> rules;
    ForEachGroup(olderValue, false, 2, [&](const std::vector<std::wstring>& group) {
        rules.push_back({{group[0]}, ParseGroupAffinity(group[1]), 0});
    });
    ForEachGroup(value, false, 3, [&](const std::vector<std::wstring>& group) {
        rules.push_back({{group[0]}, ParseGroupAffinity(group[2]), DecimalToUnsigned(group[1])});
    });
    return rules;
}

std::wstring WriteDefaultAffinities(const std::vector<AffinityRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (Writable(rule.pattern)) {
            pieces.push_back(FormatText(L"%s,%u,%s", GroupedPattern(rule.pattern, false),
                                        rule.delayMs, FormatGroupAffinity(rule.affinity)));
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

std::vector<CpuSetRule> ReadCpuSets(std::wstring_view value) {
    std::vector<CpuSetRule> rules;
    ForEachGroup(value, true, 2, [&](const std::vector<std::wstring>& group) {
        rules.push_back({{ToLower(group[0])}, ParseCpuSetText(group[1])});
    });
    return rules;
}

std::wstring WriteCpuSets(const std::vector<CpuSetRule>& rules) {
    std::vector<std::wstring> pieces;
    for (const auto& rule : rules) {
        if (Writable(rule.pattern)) {
            // "()" keeps a rule without CPU sets (which clears them) a token of its own.
            const std::wstring sets = rule.sets.empty() ? L"()" : FormatCpuSetText(rule.sets);
            pieces.push_back(GroupedPattern(rule.pattern, true) + L"," + sets);
        }
    }
    return ToLower(JoinWithCommas(pieces));
}

}  // namespace cv
