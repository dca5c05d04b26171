#pragma once
// Threads the engine starts for work beside the control thread whose owner must be able to end
// them even when they do not stop by themselves: a thread handle can be waited on like any other
// object and, as the last resort, terminated.
#include <cstdint>
#include <functional>

#include "platform/Handle.h"

namespace cv::platform {

// CreateThread running the body; none when the thread cannot be created.
UniqueHandle StartThread(std::function<void()> body);
// TerminateThread with the exit code. The body stops wherever it is and nothing of it is
// unwound, so only a thread that does not answer its stop request is ended this way.
bool TerminateThreadHandle(RawHandle thread, std::uint32_t exitCode);

}  // namespace cv::platform
