#include "powerplans/PowerPlanService.h"

#include <algorithm>
#include <map>

#include "actionlog/ActionCodes.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "control/FeatureContext.h"
#include "enginehost/EngineHost.h"
#include "platform/Launch.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr std::uint32_t kPlanChangedText = 719;

// Overlays are shown as "<Balanced name>: <overlay name>".
constexpr std::wstring_view kOverlaySeparator = L": ";

bool SortingDisabled() {
    if (const auto flag = platform::ReadRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey,
                                                      L"nosortpowerprofiles")) {
        return *flag != 0;
    }
    const auto text = platform::ReadRegistryString(RegistryRoot::CurrentUser, kCorvaneKey,
                                                   L"nosortpowerprofiles");
    return text && !text->empty() && *text != L"0";
}

const PlanGuid* MinCoresSetting(MinCoresKind kind) {
    switch (kind) {
        case MinCoresKind::AllCores:
            return &kCoreParkingMinCores;
        case MinCoresKind::EfficiencyClass1:
            return &kCoreParkingMinCoresClass1;
    }
    return nullptr;
}

}  // namespace

PowerPlanService::PowerPlanService() {
    const platform::PowerEntryPoints found = platform::FindPowerEntryPoints();
    available_ = IsVistaOrLater() && found.required;
    overlayEntryPoints_ = found.getActualOverlay && found.setActiveOverlay;
}

bool PowerPlanService::HasOverlaySupport() {
    if (!overlaySupport_) {
        const auto active = platform::ReadRegistryString(
            RegistryRoot::LocalMachine, platform::kPowerSchemesKey, L"ActiveOverlayAcPowerScheme");
        overlaySupport_ = overlayEntryPoints_ && active && !active->empty();
    }
    return *overlaySupport_;
}

std::vector<PowerPlanService::NamedPlan> PowerPlanService::NamedPlans() {
    std::vector<NamedPlan> plans;
    if (!available_) {
        return plans;
    }
    std::vector<PlanGuid> listed;
    platform::PowerGuid guid;
    for (std::uint32_t index = 0; platform::EnumeratePowerScheme(index, guid) == platform::kPowerOk;
         ++index) {
        listed.push_back(ToPlanGuid(guid));
    }
    if (HasOverlaySupport()) {
        listed.insert(listed.end(), kOverlayPlans.begin(), kOverlayPlans.end());
    }
    if (SortingDisabled()) {
        for (const PlanGuid& plan : listed) {
            plans.push_back({plan, std::nullopt});
        }
        return plans;
    }
    // Later plans of the same name replace earlier ones; the map orders the names.
    std::map<std::wstring, PlanGuid> byName;
    for (const PlanGuid& plan : listed) {
        if (auto name = FriendlyName(plan); name && !name->empty()) {
            byName[*name] = plan;
        }
    }
    for (auto& [name, plan] : byName) {
        plans.push_back({plan, name});
    }
    return plans;
}

std::vector<PlanGuid> PowerPlanService::EnumeratePlans() {
    std::vector<PlanGuid> plans;
    for (const NamedPlan& named : NamedPlans()) {
        plans.push_back(named.plan);
    }
    return plans;
}

std::optional<std::wstring> PowerPlanService::FriendlyName(const PlanGuid& plan) {
    if (!available_) {
        return std::nullopt;
    }
    std::wstring name;
    if (platform::ReadPowerSchemeName(ToPowerGuid(plan), name) != platform::kPowerOk) {
        return std::nullopt;
    }
    return name;
}

std::optional<std::wstring> PowerPlanService::FriendlyNameFromRegistry(const PlanGuid& plan) {
    return platform::ReadRegistryString(
        RegistryRoot::LocalMachine,
        std::wstring(platform::kPowerSchemesKey) + L"\\" + FormatPlanGuid(plan), L"FriendlyName");
}

std::optional<std::wstring> PowerPlanService::BalancedName() {
    if (!balancedName_) {
        balancedName_ = FriendlyName(kBalancedPlan);
    }
    return balancedName_;
}

