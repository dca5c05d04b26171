#pragma once
// Core parking switched off while a process is restrained, so that the rest of the machine keeps
// every core. The settings it changes are saved in the registry first, so a start after a crash
// puts them back.
#include <array>
#include <cstdint>
#include <string>

#include "config/PowerPlanResolver.h"
#include "control/FeatureContext.h"

namespace cv {

class PowerPlanService;

class CoreParking {
  public:
    void Attach(PowerPlanService* service) { service_ = service; }
    // At start-up, before the first cycle: the settings a run that ended abnormally left changed.
    static void RecoverAtStartup(PowerPlanService& service);

    // At a restraint's begin, with OocDisableCoreParkingWhileIn.
    void Disable(const FeatureContext& context);
    // At the first restore or end of a restraint after Disable, and at the engine's stop.
    void Restore(const FeatureContext& context, bool stopping);
    bool IsDisabled() const { return disabled_; }

  private:
    PowerPlanService* service_ = nullptr;
    bool disabled_ = false;
    int counter_ = 0;
    // The scheme whose settings were changed, by its GUID: a name may be shared by two plans or
    // change while parking is off.
    PlanGuid scheme_{};
    // Min cores for AC and DC, then the efficiency-class-1 variant for AC and DC; a pair whose
    // values could not both be read is left alone.
    std::array<std::uint32_t, 4> saved_ = {50, 50, 50, 50};
    std::array<bool, 2> pairSaved_ = {false, false};
};

}  // namespace cv
