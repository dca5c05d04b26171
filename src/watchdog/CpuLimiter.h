#pragma once
// The CPU limiter: a process that stays at or above a CPU threshold for long enough loses a
// number of its processors, chosen at random, for a while (or until the rules change or the
// engine stops). Each narrowed mask is journalled before it is set.
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "config/RuleLists.h"
#include "control/FeatureContext.h"

namespace cv {

class CpuLimiter {
  public:
    // At start-up: the rules later loads are compared with.
    void Start(const FeatureContext& context) {
        NoteReload(context);
        rulesChanged_ = false;
    }
    // At the start of every cycle, before a reload can mark the rules as changed.
    void BeginCycle() { rulesChanged_ = false; }
    // After a reload: whether the rules changed since the previous load.
    void NoteReload(const FeatureContext& context);
    // The per-record step.
    void Apply(const FeatureContext& context, ProcessRecord& record);
    bool RulesChanged() const { return rulesChanged_; }
    // At the engine's stop: every limited process gets its mask back; nothing is logged.
    void RestoreAll(const FeatureContext& context);

  private:
    void Limit(const FeatureContext& context, ProcessRecord& record, CpuLimitInstance& instance);
    // Takes `count` set bits away from the mask at random; 0 when it cannot.
    std::uint64_t RemoveProcessors(std::uint64_t mask, std::uint32_t count);

    std::optional<std::vector<CpuLimitRule>> rules_;
    bool rulesChanged_ = false;
    std::minstd_rand random_;
};

}  // namespace cv
