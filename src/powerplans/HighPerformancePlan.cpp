#include "powerplans/HighPerformancePlan.h"

#include <utility>

#include "enginehost/EngineHost.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"
#include "powerplans/PowerPlanService.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
// The keys of the maker's products; a THPUninstalled value under any of them means the user
// removed the plan.
constexpr const wchar_t* kProductKeys[] = {L"Software\\Corvane", L"Software\\Hobrell",
                                           L"Software\\Equilo", L"Software\\Tarvel"};

constexpr std::uint32_t kFullPerformance = 100;
constexpr std::uint32_t kPreferPerformanceCores = 2;

bool UninstalledByUser() {
    for (const wchar_t* key : kProductKeys) {
        if (platform::RegistryValuePresent(RegistryRoot::LocalMachine, key, L"THPUninstalled")) {
            return true;
        }
    }
    return false;
}

void WriteSetting(const PlanGuid& plan, const PlanGuid& setting, bool ac, std::uint32_t value) {
    platform::WritePowerSettingValue(ac, ToPowerGuid(plan), ToPowerGuid(kProcessorSubgroup),
                                     ToPowerGuid(setting), value);
}

}  // namespace

HighPerformancePlan::HighPerformancePlan(PowerPlanService& service,
                                         std::optional<ProcessorTopology> topology)
    : service_(service), topology_(std::move(topology)) {}

bool HighPerformancePlan::Hybrid() {
    if (!topology_) {
        topology_ = BuildProcessorTopology();
    }
    return topology_->hybrid;
}

std::optional<PlanGuid> HighPerformancePlan::GetOrInstall() {
    if (!service_.IsAvailable()) {
        return std::nullopt;
    }
    if (const auto plan = service_.FindPlanByName(kHighPerformancePlanName)) {
        return plan;
    }
    InstallIfAllowed();
    return service_.FindPlanByName(kHighPerformancePlanName);
}

bool HighPerformancePlan::InstallIfAllowed() {
    if (UninstalledByUser()) {
        return false;
    }
    // Windows with power-mode overlays has its own best-performance mode.
    if (service_.HasOverlaySupport()) {
        return false;
    }
    return Create().has_value();
}

std::optional<PlanGuid> HighPerformancePlan::Create() {
    if (!service_.IsAvailable()) {
        return std::nullopt;
    }
    if (const auto existing = service_.FindPlanByName(kHighPerformancePlanName)) {
        return existing;
    }
    const auto ultimateName = service_.FriendlyName(kUltimatePerformancePlan);
    const PlanGuid base =
        ultimateName && !ultimateName->empty() ? kUltimatePerformancePlan : kHighPerformancePlan;
    platform::PowerGuid copy;
    if (platform::DuplicatePowerScheme(ToPowerGuid(base), copy) != platform::kPowerOk) {
        return std::nullopt;
    }
    const PlanGuid plan = ToPlanGuid(copy);
    if (platform::WritePowerSchemeName(copy, kHighPerformancePlanName,
                                       kHighPerformancePlanNameBytes) != platform::kPowerOk) {
        // A copy without the name would never be found again, and every later start would add
        // one more.
        platform::DeletePowerScheme(copy);
        return std::nullopt;
    }
    platform::WritePowerSchemeDescription(copy, kHighPerformancePlanDescription,
                                          kHighPerformancePlanDescriptionBytes);
    for (const PlanGuid& setting : {kCoreParkingMinCores, kMinimumProcessorState,
                                    kCoreParkingMinCoresClass1, kMinimumProcessorStateClass1}) {
        WriteSetting(plan, setting, true, kFullPerformance);
        WriteSetting(plan, setting, false, kFullPerformance);
    }
    if (Hybrid()) {
        WriteSetting(plan, kShortThreadSchedulingPolicy, true, kPreferPerformanceCores);
        WriteSetting(plan, kThreadSchedulingPolicy, true, kPreferPerformanceCores);
    }
    platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey, L"CustomHighPerfGUID",
                                  PlanGuidBytes(plan));
    return plan;
}

bool HighPerformancePlan::EnsurePresent() {
    if (!IsVistaOrLater() || !service_.IsAvailable()) {
        return true;
    }
    std::optional<PlanGuid> plan = service_.FindPlanByName(kHighPerformancePlanName);
    if (!plan) {
        InstallIfAllowed();
        plan = service_.FindPlanByName(kHighPerformancePlanName);
    }
    if (plan && !service_.FriendlyName(*plan) && !InstallIfAllowed()) {
        return false;
    }
    if (!service_.FindPlanByName(kHighPerformancePlanName)) {
        InstallIfAllowed();
    }
    return true;
}

}  // namespace cv
