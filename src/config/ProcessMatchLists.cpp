// The look-ups of the configuration's lists: the variant each list is matched with, in one place
// so that no rule family gets it wrong. They read a published rule set, which never changes, so
// no lock is taken.
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"

namespace cv {
namespace {

// Position of the first matching rule: what the process kept, while the rules are the same
// ones, or a walk of the list whose answer it keeps.
template <typename Rules>
std::optional<std::size_t> KeptFirstMatch(const RuleSet& set, RuleFamily family, const Rules& rules,
                                          const MatchVariant& variant, const MatchFacts& facts) {
    if (facts.memo != nullptr) {
        if (const auto kept = facts.memo->Find(family, set.generation)) {
            if (*kept == MatchMemo::kNoRule) {
                return std::nullopt;
            }
            if (*kept < std::size(rules)) {
                return *kept;
            }
        }
    }
    const auto index = FindMatchingRule(rules, variant, facts);
    if (facts.memo != nullptr) {
        facts.memo->Keep(family, set.generation, index);
    }
    return index;
}

// The first matching rule, in the set.
template <typename Rules>
auto FirstMatch(const RuleSet& set, RuleFamily family, const Rules& rules,
                const MatchVariant& variant, const MatchFacts& facts)
    -> decltype(&*std::begin(rules)) {
    if (const auto index = KeptFirstMatch(set, family, rules, variant, facts)) {
        return &*std::next(std::begin(rules), static_cast<std::ptrdiff_t>(*index));
    }
    return nullptr;
}

template <typename Rules>
bool AnyMatch(const RuleSet& set, RuleFamily family, const Rules& rules,
              const MatchVariant& variant, const MatchFacts& facts) {
    return !std::empty(rules) && KeptFirstMatch(set, family, rules, variant, facts).has_value();
}

// An odd number of leading '~' and '!'.
bool IsNegated(std::wstring_view pattern) {
    bool negated = false;
    for (std::size_t i = 0; i < pattern.size() && (pattern[i] == L'~' || pattern[i] == L'!'); ++i) {
        negated = !negated;
    }
    return negated;
}

}  // namespace

MatchVariant DefaultRulesVariant(const ConfigSections& settings) {
    return {true, settings.ProcessDefaults.MatchWildcardsToPathnames, UserFilter::kWild,
            CommandLineMatch::kWholePattern, false};
}

MatchVariant DefaultAffinityVariant(const ConfigSections& settings) {
    return {true, settings.ProcessDefaults.MatchWildcardsToPathnames, UserFilter::kExact,
            settings.ProcessDefaults.MatchOnCommandLine ? CommandLineMatch::kProcessPart
                                                        : CommandLineMatch::kNever,
            false};
}

MatchVariant OocExclusionsVariant(const ConfigSections& settings) {
    return {true, settings.OutOfControlProcessRestraint.MatchExclusionsByPathnameToo,
            UserFilter::kWild,
            settings.ProcessDefaults.MatchOnCommandLine ? CommandLineMatch::kWholePattern
                                                        : CommandLineMatch::kNever,
            false};
}

const PriorityRule* FindDefaultPriority(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kDefaultPriorities,
                      rules.ProcessDefaults.DefaultPriorities, DefaultRulesVariant(rules), facts);
}

const ValueRule* FindDefaultIoPriority(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kDefaultIoPriorities,
                      rules.ProcessDefaults.DefaultIOPriorities, DefaultRulesVariant(rules), facts);
}

const ValueRule* FindDefaultMemoryPriority(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kDefaultMemoryPriorities,
                      rules.ProcessDefaults.DefaultMemoryPriorities, DefaultRulesVariant(rules),
                      facts);
}

const CpuSetRule* FindCpuSets(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kCpuSets, rules.ProcessDefaults.CPUSets,
                      DefaultRulesVariant(rules), facts);
}

const ValueRule* FindEfficiencyMode(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kEfficiencyMode, rules.ProcessAllowances.EfficiencyMode,
                      DefaultRulesVariant(rules), facts);
}

const AffinityRule* FindDefaultAffinity(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kDefaultAffinities,
                      rules.ProcessDefaults.DefaultAffinitiesEx, DefaultAffinityVariant(rules),
                      facts);
}

const CpuLimitRule* FindCpuLimitRule(const RuleSet& rules, const MatchFacts& facts) {
    return FirstMatch(rules, RuleFamily::kCpuLimits, rules.ProcessAllowances.CPULimitRules,
                      kCpuLimitVariant, facts);
}

std::optional<IndexedRule<WatchdogRule>> FindNextWatchdogRule(const RuleSet& rules,
                                                              const MatchFacts& facts,
                                                              std::size_t from) {
    const auto& list = rules.AdvancedRules.WatchdogRules2;
    const auto index = FindMatchingRule(list, kWatchdogVariant, facts, from);
    if (!index) {
        return std::nullopt;
    }
    return IndexedRule<WatchdogRule>{*index, &list[*index]};
}

