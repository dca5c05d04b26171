#pragma once
// Fills the configuration's plan resolver from a power plan service.
#include <memory>

#include "config/PowerPlanResolver.h"

namespace cv {

class PowerPlanService;

// A resolver backed by a service instance of its own, as the configuration object keeps one.
PowerPlanResolver MakePowerPlanResolver();
// A resolver backed by the given service, which it keeps alive; calls through the resolver take
// turns, so the service must not also be used directly on another thread.
PowerPlanResolver MakePowerPlanResolver(std::shared_ptr<PowerPlanService> service);

}  // namespace cv
