#include "defaults/ForegroundBoost.h"

#include <algorithm>

#include "config/ConfigSettings.h"
#include "control/ProcessControl.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"

namespace cv {

void ForegroundBoost::RestoreIfSwitched(const FeatureContext& context) {
    const bool on = context.Settings().ForegroundBoosting.BoostForegroundProcess;
    if (on != wasOn_) {
        RestoreAll();
        wasOn_ = on;
    }
}

namespace {

void Restore(std::uint32_t pid, const platform::UniqueHandle& pin, std::uint32_t priorityClass) {
    if (pin && !platform::IsSignalled(pin.Get())) {
        ChangePriorityClass(pid, priorityClass);
    }
}

}  // namespace

void ForegroundBoost::RestoreAll() {
    for (const auto& [pid, boosted] : boosted_) {
        Restore(pid, boosted.pin, boosted.previousClass);
    }
    boosted_.clear();
}

void ForegroundBoost::Rejoin(const FeatureContext& context, std::int32_t sessionId,
                             std::uint32_t toPid) {
    const auto boosted = std::find_if(boosted_.begin(), boosted_.end(), [&](const auto& entry) {
        return entry.second.sessionId == sessionId;
    });
    if (boosted != boosted_.end() && boosted->first != toPid) {
        Move(context, sessionId, boosted->first, toPid);
    }
}

void ForegroundBoost::Move(const FeatureContext& context, std::int32_t sessionId,
                           std::uint32_t fromPid, std::uint32_t toPid) {
    const auto boosted = boosted_.find(fromPid);
    if (boosted != boosted_.end()) {
        Restore(fromPid, boosted->second.pin, boosted->second.previousClass);
        boosted_.erase(boosted);
    }
    const ForegroundBoostingSection& boosting = context.Settings().ForegroundBoosting;
    if (!boosting.BoostForegroundProcess) {
        return;
    }
    if (const ProcessRecord* record = context.Table().Find(toPid)) {
        if (MatchesForegroundBoostExclusions(context.Rules(), context.Facts(*record))) {
            return;
        }
    }
    platform::UniqueHandle pin = platform::OpenProcessHandle(
        toPid, platform::kSynchronize | platform::kProcessQueryLimitedInformation);
    if (!pin) {
        return;
    }
    const std::int32_t current = QueryPriorityClass(toPid);
    if (current < 0 || (boosting.BoostOnlyNormal &&
                        current != static_cast<std::int32_t>(platform::kNormalPriorityClass))) {
        return;
    }
    boosted_[toPid] = Boosted{static_cast<std::uint32_t>(current), sessionId, std::move(pin)};
    ChangePriorityClass(toPid, boosting.ForegroundBoostPriorityClass);
}

}  // namespace cv