std::optional<IndexedRule<InstanceBalancerRule>> FindInstanceBalancerRule(const RuleSet& rules,
                                                                          const MatchFacts& facts) {
    const auto& map = rules.ProcessAllowances.InstanceManagedCPUAffinities;
    std::optional<std::size_t> index;
    const auto stale = facts.memo != nullptr ? facts.memo->StaleAfterAncestry(
                                                   RuleFamily::kInstanceBalancer, rules.generation)
                                             : std::nullopt;
    if (stale && !facts.memo->Find(RuleFamily::kInstanceBalancer, rules.generation)) {
        // Only an ancestor above the parent changed since the answer was kept.
        index = FindMatchingRuleAfterAncestryChange(map, kInstanceBalancerVariant, facts, *stale);
        facts.memo->Keep(RuleFamily::kInstanceBalancer, rules.generation, index);
    } else {
        index = KeptFirstMatch(rules, RuleFamily::kInstanceBalancer, map, kInstanceBalancerVariant,
                               facts);
    }
    if (!index) {
        return std::nullopt;
    }
    const auto& entry = *std::next(map.begin(), static_cast<std::ptrdiff_t>(*index));
    return IndexedRule<InstanceBalancerRule>{*index, &entry.second};
}

std::optional<std::int32_t> FindThrottleLevel(const RuleSet& rules, const MatchFacts& facts) {
    const auto& list = rules.ProcessAllowances.ProcessThrottles;
    const auto index =
        KeptFirstMatch(rules, RuleFamily::kProcessThrottles, list, kNameOnlyVariant, facts);
    return index ? std::optional(list[*index].level) : std::nullopt;
}

std::optional<std::int32_t> FindOneTimeThrottleLevel(const RuleSet& rules,
                                                     const MatchFacts& facts) {
    if (facts.name.empty()) {
        return std::nullopt;
    }
    for (const auto& rule : rules.ProcessAllowances.OneTimeProcessThrottles) {
        if (static_cast<std::uint32_t>(rule.processId) == facts.pid &&
            MatchPattern(rule.pattern.text, facts.name)) {
            return rule.level;
        }
    }
    return std::nullopt;
}

std::optional<PlanGuid> FindPowerScheme(const RuleSet& rules, const MatchFacts& facts) {
    if (facts.name.empty()) {
        return std::nullopt;
    }
    const auto& list = rules.ProcessDefaults.DefaultPowerSchemes;
    // By name first; a negated rule is settled here, against both texts, so that "~game.exe"
    // cannot take game.exe in through its path in the second pass.
    for (const auto& rule : list) {
        const std::wstring& pattern = rule.pattern.text;
        if (IsNegated(pattern) ? MatchPattern(pattern, facts.name) &&
                                     (facts.path.empty() || MatchPattern(pattern, facts.path))
                               : MatchPattern(pattern, facts.name)) {
            return rule.plan;
        }
    }
    for (const auto& rule : list) {
        const std::wstring& pattern = rule.pattern.text;
        if (!IsNegated(pattern) && MatchPattern(pattern, facts.path)) {
            return rule.plan;
        }
    }
    return std::nullopt;
}

bool MatchesAllowedProcesses(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kAllowedProcesses, rules.ProcessAllowances.AllowedProcesses,
                    DefaultRulesVariant(rules), facts);
}

bool MatchesDisallowedProcesses(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kDisallowedProcesses,
                    rules.ProcessAllowances.DisallowedProcesses, DefaultRulesVariant(rules), facts);
}

bool MatchesInternetExplorerExemptions(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kInternetExplorerExemptions,
                    rules.AdvancedRules.ProhibitInternetExplorerExceptWhenAny,
                    DefaultRulesVariant(rules), facts);
}

bool MatchesOocExclusions(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kOocExclusions,
                    rules.OutOfControlProcessRestraint.OocExclusions, OocExclusionsVariant(rules),
                    facts);
}

bool MatchesProcessorGroupExtended(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kProcessorGroupExtended,
                    rules.AdvancedRules.ProcessorGroupExtended, kCpuLimitVariant, facts);
}

bool MatchesForegroundBoostExclusions(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kForegroundBoostExclusions,
                    rules.ForegroundBoosting.ForegroundBoostExclusions, kNameAndUserVariant, facts);
}

bool MatchesOocHardCodedExclusionOverrides(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kOocHardCodedExclusionOverrides,
                    rules.OutOfControlProcessRestraint.OocHardCodedExclusionOverrides,
                    kNameOnlyVariant, facts);
}

bool MatchesPowerSaverExclusions(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kPowerSaverExclusions,
                    rules.PowerSaver.PowerSaver_Exclusions, kNameAndUserVariant, facts);
}

bool MatchesDisableThreadPriorityBoost(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kDisableThreadPriorityBoost,
                    rules.ProcessDefaults.DisableThreadPriorityBoost, kNameOnlyVariant, facts);
}

bool MatchesPreventDisplaySleep(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kPreventDisplaySleep, rules.PowerManagement.Display,
                    kNameOnlyVariant, facts);
}

bool MatchesPreventSystemSleep(const RuleSet& rules, const MatchFacts& facts) {
    return AnyMatch(rules, RuleFamily::kPreventSystemSleep, rules.PowerManagement.PC,
                    kNameOnlyVariant, facts);
}

}  // namespace cv
