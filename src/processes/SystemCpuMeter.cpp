#include "processes/SystemCpuMeter.h"

#include <vector>

#include "platform/Clock.h"
#include "platform/Processes.h"
#include "platform/System.h"
#include "platform/SystemProcessLayout.h"

namespace cv {

double SystemCpuMeter::SampleTotalCpu() {
    namespace layout = platform::layout;
    const std::uint32_t processors = platform::ProcessorCount();
    std::vector<std::uint8_t> buffer(std::size_t{processors} * layout::kProcessorPerformanceSize);
    std::uint32_t returned = 0;
    if (processors == 0 || platform::QuerySystemInformation(
                               platform::kSystemProcessorPerformanceInformation, buffer.data(),
                               static_cast<std::uint32_t>(buffer.size()), &returned) < 0) {
        return sampled_ ? 0 : -1;
    }
    std::uint64_t idle = 0;
    for (std::uint32_t i = 0; i < processors; ++i) {
        idle += layout::Read<std::uint64_t>(buffer.data() + i * layout::kProcessorPerformanceSize,
                                            layout::kProcessorIdleTime);
    }
    const std::uint64_t now = platform::SystemTimeAsFileTime();
    double result = -1;
    if (sampled_ && now > previousTime_ && idle >= previousIdle_) {
        const std::uint64_t idlePercent =
            (idle - previousIdle_) * 100 / ((now - previousTime_) * processors);
        result = 100.0 - static_cast<double>(idlePercent);
    } else if (sampled_) {
        result = 0;
    }
    previousIdle_ = idle;
    previousTime_ = now;
    sampled_ = true;
    return result;
}

}  // namespace cv
