#pragma once
// How a rule's pattern is compared with a process, for every rule family: wildcards, negation,
// the user filter, regular expressions and childof:, and which facts each list compares.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/ConfigSettings.h"
#include "config/MatchMemo.h"
#include "config/RuleLists.h"

namespace cv {

// Who started whom, as childof: rules and the match subject need it. The engine's parent tree
// answers; tests may give a table of their own.
class ParentLookup {
  public:
    virtual ~ParentLookup() = default;
    // 0 when unknown.
    virtual std::uint32_t ParentOf(std::uint32_t processId) const = 0;
    // Lower case; empty when unknown.
    virtual std::wstring NameOf(std::uint32_t processId) const = 0;
    // Walks up from the process's parent, at most `steps` ancestors, until `found` says yes to
    // an ancestor's name (lower case; empty when unknown); whether it did. A chain that loops
    // through reused ids ends with the steps.
    virtual bool AnyAncestor(std::uint32_t processId, int steps,
                             const std::function<bool(std::wstring_view name)>& found) const;
};

// What a look-up knows of one process. The texts are views of the caller's strings and must
// outlive the call; an empty text is a fact that is not known.
struct MatchFacts {
    std::uint32_t pid = 0;
    std::wstring_view name;  // image name, lower case
    std::wstring_view path;  // full image path, lower case
    std::wstring_view commandLine;
    std::wstring_view user;
    const ParentLookup* parents = nullptr;  // none: no parent is known
    // The process's kept results and match subject; none for facts that belong to no record.
    MatchMemo* memo = nullptr;
};

// The whole text against a wildcard pattern: '?' one character, '*' any run, and the character
// after a '*' taken literally. A leading '~' or '!' negates. An empty pattern or text, or a
// negation of nothing, never matches.
bool MatchPattern(std::wstring_view pattern, std::wstring_view text);

// "process:user"; a drive letter's colon, after any negation, is not a separator.
struct UserFilterParts {
    std::wstring_view processPart;
    std::wstring_view userPart;
    bool hasUserPart = false;
};
UserFilterParts SplitUserFilter(std::wstring_view pattern);

// The expression of a "regex: ..." or "/.../" pattern, in lower case; none for other patterns.
std::optional<std::wstring> ExtractRegex(std::wstring_view pattern);

// A compiled regular expression, shared by every rule that names it.
struct CompiledExpression;

// What matching a pattern needs that depends on the pattern alone, worked out once when the
// list is loaded rather than on every comparison.
struct PreparedPattern {
    // "regex: ..." or "/.../": the expression in lower case, and its compiled form (null when
    // it cannot be used).
    std::optional<std::wstring> expression;
    std::shared_ptr<const CompiledExpression> compiled;
};
// Prepares the pattern in place; a pattern without it is prepared on every comparison.
void PreparePattern(const RulePattern& pattern);

// "pid,user,name,path,parent pid,parent name,,,,,command line", commas in texts as "\,".
std::wstring BuildMatchSubject(const MatchFacts& facts);

enum class RegexOutcome {
    kFound,
    kNotFound,
    kUnusable,  // empty, too large or does not compile
    kAborted,   // the search went over its step or stack allowance
};
// The expression compiled, from the cache of compiled expressions; null when it cannot be used.
std::shared_ptr<const CompiledExpression> CompileRegex(std::wstring_view expression);
// SearchRegex with the expression compiled already (null: unusable).
RegexOutcome SearchCompiledRegex(const CompiledExpression* compiled, std::wstring_view expression,
                                 std::wstring_view subject);
// Searches the expression (ECMAScript, case ignored) anywhere in the subject. Compiled
// expressions are kept, the 4,096 most recently used, until ClearRegexCache; only kFound is a
// match. The answer is exact unless it is kAborted.
RegexOutcome SearchRegex(std::wstring_view expression, std::wstring_view subject);
// The loader may call this after a reload to drop expressions no rule uses any more.
void ClearRegexCache();
std::size_t RegexCacheSize();
// Expressions whose search was cut since the last call, each only the first time it happens
// (until ForgetCutExpressions), for the engine to report.
std::vector<std::wstring> TakeCutExpressions();
void ForgetCutExpressions();
// Why a search of the expression may be cut, or empty when it never is: the text /check shows.
std::wstring RegexCutRisk(std::wstring_view expression);

enum class UserFilter {
    kNone,   // the whole entry is the process pattern
    kWild,   // the user part is a wildcard pattern, compared when the user is known
    kExact,  // the user must be known and equal the user part, ignoring case
};
enum class CommandLineMatch { kNever, kWholePattern, kProcessPart };

// Which facts a list compares; the settings-dependent ones come from the functions below.
struct MatchVariant {
    bool regex = false;
    bool comparePath = false;
    UserFilter user = UserFilter::kNone;
    CommandLineMatch commandLine = CommandLineMatch::kNever;
    bool childOf = false;
};

// DefaultPriorities, DefaultIOPriorities, DefaultMemoryPriorities, CPUSets, EfficiencyMode,
// AllowedProcesses, DisallowedProcesses, ProhibitInternetExplorerExceptWhenAny, and any other
// list matched "as every rule is" (the profile switcher's rules).
MatchVariant DefaultRulesVariant(const ConfigSections& settings);
MatchVariant DefaultAffinityVariant(const ConfigSections& settings);
MatchVariant OocExclusionsVariant(const ConfigSections& settings);
// CPULimitRules, ProcessorGroupExtended.
inline constexpr MatchVariant kCpuLimitVariant{true, true, UserFilter::kWild,
                                               CommandLineMatch::kWholePattern, false};
inline constexpr MatchVariant kWatchdogVariant{true, false, UserFilter::kExact,
                                               CommandLineMatch::kNever, false};
inline constexpr MatchVariant kInstanceBalancerVariant{true, true, UserFilter::kNone,
                                                       CommandLineMatch::kNever, true};
// ForegroundBoostExclusions, PowerSaver_Exclusions.
inline constexpr MatchVariant kNameAndUserVariant{false, false, UserFilter::kWild,
                                                  CommandLineMatch::kNever, false};
// OocHardCodedExclusionOverrides, DisableThreadPriorityBoost, Display, PC, the throttles.
inline constexpr MatchVariant kNameOnlyVariant{};

// Matches one process against the rules of one list. The regular-expression subject and the
// name-plus-command-line text are built once per walk, not once per rule.
class RuleMatcher {
  public:
    RuleMatcher(const MatchFacts& facts, const MatchVariant& variant);
    RuleMatcher(const RuleMatcher&) = delete;
    RuleMatcher& operator=(const RuleMatcher&) = delete;
    bool Matches(std::wstring_view pattern);
    bool Matches(const RulePattern& pattern);

