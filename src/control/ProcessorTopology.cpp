#include "control/ProcessorTopology.h"

#include <algorithm>
#include <bit>
#include <random>

#include "platform/Clock.h"
#include "platform/ProcessControl.h"
#include "platform/System.h"

namespace cv {

namespace {

constexpr std::uint32_t kMaxGroupProcessors = 64;

std::uint64_t LowBits(std::uint32_t count) {
    return count >= kMaxGroupProcessors ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

std::uint32_t RandomSeed() {
    try {
        return std::random_device{}();
    } catch (...) {
        // Without an entropy source the tick count is random enough to spread processors.
        return static_cast<std::uint32_t>(platform::TickCount64());
    }
}

}  // namespace

std::uint64_t ProcessorTopology::EfficiencyCoreMask(std::uint16_t group) const {
    return group < efficiencyCoreMasks.size() ? efficiencyCoreMasks[group] : 0;
}

std::uint64_t ProcessorTopology::FullMaskGroup0() const {
    return LowBits(processorsInGroup0);
}

std::uint32_t ProcessorTopology::PerformanceProcessorCount() const {
    const auto efficient = static_cast<std::uint32_t>(std::popcount(EfficiencyCoreMask(0)));
    if (hybrid && efficient < logicalProcessors) {
        return logicalProcessors - efficient;
    }
    return logicalProcessors;
}

ProcessorFacts ProcessorTopology::Facts() const {
    ProcessorFacts facts;
    facts.activeProcessors = logicalProcessors;
    facts.hybrid = hybrid;
    facts.efficientProcessorsGroup0 =
        static_cast<std::uint32_t>(std::popcount(EfficiencyCoreMask(0)));
    return facts;
}

ProcessorTopology BuildProcessorTopology() {
    ProcessorTopology topology;
    if (const auto cores = platform::ProcessorCores()) {
        for (const platform::ProcessorCore& core : *cores) {
            for (std::uint8_t bit = 0; bit < kMaxGroupProcessors; ++bit) {
                if ((core.mask >> bit & 1) != 0) {
                    topology.efficiencyClasses[{core.group, bit}] = core.efficiencyClass;
                }
            }
            topology.highestEfficiencyClass =
                std::max(topology.highestEfficiencyClass, core.efficiencyClass);
        }
    }
    topology.logicalProcessors = platform::ActiveProcessorCountAllGroups();
    topology.groupCount = platform::ActiveProcessorGroupCount();
    topology.processorsInGroup0 = platform::ActiveProcessorCount(0);

    topology.efficiencyCoreMasks.assign(topology.groupCount, 0);
    for (std::uint32_t group = 0; group < topology.groupCount; ++group) {
        const auto groupNumber = static_cast<std::uint16_t>(group);
        const std::uint32_t count =
            std::min(platform::ActiveProcessorCount(groupNumber), kMaxGroupProcessors);
        for (std::uint32_t processor = 0; processor < count; ++processor) {
            const auto found = topology.efficiencyClasses.find(
                {groupNumber, static_cast<std::uint8_t>(processor)});
            if (found != topology.efficiencyClasses.end() &&
                found->second < topology.highestEfficiencyClass) {
                topology.efficiencyCoreMasks[group] |= std::uint64_t{1} << processor;
                topology.hybrid = true;
            }
        }
    }
    return topology;
}

std::uint64_t RandomHalfMask(const ProcessorTopology& topology,
                             const std::function<std::uint32_t(std::uint32_t)>& randomBelow) {
    const std::uint32_t processors = std::min(topology.processorsInGroup0, kMaxGroupProcessors);
    const std::uint32_t wanted = processors / 2;
    std::uint64_t mask = 0;
    while (static_cast<std::uint32_t>(std::popcount(mask)) < wanted) {
        mask |= std::uint64_t{1} << (randomBelow(processors) % processors);
    }
    return mask;
}

std::uint64_t RandomHalfMask(const ProcessorTopology& topology) {
    thread_local std::mt19937 engine{RandomSeed()};
    return RandomHalfMask(topology, [](std::uint32_t bound) {
        return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(engine);
    });
}

}  // namespace cv
