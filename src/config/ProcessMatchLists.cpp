// The look-ups of the configuration's lists: the variant each list is matched with and the
// lock that guards it, in one place so that no rule family gets either wrong.
#include <mutex>

#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"

namespace cv {
namespace {

// Position of the first matching rule: what the process kept, while the rules are the same
// ones, or a walk of the list whose answer it keeps. The caller holds the list's lock.
template <typename Rules>
std::optional<std::size_t> KeptFirstMatch(const ConfigSettings& settings, RuleFamily family,
                                          const Rules& rules, const MatchVariant& variant,
                                          const MatchFacts& facts) {
    const std::uint64_t generation = settings.RulesGeneration();
    if (facts.memo != nullptr) {
        if (const auto kept = facts.memo->Find(family, generation)) {
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
        facts.memo->Keep(family, generation, index);
    }
    return index;
}

// The process kept that no rule of the family matches it: the list need not be read, nor its
// lock taken.
bool KeptNoMatch(const ConfigSettings& settings, RuleFamily family, const MatchFacts& facts) {
    if (facts.memo == nullptr) {
        return false;
    }
    const auto kept = facts.memo->Find(family, settings.RulesGeneration());
    return kept && *kept == MatchMemo::kNoRule;
}

// A copy of the first matching rule, taken under the list's lock.
template <typename Rules>
auto CopyFirstMatch(const ConfigSettings& settings, RuleFamily family, std::recursive_mutex& lock,
                    const Rules& rules, const MatchVariant& variant, const MatchFacts& facts)
    -> std::optional<std::remove_cvref_t<decltype(*std::begin(rules))>> {
    if (KeptNoMatch(settings, family, facts)) {
        return std::nullopt;
    }
    std::lock_guard guard(lock);
    if (const auto index = KeptFirstMatch(settings, family, rules, variant, facts)) {
        return *std::next(std::begin(rules), static_cast<std::ptrdiff_t>(*index));
    }
    return std::nullopt;
}

template <typename Rules>
bool AnyMatch(const ConfigSettings& settings, RuleFamily family, std::recursive_mutex* lock,
              const Rules& rules, const MatchVariant& variant, const MatchFacts& facts) {
    if (KeptNoMatch(settings, family, facts)) {
        return false;
    }
    std::unique_lock<std::recursive_mutex> guard;
    if (lock != nullptr) {
        guard = std::unique_lock(*lock);
    }
    if (std::empty(rules)) {
        return false;
    }
    return KeptFirstMatch(settings, family, rules, variant, facts).has_value();
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

MatchVariant DefaultRulesVariant(const ConfigSettings& settings) {
    return {true, settings.ProcessDefaults.MatchWildcardsToPathnames, UserFilter::kWild,
            CommandLineMatch::kWholePattern, false};
}

MatchVariant DefaultAffinityVariant(const ConfigSettings& settings) {
    return {true, settings.ProcessDefaults.MatchWildcardsToPathnames, UserFilter::kExact,
            settings.ProcessDefaults.MatchOnCommandLine ? CommandLineMatch::kProcessPart
                                                        : CommandLineMatch::kNever,
            false};
}

MatchVariant OocExclusionsVariant(const ConfigSettings& settings) {
    return {true, settings.OutOfControlProcessRestraint.MatchExclusionsByPathnameToo,
            UserFilter::kWild,
            settings.ProcessDefaults.MatchOnCommandLine ? CommandLineMatch::kWholePattern
                                                        : CommandLineMatch::kNever,
            false};
}

std::optional<PriorityRule> FindDefaultPriority(const ConfigSettings& settings,
                                                const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kDefaultPriorities, settings.RuleListMutex,
                          settings.ProcessDefaults.DefaultPriorities, DefaultRulesVariant(settings),
                          facts);
}

std::optional<ValueRule> FindDefaultIoPriority(const ConfigSettings& settings,
                                               const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kDefaultIoPriorities, settings.RuleListMutex,
                          settings.ProcessDefaults.DefaultIOPriorities,
                          DefaultRulesVariant(settings), facts);
}

std::optional<ValueRule> FindDefaultMemoryPriority(const ConfigSettings& settings,
                                                   const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kDefaultMemoryPriorities, settings.RuleListMutex,
                          settings.ProcessDefaults.DefaultMemoryPriorities,
                          DefaultRulesVariant(settings), facts);
}

std::optional<CpuSetRule> FindCpuSets(const ConfigSettings& settings, const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kCpuSets, settings.RuleListMutex,
                          settings.ProcessDefaults.CPUSets, DefaultRulesVariant(settings), facts);
}

