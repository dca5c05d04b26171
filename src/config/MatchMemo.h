#pragma once
// What one process keeps of its rule look-ups: for every rule family, the position of the first
// rule that matched it, or that none did. Matching a process against a family is done once for
// as long as the configuration's rules stay the same, not again whenever anything happens.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

namespace cv {

enum class RuleFamily : std::uint8_t {
    kDefaultPriorities,
    kDefaultIoPriorities,
    kDefaultMemoryPriorities,
    kCpuSets,
    kEfficiencyMode,
    kDefaultAffinities,
    kCpuLimits,
    kInstanceBalancer,
    kAllowedProcesses,
    kDisallowedProcesses,
    kInternetExplorerExemptions,
    kOocExclusions,
    kProcessorGroupExtended,
    kForegroundBoostExclusions,
    kOocHardCodedExclusionOverrides,
    kPowerSaverExclusions,
    kDisableThreadPriorityBoost,
    kPreventDisplaySleep,
    kPreventSystemSleep,
    kProcessThrottles,
    // Yes-or-no answers that rest on the same facts and lists.
    kPerformanceModeTrigger,
    kLevelonExclusion,
    kKeepRunning,
    kCount,
};

class MatchMemo {
  public:
    MatchMemo() {
        results_.fill(kUnknown);
        stale_.fill(kUnknown);
    }

    // The kept answer for the family under this rule generation: the rule's position, or
    // kNoRule; none when it was never looked up. Rules of another generation drop everything
    // kept, the subject too.
    static constexpr std::uint32_t kNoRule = 0xFFFFFFFEu;
    std::optional<std::uint32_t> Find(RuleFamily family, std::uint64_t generation) {
        if (generation != generation_) {
            Forget();
            generation_ = generation;
            return std::nullopt;
        }
        const std::uint32_t kept = results_[static_cast<std::size_t>(family)];
        if (kept == kUnknown) {
            return std::nullopt;
        }
        return kept;
    }
    // Keeps what a look-up that began with Find under the same generation found.
    void Keep(RuleFamily family, std::uint64_t generation, std::optional<std::size_t> position) {
        if (generation != generation_ || (position && *position >= kNoRule)) {
            return;  // the rules changed meanwhile, or not representable: looked up again
        }
        results_[static_cast<std::size_t>(family)] =
            position ? static_cast<std::uint32_t>(*position) : kNoRule;
        stale_[static_cast<std::size_t>(family)] = kUnknown;
    }
    // A kept yes-or-no answer, or the one `compute` gives, kept from now on.
    template <typename Compute>
    bool Answer(RuleFamily family, std::uint64_t generation, Compute compute) {
        if (const auto kept = Find(family, generation)) {
            return *kept != kNoRule;
        }
        const bool answer = compute();
        Keep(family, generation, answer ? std::optional<std::size_t>(0) : std::nullopt);
        return answer;
    }

    // Only these families are looked up again; the others and the subject stay.
    void Forget(std::initializer_list<RuleFamily> families) {
        for (const RuleFamily family : families) {
            results_[static_cast<std::size_t>(family)] = kUnknown;
            stale_[static_cast<std::size_t>(family)] = kUnknown;
        }
    }

    // An ancestor above the parent came, went or had its id taken: of the family's rules only
    // those that walk the ancestors may answer differently. Find answers nothing for the family
    // until it is kept again; StaleAfterAncestry gives the position kept before, for a finder
    // that need test only those rules.
    void NoteAncestryChanged(RuleFamily family) {
        const auto index = static_cast<std::size_t>(family);
        if (results_[index] != kUnknown) {
            stale_[index] = results_[index];
            results_[index] = kUnknown;
        }
    }
    std::optional<std::uint32_t> StaleAfterAncestry(RuleFamily family, std::uint64_t generation) {
        const std::uint32_t stale = stale_[static_cast<std::size_t>(family)];
        if (generation != generation_ || stale == kUnknown) {
            return std::nullopt;
        }
        return stale;
    }

    // The facts matching compares have changed (the path became known).
    void Forget() {
        results_.fill(kUnknown);
        stale_.fill(kUnknown);
        subject_.clear();
    }

    // The regular-expression subject, built by the first look-up that needs it and dropped by
    // ReleaseSubject once the process's look-ups of the cycle are done.
    template <typename Build>
    const std::wstring& Subject(Build build) {
        if (subject_.empty()) {
            subject_ = build();
        }
        return subject_;
    }
    void ReleaseSubject() {
        if (!subject_.empty()) {
            std::wstring().swap(subject_);
        }
    }

  private:
    static constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;

    std::uint64_t generation_ = 0;
    std::array<std::uint32_t, static_cast<std::size_t>(RuleFamily::kCount)> results_{};
    // Positions kept before an ancestor changed (NoteAncestryChanged), until kept again.
    std::array<std::uint32_t, static_cast<std::size_t>(RuleFamily::kCount)> stale_{};
    std::wstring subject_;
};

}  // namespace cv
