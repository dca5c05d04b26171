#pragma once
// What the engine's own session tells about its user: the foreground window's process and the
// time of the last input.
#include <cstdint>
#include <optional>

namespace cv::platform {

struct ForegroundWindowOwner {
    std::uintptr_t window = 0;
    std::uint32_t threadId = 0;  // 0 or all bits set when it could not be told
    std::uint32_t processId = 0;
};

// GetForegroundWindow, then GetWindowThreadProcessId; none when there is no foreground window.
std::optional<ForegroundWindowOwner> ForegroundWindowProcess();

// GetLastInputInfo: the tick (GetTickCount) of the last input in this session; none on failure.
std::optional<std::uint32_t> LastInputTick();

}  // namespace cv::platform
