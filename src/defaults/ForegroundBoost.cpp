#include "defaults/ForegroundBoost.h"

#include "config/ConfigSettings.h"
#include "control/ProcessControl.h"
#include "platform/ProcessControl.h"

namespace cv {

void ForegroundBoost::RestoreIfSwitched(const FeatureContext& context) {
    const bool on = context.Settings().ForegroundBoosting.BoostForegroundProcess;
    if (on != wasOn_) {
        RestoreAll();
        wasOn_ = on;
    }
}

void ForegroundBoost::RestoreAll() {
    for (const auto& [pid, priorityClass] : boostedClasses_) {
        ChangePriorityClass(pid, priorityClass);
    }
    boostedClasses_.clear();
}

void ForegroundBoost::Move(const FeatureContext& context, std::uint32_t fromPid,
                           std::uint32_t toPid) {
    const auto boosted = boostedClasses_.find(fromPid);
    if (boosted != boostedClasses_.end()) {
        ChangePriorityClass(fromPid, boosted->second);
        boostedClasses_.erase(boosted);
    }
    const ForegroundBoostingSection& boosting = context.Settings().ForegroundBoosting;
    if (!boosting.BoostForegroundProcess) {
        return;
    }
    if (const ProcessRecord* record = context.Table().Find(toPid)) {
        if (MatchesForegroundBoostExclusions(context.Settings(), context.Facts(*record))) {
            return;
        }
    }
    const std::int32_t current = QueryPriorityClass(toPid);
    if (current < 0 || (boosting.BoostOnlyNormal &&
                        current != static_cast<std::int32_t>(platform::kNormalPriorityClass))) {
        return;
    }
    boostedClasses_[toPid] = static_cast<std::uint32_t>(current);
    ChangePriorityClass(toPid, boosting.ForegroundBoostPriorityClass);
}

}  // namespace cv
