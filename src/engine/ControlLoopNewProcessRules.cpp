// The control loop's new-process rules: disallowed processes, the Internet Explorer
// restriction, instance limits and the instance balancer.
#include "engine/ControlLoop.h"

namespace cv {

void ControlLoop::CheckDisallowed(ProcessRecord& /*record*/, bool /*judgeAgain*/) {}

void ControlLoop::ApplyInternetExplorerRestriction() {}

bool ControlLoop::ApplyInstanceLimits(ProcessRecord& /*record*/) { return false; }

void ControlLoop::BalanceInstances() {}

}  // namespace cv
