#pragma once
// What the new-process rules keep for one process.
#include <cstdint>

#include "common/FailureEpisodes.h"

namespace cv {

// A process that cannot be ended is tried again whenever the rules are judged again.
enum class NewProcessFailure : std::uint8_t { kDisallowed, kInternetExplorer };

struct NewProcessState {
    bool disallowJudged = false;  // the disallowed rule has had its first look
    bool internetExplorerTerminated = false;
    FailureEpisodes failures;  // kinds: NewProcessFailure
};

}  // namespace cv
