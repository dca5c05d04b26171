#pragma once
// What accompanies every restraint besides the change to the process: its records and counters
// in the registry statistics, and the sounds.
#include <cstdint>

#include "control/FeatureContext.h"

namespace cv {

// The begin record (43) and the counters: restraints in all, per image name and per day, and
// the time of the latest one.
void CountRestraintBegin(const FeatureContext& context, const ProcessRecord& record);
// The end record (32) and the restraint's duration added to the totals.
void CountRestraintEnd(const FeatureContext& context, const ProcessRecord& record,
                       std::uint64_t durationMs);

// The restraint and restore sounds. winmm is loaded only while a sound is wanted.
class LevelonSounds {
  public:
    // At every configuration load.
    void Reload(const FeatureContext& context);
    void PlayRestraint(const FeatureContext& context);
    void PlayRestore(const FeatureContext& context);
};

}  // namespace cv
