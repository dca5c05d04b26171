// Power schemes on the simulated machine.
#include <algorithm>

#include "common/WideString.h"
#include "platform/Power.h"
#include "platform/sim/SimMachine.h"

namespace cv::sim {

namespace {

using platform::PowerGuid;

constexpr PowerGuid kBalanced{
    0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
constexpr PowerGuid kHighPerformance{
    0x8c5e7fda, 0xe8bf, 0x4a96, {0x9a, 0x85, 0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}};
constexpr PowerGuid kPowerSaver{
    0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};
constexpr PowerGuid kOverlays[] = {
    {0x961cc777, 0x2547, 0x4f9d, {0x81, 0x74, 0x7d, 0x86, 0x18, 0x1b, 0x8a, 0x7a}},
    {0x3af9b8d9, 0x7c97, 0x431d, {0xad, 0x78, 0x34, 0xa8, 0xbf, 0xea, 0x43, 0x9f}},
    {0xded574b5, 0x45a0, 0x4f42, {0x87, 0x37, 0x46, 0x34, 0x5c, 0x09, 0xc2, 0x38}},
};
constexpr const wchar_t* kOverlayNames[] = {L"Best power efficiency", L"Better performance",
                                            L"Best performance"};

}  // namespace

SimPowerPlan& Machine::AddPowerPlan(const PowerGuid& guid,
                                    std::optional<std::wstring> friendlyName) {
    std::lock_guard lock(mutex_);
    if (SimPowerPlan* existing = FindPowerPlan(guid)) {
        existing->friendlyName = std::move(friendlyName);
        return *existing;
    }
    SimPowerPlan plan;
    plan.guid = guid;
    plan.friendlyName = std::move(friendlyName);
    powerPlans.push_back(std::move(plan));
    return powerPlans.back();
}

SimPowerPlan* Machine::FindPowerPlan(const PowerGuid& guid) {
    std::lock_guard lock(mutex_);
    for (SimPowerPlan& plan : powerPlans) {
        if (plan.guid == guid) {
            return &plan;
        }
    }
    return nullptr;
}

void Machine::EnablePowerOverlays() {
    std::lock_guard lock(mutex_);
    powerOverlayEntryPointsFound = true;
    for (std::size_t i = 0; i < std::size(kOverlays); ++i) {
        SimPowerPlan& plan = AddPowerPlan(kOverlays[i], kOverlayNames[i]);
        plan.overlay = true;
        plan.enumerated = false;
    }
    RegistryValue value;
    value.name = L"ActiveOverlayAcPowerScheme";
    value.type = RegistryValue::Type::String;
    value.text = platform::FormatPowerGuid(activePowerOverlay);
    CreateKey(platform::RegistryRoot::LocalMachine,
              platform::kPowerSchemesKey)[ToLower(value.name)] = value;
}

void Machine::ResetPowerPlans() {
    std::lock_guard lock(mutex_);
    powerEntryPointsFound = true;
    powerOverlayEntryPointsFound = false;
    powerPlans.clear();
    AddPowerPlan(kBalanced, L"Balanced");
    AddPowerPlan(kHighPerformance, L"High performance");
    AddPowerPlan(kPowerSaver, L"Power saver");
    activePowerPlan = kBalanced;
    activePowerOverlay = PowerGuid{};
    powerSettingAttributes.clear();
    powerPossibleValues.clear();
    powerCalls.clear();
    duplicatedPowerPlans = 0;
}

}  // namespace cv::sim

namespace cv::platform {

namespace {

using sim::Machine;
using sim::SimPowerPlan;

// The machine after the checks every call makes: the entry point exists and the call was not
// told to fail for this subject. Returns the error, or kPowerOk to go on.
std::uint32_t Enter(const char* function, const std::wstring& subject, bool overlayCall = false) {
    Machine& machine = Machine::Get();
    const bool found =
        overlayCall ? machine.powerOverlayEntryPointsFound : machine.powerEntryPointsFound;
    if (!found) {
        return kPowerEntryPointMissing;
    }
    if (machine.ShouldFail(function, subject)) {
        return kPowerNotImplemented;
    }
    return kPowerOk;
}

void Note(const char* function, const PowerGuid& scheme) {
    Machine::Get().powerCalls.push_back(FromAscii(function) + L" " + FormatPowerGuid(scheme));
}

SimPowerPlan* Scheme(const PowerGuid& guid) {
    SimPowerPlan* plan = Machine::Get().FindPowerPlan(guid);
    return plan != nullptr && !plan->overlay ? plan : nullptr;
}

// What a buffer of bufferBytes bytes holding the text, nulls and zeros reads back as.
std::wstring TextOfBuffer(const std::wstring& text, std::uint32_t bufferBytes) {
    std::wstring kept = text.substr(0, bufferBytes / sizeof(char16_t));
    return kept.substr(0, kept.find(L'\0'));
}

}  // namespace

PowerEntryPoints FindPowerEntryPoints() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    PowerEntryPoints found;
    found.required = machine.powerEntryPointsFound;
    found.getActualOverlay = machine.powerOverlayEntryPointsFound;
    found.setActiveOverlay = machine.powerOverlayEntryPointsFound;
    return found;
}

std::uint32_t SetActivePowerScheme(const PowerGuid& scheme) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerSetActiveScheme", FormatPowerGuid(scheme))) {
        return error;
    }
    const SimPowerPlan* plan = machine.FindPowerPlan(scheme);
    if (plan == nullptr) {
        return kPowerFileNotFound;
    }
    if (plan->overlay) {
        return kPowerInvalidParameter;
    }
    Note("PowerSetActiveScheme", scheme);
    machine.activePowerPlan = scheme;
    return kPowerOk;
}

