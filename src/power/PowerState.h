#pragma once
// What power automation keeps for one process.
#include <array>
#include <cstdint>

#include "common/FailureEpisodes.h"

namespace cv {

struct PowerState {
    // The process engaged performance mode; it is also left alone by Levelon.
    bool performanceTrigger = false;
    // Its path was read, or every attempt the table allows has failed: the trigger test is then
    // judged only when the rules are judged again.
    bool pathKnown = false;
    // It holds an application plan: the plan's 16 GUID bytes.
    bool planHolder = false;
    std::array<std::uint8_t, 16> heldPlan{};
    // Whether a failure to activate its plan has been told; it is again after a success.
    FailureEpisodes planFailures;
    // Counted among the processes that keep the machine (or the display) awake.
    bool preventSleepCounted = false;
    bool preventPcSleep = false;
    bool preventDisplaySleep = false;
    // Counted among the processes that keep the idle-time plan off.
    bool idleExclusion = false;
    bool idleExclusionJudged = false;
};

}  // namespace cv
