#pragma once
// What Levelon keeps for one process: whether it may be restrained at all, whether it is a
// candidate or restrained, and what the restraint changed so it can be put back.
#include <cstdint>

namespace cv {

struct RestraintState {
    bool excluded = false;
    bool browser = false;  // gets the foreground grace
    bool candidate = false;
    std::uint64_t overQuotaStart = 0;  // FILETIME, backdated by one refresh interval
    bool restrained = false;
    std::uint64_t restraintStart = 0;       // tick in milliseconds
    std::uint32_t savedPriorityClass = 0;   // 0: it could not be read
    bool priorityLowered = false;           // the restraint lowered the class
    std::int32_t savedBoost = -1;           // 1 enabled, 0 disabled, -1: it could not be read
    bool boostDisabled = false;             // the restraint disabled the boost
    std::int32_t savedEfficiencyMode = -1;  // -1: nothing saved
    bool efficiencySet = false;             // the restraint switched efficiency mode on
    std::int32_t savedIoPriority = -1;      // -1: nothing saved
    std::uint64_t savedAffinity = 0;        // 0: nothing saved
    std::uint64_t appliedAffinity = 0;
};

}  // namespace cv