std::optional<ValueRule> FindEfficiencyMode(const ConfigSettings& settings,
                                            const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kEfficiencyMode, settings.RuleListMutex,
                          settings.ProcessAllowances.EfficiencyMode, DefaultRulesVariant(settings),
                          facts);
}

std::optional<AffinityRule> FindDefaultAffinity(const ConfigSettings& settings,
                                                const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kDefaultAffinities, settings.RuleListMutex,
                          settings.ProcessDefaults.DefaultAffinitiesEx,
                          DefaultAffinityVariant(settings), facts);
}

std::optional<CpuLimitRule> FindCpuLimitRule(const ConfigSettings& settings,
                                             const MatchFacts& facts) {
    return CopyFirstMatch(settings, RuleFamily::kCpuLimits, settings.RuleListMutex,
                          settings.ProcessAllowances.CPULimitRules, kCpuLimitVariant, facts);
}

std::optional<IndexedRule<WatchdogRule>> FindNextWatchdogRule(const ConfigSettings& settings,
                                                              const MatchFacts& facts,
                                                              std::size_t from) {
    std::lock_guard guard(settings.RuleListMutex);
    const auto& rules = settings.AdvancedRules.WatchdogRules2;
    const auto index = FindMatchingRule(rules, kWatchdogVariant, facts, from);
    if (!index) {
        return std::nullopt;
    }
    return IndexedRule<WatchdogRule>{*index, rules[*index]};
}

std::optional<IndexedRule<InstanceBalancerRule>> FindInstanceBalancerRule(
    const ConfigSettings& settings, const MatchFacts& facts) {
    if (KeptNoMatch(settings, RuleFamily::kInstanceBalancer, facts)) {
        return std::nullopt;
    }
    std::lock_guard guard(settings.RuleListMutex);
    const auto& rules = settings.ProcessAllowances.InstanceManagedCPUAffinities;
    const auto index = KeptFirstMatch(settings, RuleFamily::kInstanceBalancer, rules,
                                      kInstanceBalancerVariant, facts);
    if (!index) {
        return std::nullopt;
    }
    const auto& entry = *std::next(rules.begin(), static_cast<std::ptrdiff_t>(*index));
    return IndexedRule<InstanceBalancerRule>{*index, entry.second};
}

std::optional<std::int32_t> FindThrottleLevel(const ConfigSettings& settings,
                                              const MatchFacts& facts) {
    if (KeptNoMatch(settings, RuleFamily::kProcessThrottles, facts)) {
        return std::nullopt;
    }
    std::lock_guard guard(settings.ThrottleLock);
    const auto& rules = settings.ProcessAllowances.ProcessThrottles;
    const auto index =
        KeptFirstMatch(settings, RuleFamily::kProcessThrottles, rules, kNameOnlyVariant, facts);
    return index ? std::optional(rules[*index].level) : std::nullopt;
}

std::optional<std::int32_t> FindOneTimeThrottleLevel(const ConfigSettings& settings,
                                                     const MatchFacts& facts) {
    std::lock_guard guard(settings.OneTimeThrottleLock);
    if (facts.name.empty()) {
        return std::nullopt;
    }
    for (const auto& rule : settings.ProcessAllowances.OneTimeProcessThrottles) {
        if (static_cast<std::uint32_t>(rule.processId) == facts.pid &&
            MatchPattern(rule.pattern.text, facts.name)) {
            return rule.level;
        }
    }
    return std::nullopt;
}

