#pragma once
// The per-process defaults: efficiency mode, affinity, priority class, thread priority boost,
// memory and I/O priority and default CPU sets, each set once when a process is first seen and
// again whenever the rules may have changed.
#include "control/FeatureContext.h"

namespace cv {

struct AffinityRule;

class ProcessDefaults {
  public:
    void ApplyEfficiencyMode(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);
    // Affinity, priority class, boost, memory priority and I/O priority, in that order.
    void Apply(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);
    void ApplyCpuSets(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);

  private:
    void ApplyAffinity(const FeatureContext& context, ProcessRecord& record,
                       const AffinityRule& rule);
};

}  // namespace cv
