#pragma once
// The throttle of one process: the level it runs at and the list it came from.
#include <cstdint>

namespace cv {

struct ThrottleState {
    std::int32_t level = -1;  // -1: not throttled
    bool oneTime = false;     // from OneTimeProcessThrottles
};

}  // namespace cv
