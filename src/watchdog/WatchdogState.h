#pragma once
// What the watchdog rules and the CPU limiter keep for one process: the rules that match it with
// the episode of each, and the limits of the CPU limit rules it matched.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/FailureEpisodes.h"

namespace cv {

// One matching watchdog rule and its episode.
struct WatchdogEpisode {
    std::size_t rule = 0;              // position in the rules the list was built from
    std::uint64_t conditionStart = 0;  // FILETIME; 0 while the condition does not hold
    bool actionTaken = false;          // the once-per-episode action ran
    // Failures of the rule's action on this process; unlike the condition's episode, theirs
    // ends only when the action succeeds (kinds: WatchdogFailure).
    FailureEpisodes failures;
};

// One CPU limit rule applied to the process.
struct CpuLimitInstance {
    std::wstring pattern;
    float threshold = 0;
    std::uint32_t timeOverMs = 0;
    std::uint32_t processors = 0;
    std::uint32_t durationMs = 0;
    std::uint64_t overThresholdStart = 0;  // FILETIME; 0: not over the threshold
    std::uint64_t limitStart = 0;          // FILETIME; 0: not limiting
    std::uint64_t savedMask = 0;
    std::uint64_t appliedMask = 0;
    FailureEpisodes failures;  // kinds: CpuLimitFailure
};

enum class CpuLimitFailure : std::uint8_t { kLimit, kRestore };

enum class WatchdogFailure : std::uint8_t {
    kTerminate,
    kRestart,
    kLaunchesProhibited,
    kAffinity,
    kPriority,
    kLaunch,
    kUntrustedProgram,  // as a service: SYSTEM's process, a program a standard user may change
};

struct WatchdogState {
    bool rulesBuilt = false;
    std::uint32_t rulesStamp = 0;  // the configuration load the list was built for
    std::vector<WatchdogEpisode> episodes;
    std::vector<CpuLimitInstance> limits;
};

}  // namespace cv
