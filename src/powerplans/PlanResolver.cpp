#include "powerplans/PlanResolver.h"

#include <mutex>

#include "powerplans/PowerPlanService.h"

namespace cv {

namespace {

// The service keeps caches; the configuration may resolve from more than one thread.
struct SharedService {
    std::mutex mutex;
    std::shared_ptr<PowerPlanService> service;
};

}  // namespace

PowerPlanResolver MakePowerPlanResolver() {
    return MakePowerPlanResolver(std::make_shared<PowerPlanService>());
}

PowerPlanResolver MakePowerPlanResolver(std::shared_ptr<PowerPlanService> service) {
    auto shared = std::make_shared<SharedService>();
    shared->service = std::move(service);
    PowerPlanResolver resolver;
    resolver.findPlan = [shared](const std::wstring& name) -> std::optional<PlanGuid> {
        std::lock_guard lock(shared->mutex);
        return shared->service->FindPlanByName(name);
    };
    resolver.planName = [shared](const PlanGuid& plan) -> std::optional<std::wstring> {
        std::lock_guard lock(shared->mutex);
        return shared->service->FriendlyName(plan);
    };
    resolver.available = [shared] {
        std::lock_guard lock(shared->mutex);
        return shared->service->IsAvailable();
    };
    return resolver;
}

}  // namespace cv
