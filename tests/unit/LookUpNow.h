#pragma once
// The look-ups on a rule set built from the settings' lists as they stand now, returning copies:
// tests change the lists in place and look up at once. The engine never does this; it reads the
// set it holds.
#include <memory>
#include <optional>
#include <type_traits>

#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"

namespace cv {

template <typename Lookup>
auto LookUpNow(const ConfigSettings& settings, const MatchFacts& facts, Lookup lookup) {
    const std::shared_ptr<const RuleSet> rules = settings.BuildRules();
    const auto found = lookup(*rules, facts);
    using Found = std::remove_cvref_t<decltype(found)>;
    if constexpr (std::is_pointer_v<Found>) {
        using Rule = std::remove_cvref_t<std::remove_pointer_t<Found>>;
        return found != nullptr ? std::optional<Rule>(*found) : std::optional<Rule>();
    } else {
        return found;
    }
}

#define CV_LOOKUP_NOW(name)                                                          \
    inline auto name(const ConfigSettings& settings, const MatchFacts& facts) {      \
        return LookUpNow(settings, facts, [](const RuleSet& rules, const MatchFacts& f) { \
            return name(rules, f);                                                   \
        });                                                                          \
    }
CV_LOOKUP_NOW(FindDefaultPriority)
CV_LOOKUP_NOW(FindDefaultIoPriority)
CV_LOOKUP_NOW(FindDefaultMemoryPriority)
CV_LOOKUP_NOW(FindCpuSets)
CV_LOOKUP_NOW(FindEfficiencyMode)
CV_LOOKUP_NOW(FindDefaultAffinity)
CV_LOOKUP_NOW(FindCpuLimitRule)
CV_LOOKUP_NOW(FindThrottleLevel)
CV_LOOKUP_NOW(FindOneTimeThrottleLevel)
CV_LOOKUP_NOW(FindPowerScheme)
CV_LOOKUP_NOW(MatchesAllowedProcesses)
CV_LOOKUP_NOW(MatchesDisallowedProcesses)
CV_LOOKUP_NOW(MatchesInternetExplorerExemptions)
CV_LOOKUP_NOW(MatchesOocExclusions)
CV_LOOKUP_NOW(MatchesProcessorGroupExtended)
CV_LOOKUP_NOW(MatchesForegroundBoostExclusions)
CV_LOOKUP_NOW(MatchesOocHardCodedExclusionOverrides)
CV_LOOKUP_NOW(MatchesPowerSaverExclusions)
CV_LOOKUP_NOW(MatchesDisableThreadPriorityBoost)
CV_LOOKUP_NOW(MatchesPreventDisplaySleep)
CV_LOOKUP_NOW(MatchesPreventSystemSleep)
#undef CV_LOOKUP_NOW

template <typename Rule>
struct IndexedCopy {
    std::size_t index = 0;
    Rule rule;
};

inline std::optional<IndexedCopy<WatchdogRule>> FindNextWatchdogRule(
    const ConfigSettings& settings, const MatchFacts& facts, std::size_t from) {
    const std::shared_ptr<const RuleSet> rules = settings.BuildRules();
    const auto found = FindNextWatchdogRule(*rules, facts, from);
    if (!found) {
        return std::nullopt;
    }
    return IndexedCopy<WatchdogRule>{found->index, *found->rule};
}

inline std::optional<IndexedCopy<InstanceBalancerRule>> FindInstanceBalancerRule(
    const ConfigSettings& settings, const MatchFacts& facts) {
    const std::shared_ptr<const RuleSet> rules = settings.BuildRules();
    const auto found = FindInstanceBalancerRule(*rules, facts);
    if (!found) {
        return std::nullopt;
    }
    return IndexedCopy<InstanceBalancerRule>{found->index, *found->rule};
}

}  // namespace cv
