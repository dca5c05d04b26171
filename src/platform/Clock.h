#pragma once
// Time: the tick clock and sleeping. The simulated machine's clock moves only when a test moves it.
#include <cstdint>

namespace cv::platform {

std::uint64_t TickCount64();
void SleepMs(std::uint32_t milliseconds);
// GetSystemTimeAsFileTime: 100-ns units since 1601-01-01 UTC.
std::uint64_t SystemTimeAsFileTime();

}  // namespace cv::platform
