#pragma once
// A simulated machine with power plans: Balanced (active), High performance and Power saver to
// begin with, and helpers to add plans and read back what was switched.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "common/WideString.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"

namespace cv {

inline void PrintTo(const PlanGuid& plan, std::ostream* out) {
    *out << ToUtf8(FormatPlanGuid(plan));
}

namespace test {

class PowerPlanTest : public SimTest {
  protected:
    static constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";

    // A fresh machine and process-wide state for the next case of a table.
    void Fresh() { SimTest::SetUp(); }

    // A plan of the user's own.
    static PlanGuid UserPlan(std::uint8_t number) {
        return PlanGuid{0xabcd0000u + number, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, number}};
    }
    static sim::SimPowerPlan& AddPlan(const PlanGuid& plan, std::optional<std::wstring> name) {
        return machine().AddPowerPlan(ToPowerGuid(plan), std::move(name));
    }
    static sim::SimPowerPlan* FindPlan(const PlanGuid& plan) {
        return machine().FindPowerPlan(ToPowerGuid(plan));
    }
    static void SetActive(const PlanGuid& plan, const PlanGuid& overlay = kNoOverlay) {
        machine().activePowerPlan = ToPowerGuid(plan);
        machine().activePowerOverlay = ToPowerGuid(overlay);
    }
    static PlanGuid Active() { return ToPlanGuid(machine().activePowerPlan); }
    static PlanGuid ActiveOverlay() { return ToPlanGuid(machine().activePowerOverlay); }
    // A plan's key under PowerSchemes with its FriendlyName, as Windows keeps it.
    static void RegisterScheme(const PlanGuid& plan, const std::wstring& friendlyName) {
        platform::WriteRegistryString(
            platform::RegistryRoot::LocalMachine,
            std::wstring(platform::kPowerSchemesKey) + L"\\" + FormatPlanGuid(plan),
            L"FriendlyName", friendlyName);
    }
    // "<function> <guid>", as the machine records the calls that change plans.
    static std::wstring Call(const char* function, const PlanGuid& plan) {
        return FromAscii(function) + L" " + FormatPlanGuid(plan);
    }
    static std::vector<std::wstring>& Calls() { return machine().powerCalls; }
};

}  // namespace test
}  // namespace cv
