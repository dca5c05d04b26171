#pragma once
// The machine's total CPU use, from the processors' idle times.
#include <cstdint>

namespace cv {

class SystemCpuMeter {
  public:
    // Percent busy since the previous call; -1 on the first call.
    double SampleTotalCpu();

  private:
    std::uint64_t previousIdle_ = 0;
    std::uint64_t previousTime_ = 0;
    bool sampled_ = false;
};

}  // namespace cv