std::uint32_t ReadActivePowerScheme(PowerGuid& scheme) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerGetActiveScheme", L"")) {
        return error;
    }
    scheme = machine.activePowerPlan;
    return kPowerOk;
}

std::uint32_t EnumeratePowerScheme(std::uint32_t index, PowerGuid& scheme) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerEnumerate", std::to_wstring(index))) {
        return error;
    }
    std::uint32_t position = 0;
    for (const SimPowerPlan& plan : machine.powerPlans) {
        if (plan.enumerated && position++ == index) {
            scheme = plan.guid;
            return kPowerOk;
        }
    }
    return kPowerNoMoreItems;
}

std::uint32_t ReadPowerSchemeName(const PowerGuid& scheme, std::wstring& name) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerReadFriendlyName", FormatPowerGuid(scheme))) {
        return error;
    }
    const SimPowerPlan* plan = machine.FindPowerPlan(scheme);
    if (plan == nullptr || !plan->friendlyName) {
        return kPowerFileNotFound;
    }
    name = *plan->friendlyName;
    return kPowerOk;
}

std::uint32_t DuplicatePowerScheme(const PowerGuid& source, PowerGuid& copy) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerDuplicateScheme", FormatPowerGuid(source))) {
        return error;
    }
    const SimPowerPlan* base = Scheme(source);
    if (base == nullptr) {
        return kPowerFileNotFound;
    }
    SimPowerPlan created = *base;
    const std::uint32_t number = ++machine.duplicatedPowerPlans;
    created.guid = PowerGuid{0xc0de0000 + number,
                             0x5111,
                             0x4e11,
                             {0x80, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(number)}};
    created.enumerated = true;
    Note("PowerDuplicateScheme", source);
    machine.powerPlans.push_back(std::move(created));
    copy = machine.powerPlans.back().guid;
    return kPowerOk;
}

std::uint32_t WritePowerSchemeName(const PowerGuid& scheme, const std::wstring& name,
                                   std::uint32_t bufferBytes) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerWriteFriendlyName", FormatPowerGuid(scheme))) {
        return error;
    }
    SimPowerPlan* plan = Scheme(scheme);
    if (plan == nullptr) {
        return kPowerFileNotFound;
    }
    Note("PowerWriteFriendlyName", scheme);
    plan->friendlyName = TextOfBuffer(name, bufferBytes);
    return kPowerOk;
}

std::uint32_t WritePowerSchemeDescription(const PowerGuid& scheme, const std::wstring& description,
                                          std::uint32_t bufferBytes) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerWriteDescription", FormatPowerGuid(scheme))) {
        return error;
    }
    SimPowerPlan* plan = Scheme(scheme);
    if (plan == nullptr) {
        return kPowerFileNotFound;
    }
    Note("PowerWriteDescription", scheme);
    plan->description = TextOfBuffer(description, bufferBytes);
    return kPowerOk;
}

std::uint32_t DeletePowerScheme(const PowerGuid& scheme) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerDeleteScheme", FormatPowerGuid(scheme))) {
        return error;
    }
    if (Scheme(scheme) == nullptr) {
        return kPowerFileNotFound;
    }
    if (machine.activePowerPlan == scheme) {
        return kPowerInvalidParameter;  // Windows keeps the active scheme
    }
    Note("PowerDeleteScheme", scheme);
    std::erase_if(machine.powerPlans,
                  [&](const SimPowerPlan& plan) { return plan.guid == scheme; });
    return kPowerOk;
}

std::uint32_t ReadPowerSettingValue(bool ac, const PowerGuid& scheme, const PowerGuid& subgroup,
                                    const PowerGuid& setting, std::uint32_t& value) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter(ac ? "PowerReadACValueIndex" : "PowerReadDCValueIndex",
                                 FormatPowerGuid(scheme))) {
        return error;
    }
    const SimPowerPlan* plan = Scheme(scheme);
    if (plan == nullptr) {
        return kPowerFileNotFound;
    }
    const auto& values = ac ? plan->acValues : plan->dcValues;
    const auto found = values.find({subgroup, setting});
    if (found == values.end()) {
        return kPowerFileNotFound;
    }
    value = found->second;
    return kPowerOk;
}