std::optional<PlanGuid> PowerPlanService::FindPlanByName(const std::wstring& name) {
    if (!available_) {
        return std::nullopt;
    }
    std::wstring wanted = name;
    // Any case, as names come back lower-cased from the configuration file.
    if (const auto balanced = BalancedName(); balanced && !balanced->empty()) {
        const std::wstring prefix = *balanced + std::wstring(kOverlaySeparator);
        if (wanted.size() > prefix.size() &&
            EqualsIgnoreCase(std::wstring_view(wanted).substr(0, prefix.size()), prefix)) {
            wanted.erase(0, prefix.size());
        }
    }
    for (NamedPlan& named : NamedPlans()) {
        if (!named.name) {
            named.name = FriendlyName(named.plan);
        }
        if (named.name && EqualsIgnoreCase(*named.name, wanted)) {
            return named.plan;
        }
    }
    if (EqualsIgnoreCase(wanted, kHighPerformancePlanName)) {
        return FindInRegistry(wanted);
    }
    return std::nullopt;
}

std::optional<PlanGuid> PowerPlanService::FindInRegistry(const std::wstring& name) {
    for (const std::wstring& key : platform::ListPowerSchemeKeys()) {
        const std::optional<PlanGuid> plan = ParsePlanGuid(key);
        if (!plan) {
            continue;
        }
        const auto registered = FriendlyNameFromRegistry(*plan);
        if (registered && EqualsIgnoreCase(*registered, name)) {
            return plan;
        }
    }
    return std::nullopt;
}

std::optional<bool> PowerPlanService::PlanExists(const PlanGuid& plan) {
    if (!available_) {
        return std::nullopt;
    }
    if (IsOverlayPlan(plan)) {
        return overlayEntryPoints_;
    }
    platform::PowerGuid guid;
    std::uint32_t index = 0;
    std::uint32_t error = platform::kPowerOk;
    while ((error = platform::EnumeratePowerScheme(index, guid)) == platform::kPowerOk) {
        if (ToPlanGuid(guid) == plan) {
            return true;
        }
        ++index;
    }
    if (FriendlyName(plan)) {
        return true;  // a plan the enumeration does not show
    }
    // Only a list that ended where the system said it ends proves the plan is gone.
    if (error == platform::kPowerNoMoreItems) {
        return false;
    }
    return std::nullopt;
}

std::optional<PlanGuid> PowerPlanService::ActivePlan() {
    if (!available_) {
        return std::nullopt;
    }
    platform::PowerGuid guid;
    if (platform::ReadActivePowerScheme(guid) != platform::kPowerOk) {
        return std::nullopt;
    }
    const PlanGuid active = ToPlanGuid(guid);
    if (active == kBalancedPlan && HasOverlaySupport()) {
        platform::PowerGuid overlay;
        if (platform::ReadActualOverlayScheme(overlay) == platform::kPowerOk &&
            ToPlanGuid(overlay) != kNoOverlay) {
            return ToPlanGuid(overlay);
        }
    }
    return active;
}

std::optional<std::wstring> PowerPlanService::ActivePlanName() {
    const std::optional<PlanGuid> active = ActivePlan();
    if (!active) {
        return std::nullopt;
    }
    if (activeName_ && activeName_->first == *active) {
        return activeName_->second;
    }
    const std::optional<std::wstring> name = FriendlyName(*active);
    if (name) {
        activeName_.emplace(*active, *name);
    }
    return name;
}

bool PowerPlanService::SetActivePlan(const PlanGuid& plan) {
    if (!available_) {
        return false;
    }
    if (overlayEntryPoints_ && IsOverlayPlan(plan)) {
        platform::SetActivePowerScheme(ToPowerGuid(kBalancedPlan));
        return platform::SetActiveOverlayScheme(ToPowerGuid(plan)) == platform::kPowerOk;
    }
    const PlanGuid active = ActivePlan().value_or(PlanGuid{});
    if (HasOverlaySupport() && IsOverlayPlan(active)) {
        platform::SetActiveOverlayScheme(ToPowerGuid(kNoOverlay));
    }
    return platform::SetActivePowerScheme(ToPowerGuid(plan)) == platform::kPowerOk;
}

