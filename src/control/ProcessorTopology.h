#pragma once
// The machine's processors as the policies see them: how many, in how many groups, and which are
// efficiency cores on a hybrid machine. Built once at start-up.
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "config/ConfigSettings.h"

namespace cv {

struct ProcessorTopology {
    // (group, processor number) -> efficiency class of its core.
    std::map<std::pair<std::uint16_t, std::uint8_t>, std::uint8_t> efficiencyClasses;
    std::uint8_t highestEfficiencyClass = 0;
    std::uint32_t logicalProcessors = 0;  // all groups
    std::uint32_t groupCount = 0;
    std::uint32_t processorsInGroup0 = 0;
    // Some active processor's class is below the highest: performance and efficiency cores mix.
    bool hybrid = false;
    std::vector<std::uint64_t> efficiencyCoreMasks;  // by group

    std::uint64_t EfficiencyCoreMask(std::uint16_t group) const;
    // Bits 0 to processorsInGroup0 - 1 (at most 64).
    std::uint64_t FullMaskGroup0() const;
    // The logical processors less the efficiency cores of group 0, when that leaves any.
    std::uint32_t PerformanceProcessorCount() const;
    // What the configuration defaults depend on.
    ProcessorFacts Facts() const;
};

// GetLogicalProcessorInformationEx and the active processor counts. A machine that reports no
// efficiency classes has every processor in class 0 and is not hybrid.
ProcessorTopology BuildProcessorTopology();

// Half the processors of group 0 (rounded down), picked uniformly at random; randomBelow(n) gives
// a number in [0, n).
std::uint64_t RandomHalfMask(const ProcessorTopology& topology,
                             const std::function<std::uint32_t(std::uint32_t)>& randomBelow);
std::uint64_t RandomHalfMask(const ProcessorTopology& topology);

}  // namespace cv
