#pragma once
// What the per-process defaults keep for one process: which attributes were evaluated since the
// rules last changed, and which failures to set them have been told.
#include <cstdint>

#include "common/FailureEpisodes.h"

namespace cv {

// A default that cannot be set is tried again whenever the rules are judged again (every cycle
// with ForcedMode, or with efficiency mode off); its failure is logged when it first fails.
enum class DefaultsFailure : std::uint8_t {
    kEfficiencyMode,
    kAffinity,
    kMemoryPriority,
    kCpuSets,
};

struct DefaultsState {
    bool efficiencyModeEvaluated = false;
    bool affinityEvaluated = false;
    bool priorityEvaluated = false;
    bool boostEvaluated = false;
    bool memoryPriorityEvaluated = false;
    bool ioPriorityEvaluated = false;
    bool cpuSetsEvaluated = false;
    bool efficiencyModeLogged = false;
    FailureEpisodes failures;  // kinds: DefaultsFailure
};

}  // namespace cv
