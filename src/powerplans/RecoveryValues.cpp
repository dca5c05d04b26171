#include "powerplans/RecoveryValues.h"

#include "platform/Power.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"
#include "powerplans/PowerPlanService.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";

}  // namespace

bool StoreRecoveryValue(const std::wstring& valueName, const PlanGuid& plan) {
    return platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey, valueName,
                                         PlanGuidBytes(plan));
}

bool ClearRecoveryValue(const std::wstring& valueName) {
    if (!platform::RegistryValuePresent(RegistryRoot::LocalMachine, kCorvaneKey, valueName)) {
        return true;
    }
    return platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kCorvaneKey, valueName);
}

RecoveryOutcome ApplyRecoveryValue(PowerPlanService& service, const std::wstring& valueName) {
    if (!platform::RegistryValuePresent(RegistryRoot::LocalMachine, kCorvaneKey, valueName)) {
        return RecoveryOutcome::None;
    }
    const auto bytes =
        platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey, valueName);
    const std::optional<PlanGuid> plan =
        bytes ? PlanGuidFromBytes(*bytes) : std::optional<PlanGuid>();
    if (!plan || plan->IsZero()) {
        return RecoveryOutcome::Discarded;
    }
    // Switching to a plan that is gone would still take an overlay off: look first.
    if (service.PlanExists(*plan) == false) {
        return RecoveryOutcome::Discarded;
    }
    return service.SetActivePlan(*plan) ? RecoveryOutcome::Applied : RecoveryOutcome::Failed;
}

void RecoverPowerPlansAtStartUp(PowerPlanService& service) {
    for (const wchar_t* valueName : {kStartWithRecoveryValue, kDrowselRecoveryValue,
                                     kTarvelHighPerfRecoveryValue, kAppPowerProfileRecoveryValue}) {
        const RecoveryOutcome outcome = ApplyRecoveryValue(service, valueName);
        if (outcome == RecoveryOutcome::Applied || outcome == RecoveryOutcome::Discarded) {
            ClearRecoveryValue(valueName);
        }
    }
}

}  // namespace cv