MinCoresReading PowerPlanService::ReadMinCores(const std::wstring& schemeName, MinCoresKind kind,
                                               bool ac) {
    MinCoresReading reading;
    const PlanGuid* setting = MinCoresSetting(kind);
    if (!available_ || setting == nullptr) {
        return reading;
    }
    const std::optional<PlanGuid> scheme = FindPlanByName(schemeName);
    if (!scheme) {
        return reading;
    }
    return ReadMinCores(*scheme, kind, ac);
}

MinCoresReading PowerPlanService::ReadMinCores(const PlanGuid& scheme, MinCoresKind kind, bool ac) {
    MinCoresReading reading;
    const PlanGuid* setting = MinCoresSetting(kind);
    if (!available_ || setting == nullptr) {
        return reading;
    }
    reading.read =
        platform::ReadPowerSettingValue(ac, ToPowerGuid(scheme), ToPowerGuid(kProcessorSubgroup),
                                        ToPowerGuid(*setting), reading.value) == platform::kPowerOk;
    if (!reading.read) {
        reading.value = 0;
    }
    reading.result = reading.read && reading.value != 100;
    return reading;
}

std::optional<PlanGuid> PowerPlanService::ActiveSettingsScheme() {
    if (!available_) {
        return std::nullopt;
    }
    platform::PowerGuid guid;
    if (platform::ReadActivePowerScheme(guid) != platform::kPowerOk) {
        return std::nullopt;
    }
    return ToPlanGuid(guid);
}

bool PowerPlanService::WriteMinCores(const std::wstring& schemeName, MinCoresKind kind,
                                     std::uint32_t value, bool ac) {
    if (!available_ || MinCoresSetting(kind) == nullptr) {
        return false;
    }
    const std::optional<PlanGuid> scheme = FindPlanByName(schemeName);
    return scheme && WriteMinCores(*scheme, kind, value, ac);
}

bool PowerPlanService::WriteMinCores(const PlanGuid& scheme, MinCoresKind kind, std::uint32_t value,
                                     bool ac) {
    const PlanGuid* setting = MinCoresSetting(kind);
    if (!available_ || setting == nullptr) {
        return false;
    }
    return platform::WritePowerSettingValue(ac, ToPowerGuid(scheme),
                                            ToPowerGuid(kProcessorSubgroup), ToPowerGuid(*setting),
                                            value) == platform::kPowerOk;
}

bool PowerPlanService::ReapplyActiveScheme() {
    if (!available_) {
        return false;
    }
    const std::wstring powercfg = platform::PowercfgPath();
    if (powercfg.empty()) {
        return false;
    }
    // Started as any program the engine starts: at low integrity unless the user allowed more.
    const bool allowElevated = platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                                           L"AllowElevatedChildren")
                                   .value_or(0) != 0;
    return platform::LaunchProcess(L"\"" + powercfg + L"\" -setactive scheme_current",
                                   std::wstring(), !allowElevated)
        .has_value();
}

std::vector<PlanGuid> PowerPlanService::OverlayPlans() const {
    if (!available_ || !overlayEntryPoints_) {
        return {};
    }
    return {kOverlayPlans.begin(), kOverlayPlans.end()};
}

void PowerPlanService::LogPlanChange(const FeatureContext& context, const PlanGuid& plan,
                                     ActionFacts facts) {
    if (!context.LogOn(context.Settings().Logging.LogPowerProfileChanges)) {
        return;
    }
    facts.info = FormatText(EngineText(kPlanChangedText), FriendlyName(plan).value_or(L"Unknown"));
    context.Record(CV_ACTION_TOOK_APPLICATION_POWER_SCHEME_CHANGE, facts);
}

}  // namespace cv
