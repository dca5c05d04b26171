#pragma once
// The foreground boost: the process in the foreground of a session runs at a higher priority
// class until the foreground moves on, and gets its own class back then.
#include <cstdint>
#include <map>

#include "control/FeatureContext.h"
#include "platform/Handle.h"

namespace cv {

class ForegroundBoost {
  public:
    // Restores every boosted process when BoostForegroundProcess was switched since last time.
    void RestoreIfSwitched(const FeatureContext& context);
    // The foreground of a session moved: the old process gets its class back, the new one is
    // boosted unless it is excluded or not at normal class with BoostOnlyNormal.
    void Move(const FeatureContext& context, std::int32_t sessionId, std::uint32_t fromPid,
              std::uint32_t toPid);
    // The session's first report since its previous foreground was forgotten: a boost of that
    // session stays while its process is still in front, and moves as above when it is not.
    void Rejoin(const FeatureContext& context, std::int32_t sessionId, std::uint32_t toPid);
    void RestoreAll();

  private:
    struct Boosted {
        std::uint32_t previousClass = 0;
        std::int32_t sessionId = 0;
        // Held open so that the id cannot pass to another process while the boost lasts: a
        // restore can never reach a newcomer.
        platform::UniqueHandle pin;
    };
    std::map<std::uint32_t, Boosted> boosted_;
    bool wasOn_ = false;
};

}  // namespace cv
