#pragma once
// The registry values that remember which plan was active before a feature switched plans, so
// that the next start can put it back when the engine did not end normally.
#include <string>

#include "config/PowerPlanResolver.h"

namespace cv {

class PowerPlanService;

// Under HKEY_LOCAL_MACHINE Software\Corvane, each a 16-byte GUID. Whichever feature wrote it, a
// value holds the user's plan: the plan active before the first feature switched.
inline constexpr wchar_t kTarvelHighPerfRecoveryValue[] = L"TarvelHighPerfRecoveryGUID";
inline constexpr wchar_t kAppPowerProfileRecoveryValue[] = L"AppPowerProfileRecoveryGUID";
inline constexpr wchar_t kDrowselRecoveryValue[] = L"DrowselRecoveryGUID";
// Written when the start-with plan is the first to switch.
inline constexpr wchar_t kStartWithRecoveryValue[] = L"StartWithPowerPlanRecoveryGUID";

// Writes the plan, creating the key.
bool StoreRecoveryValue(const std::wstring& valueName, const PlanGuid& plan);
// Deletes the value; also true when there was none.
bool ClearRecoveryValue(const std::wstring& valueName);

enum class RecoveryOutcome {
    None,       // no value
    Applied,    // its plan is active again
    Failed,     // the plan could not be activated now
    Discarded,  // it named no plan, or a plan the system no longer has: nothing was switched
};
// Activates the plan the value holds.
RecoveryOutcome ApplyRecoveryValue(PowerPlanService& service, const std::wstring& valueName);

// At engine start, before the first cycle: puts back the plans a run that ended abnormally left
// switched, the start-with plan's first, then the idle-time plan's, performance mode's and the
// application plans'.
// A value is deleted once applied or discarded, so a later crash cannot bring back a plan the
// user has since left; one that failed to apply stays for the next start.
void RecoverPowerPlansAtStartUp(PowerPlanService& service);

}  // namespace cv