std::uint32_t WritePowerSettingValue(bool ac, const PowerGuid& scheme, const PowerGuid& subgroup,
                                     const PowerGuid& setting, std::uint32_t value) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    const char* function = ac ? "PowerWriteACValueIndex" : "PowerWriteDCValueIndex";
    if (const auto error = Enter(function, FormatPowerGuid(scheme))) {
        return error;
    }
    SimPowerPlan* plan = Scheme(scheme);
    if (plan == nullptr) {
        return kPowerFileNotFound;
    }
    Note(function, scheme);
    (ac ? plan->acValues : plan->dcValues)[{subgroup, setting}] = value;
    return kPowerOk;
}

std::uint32_t ReadPowerSettingPossibleValue(const PowerGuid& subgroup, const PowerGuid& setting,
                                            std::uint32_t index, std::uint32_t& value) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerReadPossibleValue", FormatPowerGuid(setting))) {
        return error;
    }
    const auto found = machine.powerPossibleValues.find({{subgroup, setting}, index});
    if (found == machine.powerPossibleValues.end()) {
        return kPowerFileNotFound;
    }
    value = found->second;
    return kPowerOk;
}

std::uint32_t WritePowerSettingAttributes(const PowerGuid& subgroup, const PowerGuid& setting,
                                          std::uint32_t attributes) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerWriteSettingAttributes", FormatPowerGuid(setting))) {
        return error;
    }
    Note("PowerWriteSettingAttributes", setting);
    machine.powerSettingAttributes[{subgroup, setting}] = attributes;
    return kPowerOk;
}

std::uint32_t ReadActualOverlayScheme(PowerGuid& overlay) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerGetActualOverlayScheme", L"", true)) {
        return error;
    }
    overlay = machine.activePowerOverlay;
    return kPowerOk;
}

std::uint32_t SetActiveOverlayScheme(const PowerGuid& overlay) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (const auto error = Enter("PowerSetActiveOverlayScheme", FormatPowerGuid(overlay), true)) {
        return error;
    }
    const SimPowerPlan* plan = machine.FindPowerPlan(overlay);
    if (overlay != PowerGuid{} && (plan == nullptr || !plan->overlay)) {
        return kPowerInvalidParameter;
    }
    Note("PowerSetActiveOverlayScheme", overlay);
    machine.activePowerOverlay = overlay;
    if (auto* key = machine.FindKey(RegistryRoot::LocalMachine, kPowerSchemesKey)) {
        const auto value = key->find(L"activeoverlayacpowerscheme");
        if (value != key->end() && value->second.type == sim::RegistryValue::Type::String) {
            value->second.text = FormatPowerGuid(overlay);
        }
    }
    return kPowerOk;
}

std::vector<std::wstring> ListPowerSchemeKeys() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    std::vector<std::wstring> names;
    if (machine.ShouldFail("RegEnumKeyEx", kPowerSchemesKey)) {
        return names;
    }
    const std::wstring prefix = ToLower(kPowerSchemesKey) + L"\\";
    for (const auto& [where, values] : machine.registry) {
        const auto& [root, path] = where;
        if (root == RegistryRoot::LocalMachine && StartsWith(path, prefix) &&
            path.find(L'\\', prefix.size()) == std::wstring::npos) {
            names.push_back(path.substr(prefix.size()));
        }
    }
    return names;
}

bool RegistryValuePresent(RegistryRoot root, const std::wstring& key, const std::wstring& value) {
    Machine& machine = Machine::Get();
    return !machine.ShouldFail("RegOpenKey", key) && machine.HasValue(root, key, value);
}

std::wstring PowercfgPath() {
    return L"C:\\Windows\\system32\\powercfg.exe";
}

bool SetOwnExecutionState(std::uint32_t flags) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("SetThreadExecutionState", L"")) {
        return false;
    }
    machine.executionStates.push_back(flags);
    return true;
}

std::optional<std::uint32_t> SetTimerResolution(std::uint32_t resolution, bool set) {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("NtSetTimerResolution", L"")) {
        return std::nullopt;
    }
    if (!set) {
        // Only a request of this program can be released.
        if (!machine.ownTimerRequest) {
            return std::nullopt;
        }
        machine.ownTimerRequest.reset();
        machine.timerCurrent = machine.timerMinimum;
        return machine.timerCurrent;
    }
    const std::uint32_t granted =
        std::clamp(resolution, machine.timerMaximum, machine.timerMinimum);
    machine.ownTimerRequest = granted;
    machine.timerCurrent = std::min(machine.timerCurrent, granted);
    return machine.timerCurrent;
}

std::optional<TimerResolutions> QueryTimerResolution() {
    Machine& machine = Machine::Get();
    std::lock_guard lock(machine.Lock());
    if (machine.ShouldFail("NtQueryTimerResolution", L"")) {
        return std::nullopt;
    }
    return TimerResolutions{machine.timerMinimum, machine.timerMaximum, machine.timerCurrent};
}

}  // namespace cv::platform
