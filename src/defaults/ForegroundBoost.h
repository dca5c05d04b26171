#pragma once
// The foreground boost: the process in the foreground of a session runs at a higher priority
// class until the foreground moves on, and gets its own class back then.
#include <cstdint>
#include <map>

#include "control/FeatureContext.h"

namespace cv {

class ForegroundBoost {
  public:
    // Restores every boosted process when BoostForegroundProcess was switched since last time.
    void RestoreIfSwitched(const FeatureContext& context);
    // The foreground of a session moved: the old process gets its class back, the new one is
    // boosted unless it is excluded or not at normal class with BoostOnlyNormal.
    void Move(const FeatureContext& context, std::uint32_t fromPid, std::uint32_t toPid);
    void RestoreAll();

  private:
    std::map<std::uint32_t, std::uint32_t> boostedClasses_;  // pid -> class before the boost
    bool wasOn_ = false;
};

}  // namespace cv