  private:
    // A childof: pattern, or one compared with the process's facts.
    bool MatchesWithoutExpression(std::wstring_view pattern);
    bool MatchesByFacts(std::wstring_view pattern);
    bool MatchesAncestor(std::wstring_view ancestorPattern) const;
    bool UserAllows(const UserFilterParts& parts) const;
    bool CommandLineHit(std::wstring_view pattern) const;
    const std::wstring& Subject();

    const MatchFacts& facts_;
    MatchVariant variant_;
    std::optional<std::wstring> subject_;
};

bool MatchRule(std::wstring_view pattern, const MatchVariant& variant, const MatchFacts& facts);

// The pattern of any rule record: NameList and NameSet entries, rule records, map entries.
inline const RulePattern& PatternOf(const RulePattern& pattern) {
    return pattern;
}
template <typename Rule>
requires requires(const Rule& rule) {
    { rule.pattern } -> std::convertible_to<const RulePattern&>;
}
const RulePattern& PatternOf(const Rule& rule) {
    return rule.pattern;
}
inline const RulePattern& PatternOf(const WatchdogRule& rule) {
    return rule.Pattern;
}
template <typename Key, typename Rule>
requires requires(const Rule& rule) {
    PatternOf(rule);
}
const RulePattern& PatternOf(const std::pair<const Key, Rule>& entry) {
    return PatternOf(entry.second);
}
template <typename Rule>
requires requires(const Rule& rule) {
    PatternOf(rule);
}
const std::wstring& PatternText(const Rule& rule) {
    return PatternOf(rule).text;
}

// Position of the first rule, at or after `from`, that matches; the container's own order.
// The caller holds the list's lock. None at once when the name is empty.
template <typename Rules>
std::optional<std::size_t> FindMatchingRule(const Rules& rules, const MatchVariant& variant,
                                            const MatchFacts& facts, std::size_t from = 0) {
    if (facts.name.empty()) {
        return std::nullopt;
    }
    RuleMatcher matcher(facts, variant);
    std::size_t index = 0;
    for (const auto& rule : rules) {
        if (index >= from && matcher.Matches(PatternOf(rule))) {
            return index;
        }
        ++index;
    }
    return std::nullopt;
}

// Whether the rule's answer rests on the process's ancestors beyond its parent: a childof:
// pattern in a list that judges them.
bool WalksAncestors(std::wstring_view pattern, const MatchVariant& variant);

// FindMatchingRule after an ancestor above the parent changed, when `kept` was the answer before
// (a position, or MatchMemo::kNoRule): only the rules that walk the ancestors can answer
// differently, so the rules before the kept one are tested only when they walk them, and the
// kept one, when it does not walk them, still matches.
template <typename Rules>
std::optional<std::size_t> FindMatchingRuleAfterAncestryChange(const Rules& rules,
                                                               const MatchVariant& variant,
                                                               const MatchFacts& facts,
                                                               std::uint32_t kept) {
    const std::size_t size = std::size(rules);
    if (kept != MatchMemo::kNoRule && kept >= size) {
        return FindMatchingRule(rules, variant, facts);
    }
    if (facts.name.empty()) {
        return std::nullopt;
    }
    RuleMatcher matcher(facts, variant);
    const std::size_t end = kept == MatchMemo::kNoRule ? size : kept;
    std::size_t index = 0;
    auto rule = std::begin(rules);
    for (; index < end; ++rule, ++index) {
        const RulePattern& pattern = PatternOf(*rule);
        if (WalksAncestors(pattern.text, variant) && matcher.Matches(pattern)) {
            return index;
        }
    }
    if (kept == MatchMemo::kNoRule) {
        return std::nullopt;
    }
    const RulePattern& keptPattern = PatternOf(*rule);
    if (!WalksAncestors(keptPattern.text, variant) || matcher.Matches(keptPattern)) {
        return index;
    }
    return FindMatchingRule(rules, variant, facts, index + 1);
}

// Look-ups on the lists of a published rule set, read without a lock: what they return points
// into the set and stays valid for as long as the caller holds it.
template <typename Rule>
struct IndexedRule {
    std::size_t index = 0;
    const Rule* rule = nullptr;
};

const PriorityRule* FindDefaultPriority(const RuleSet& rules, const MatchFacts& facts);
const ValueRule* FindDefaultIoPriority(const RuleSet& rules, const MatchFacts& facts);
const ValueRule* FindDefaultMemoryPriority(const RuleSet& rules, const MatchFacts& facts);
const CpuSetRule* FindCpuSets(const RuleSet& rules, const MatchFacts& facts);
const ValueRule* FindEfficiencyMode(const RuleSet& rules, const MatchFacts& facts);
const AffinityRule* FindDefaultAffinity(const RuleSet& rules, const MatchFacts& facts);
const CpuLimitRule* FindCpuLimitRule(const RuleSet& rules, const MatchFacts& facts);
// The next watchdog rule at or after position `from`; the caller resumes at index + 1.
std::optional<IndexedRule<WatchdogRule>> FindNextWatchdogRule(const RuleSet& rules,
                                                              const MatchFacts& facts,
                                                              std::size_t from);
// The balancer rule and its position in map order.
std::optional<IndexedRule<InstanceBalancerRule>> FindInstanceBalancerRule(const RuleSet& rules,
                                                                          const MatchFacts& facts);
std::optional<std::int32_t> FindThrottleLevel(const RuleSet& rules, const MatchFacts& facts);
// Only the rule written for this very process id.
std::optional<std::int32_t> FindOneTimeThrottleLevel(const RuleSet& rules, const MatchFacts& facts);
// First by name, then by path.
std::optional<PlanGuid> FindPowerScheme(const RuleSet& rules, const MatchFacts& facts);

bool MatchesAllowedProcesses(const RuleSet& rules, const MatchFacts& facts);
bool MatchesDisallowedProcesses(const RuleSet& rules, const MatchFacts& facts);
bool MatchesInternetExplorerExemptions(const RuleSet& rules, const MatchFacts& facts);
bool MatchesOocExclusions(const RuleSet& rules, const MatchFacts& facts);
bool MatchesProcessorGroupExtended(const RuleSet& rules, const MatchFacts& facts);
bool MatchesForegroundBoostExclusions(const RuleSet& rules, const MatchFacts& facts);
bool MatchesOocHardCodedExclusionOverrides(const RuleSet& rules, const MatchFacts& facts);
bool MatchesPowerSaverExclusions(const RuleSet& rules, const MatchFacts& facts);
bool MatchesDisableThreadPriorityBoost(const RuleSet& rules, const MatchFacts& facts);
bool MatchesPreventDisplaySleep(const RuleSet& rules, const MatchFacts& facts);
bool MatchesPreventSystemSleep(const RuleSet& rules, const MatchFacts& facts);

}  // namespace cv