std::optional<PlanGuid> FindPowerScheme(const ConfigSettings& settings, const MatchFacts& facts) {
    std::lock_guard guard(settings.PowerSchemeLock);
    if (facts.name.empty()) {
        return std::nullopt;
    }
    const auto& rules = settings.ProcessDefaults.DefaultPowerSchemes;
    // By name first; a negated rule is settled here, against both texts, so that "~game.exe"
    // cannot take game.exe in through its path in the second pass.
    for (const auto& rule : rules) {
        const std::wstring& pattern = rule.pattern.text;
        if (IsNegated(pattern) ? MatchPattern(pattern, facts.name) &&
                                     (facts.path.empty() || MatchPattern(pattern, facts.path))
                               : MatchPattern(pattern, facts.name)) {
            return rule.plan;
        }
    }
    for (const auto& rule : rules) {
        const std::wstring& pattern = rule.pattern.text;
        if (!IsNegated(pattern) && MatchPattern(pattern, facts.path)) {
            return rule.plan;
        }
    }
    return std::nullopt;
}

bool MatchesAllowedProcesses(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kAllowedProcesses, &settings.RuleListMutex,
                    settings.ProcessAllowances.AllowedProcesses, DefaultRulesVariant(settings),
                    facts);
}

bool MatchesDisallowedProcesses(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kDisallowedProcesses, &settings.RuleListMutex,
                    settings.ProcessAllowances.DisallowedProcesses, DefaultRulesVariant(settings),
                    facts);
}

bool MatchesInternetExplorerExemptions(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kInternetExplorerExemptions, &settings.RuleListMutex,
                    settings.AdvancedRules.ProhibitInternetExplorerExceptWhenAny,
                    DefaultRulesVariant(settings), facts);
}

bool MatchesOocExclusions(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kOocExclusions, &settings.ExclusionMutex,
                    settings.OutOfControlProcessRestraint.OocExclusions,
                    OocExclusionsVariant(settings), facts);
}

bool MatchesProcessorGroupExtended(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kProcessorGroupExtended, &settings.RuleListMutex,
                    settings.AdvancedRules.ProcessorGroupExtended, kCpuLimitVariant, facts);
}

bool MatchesForegroundBoostExclusions(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kForegroundBoostExclusions, nullptr,
                    settings.ForegroundBoosting.ForegroundBoostExclusions, kNameAndUserVariant,
                    facts);
}

bool MatchesOocHardCodedExclusionOverrides(const ConfigSettings& settings,
                                           const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kOocHardCodedExclusionOverrides, nullptr,
                    settings.OutOfControlProcessRestraint.OocHardCodedExclusionOverrides,
                    kNameOnlyVariant, facts);
}

bool MatchesPowerSaverExclusions(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kPowerSaverExclusions, &settings.RuleListMutex,
                    settings.PowerSaver.PowerSaver_Exclusions, kNameAndUserVariant, facts);
}

bool MatchesDisableThreadPriorityBoost(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kDisableThreadPriorityBoost, &settings.RuleListMutex,
                    settings.ProcessDefaults.DisableThreadPriorityBoost, kNameOnlyVariant, facts);
}

bool MatchesPreventDisplaySleep(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kPreventDisplaySleep, &settings.PreventSleepLock,
                    settings.PowerManagement.Display, kNameOnlyVariant, facts);
}

bool MatchesPreventSystemSleep(const ConfigSettings& settings, const MatchFacts& facts) {
    return AnyMatch(settings, RuleFamily::kPreventSystemSleep, &settings.PreventSleepLock,
                    settings.PowerManagement.PC, kNameOnlyVariant, facts);
}

}  // namespace cv
