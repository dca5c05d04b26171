#pragma once
// The one way the engine and the post-update tool work with Windows power plans: list them, find
// them by name, read and switch the active plan (power-mode overlays included), and read and
// write the processor's min-cores setting. Each program holds its own instance; an instance is
// used by one thread at a time.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "actionlog/ActionRecord.h"
#include "config/PowerPlanResolver.h"

namespace cv {

class FeatureContext;

// The plan the engine installs for performance mode.
inline constexpr wchar_t kHighPerformancePlanName[] = L"Tarvel Highest Performance";

// Which min-cores setting: all cores, or those of efficiency class 1. Other kinds name none.
enum class MinCoresKind { AllCores = 0, EfficiencyClass1 = 1 };

struct MinCoresReading {
    std::uint32_t value = 0;  // 0 when the read failed
    // The read succeeded and the value is not 100 (cores parked at all).
    bool result = false;
    bool read = false;
};

class PowerPlanService {
  public:
    // Looks up the powrprof entry points; the service is available on Windows 6.0 or later when
    // every required one was found.
    PowerPlanService();

    bool IsAvailable() const { return available_; }
    // Both overlay entry points were found.
    bool HasOverlayEntryPoints() const { return overlayEntryPoints_; }
    // The overlay entry points, and a non-empty ActiveOverlayAcPowerScheme value: Windows offers
    // power-mode overlays. Probed at first need.
    bool HasOverlaySupport();

    // The plans, sorted by friendly name with one plan per name (the last enumerated), unless the
    // user's nosortpowerprofiles flag keeps the system's order. With overlay support the three
    // overlays follow the system's plans.
    std::vector<PlanGuid> EnumeratePlans();
    std::optional<std::wstring> FriendlyName(const PlanGuid& plan);
    // The FriendlyName value of the plan's registry key; works without the service.
    static std::optional<std::wstring> FriendlyNameFromRegistry(const PlanGuid& plan);
    // The first plan of the enumeration with this name, ignoring case; "<Balanced name>: <overlay
    // name>" names an overlay; the high-performance plan is also looked for in the registry.
    std::optional<PlanGuid> FindPlanByName(const std::wstring& name);
    // Whether the system still has the plan; no answer when it cannot list its plans.
    std::optional<bool> PlanExists(const PlanGuid& plan);

    // The active plan; on Balanced with an overlay in force, the overlay.
    std::optional<PlanGuid> ActivePlan();
    // The active plan's friendly name, read again only when the active plan changes.
    std::optional<std::wstring> ActivePlanName();
    // Activates a plan. An overlay is activated over Balanced; a plan activated while an overlay
    // is in force first takes the overlay off.
    bool SetActivePlan(const PlanGuid& plan);

    // The scheme whose settings are in force: the active scheme itself, also while a power-mode
    // overlay is on (an overlay has no settings of its own).
    std::optional<PlanGuid> ActiveSettingsScheme();

    MinCoresReading ReadMinCores(const std::wstring& schemeName, MinCoresKind kind, bool ac);
    MinCoresReading ReadMinCores(const PlanGuid& scheme, MinCoresKind kind, bool ac);
    bool WriteMinCores(const std::wstring& schemeName, MinCoresKind kind, std::uint32_t value,
                       bool ac);
    bool WriteMinCores(const PlanGuid& scheme, MinCoresKind kind, std::uint32_t value, bool ac);
    // Starts "powercfg -setactive scheme_current" so that changed settings of the active plan
    // take effect; true when powercfg could be started.
    bool ReapplyActiveScheme();

    // The three overlays when both overlay entry points exist; otherwise none.
    std::vector<PlanGuid> OverlayPlans() const;

    // Action 28 with the plan's name, under LogPowerProfileChanges.
    void LogPlanChange(const FeatureContext& context, const PlanGuid& plan, ActionFacts facts);

  private:
    struct NamedPlan {
        PlanGuid plan;
        std::optional<std::wstring> name;
    };
    std::vector<NamedPlan> NamedPlans();
    std::optional<std::wstring> BalancedName();
    std::optional<PlanGuid> FindInRegistry(const std::wstring& name);

    bool available_ = false;
    bool overlayEntryPoints_ = false;
    std::optional<bool> overlaySupport_;
    std::optional<std::wstring> balancedName_;
    std::optional<std::pair<PlanGuid, std::wstring>> activeName_;
};

}  // namespace cv
