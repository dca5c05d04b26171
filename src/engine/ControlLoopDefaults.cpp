// The control loop's per-process defaults and the foreground boost.
#include "engine/ControlLoop.h"

namespace cv {

void ControlLoop::ApplyEfficiencyMode(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}

void ControlLoop::ApplyDefaults(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}

void ControlLoop::ApplyDefaultCpuSets(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}

void ControlLoop::RestoreBoostsIfChanged() {}

void ControlLoop::RestoreForegroundBoosts() {}

void ControlLoop::MoveForegroundBoost(std::uint32_t /*fromPid*/, std::uint32_t /*toPid*/) {}

void ControlLoop::SetRestartedPriority(platform::RawHandle /*process*/) {}

}  // namespace cv
