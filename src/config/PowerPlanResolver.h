#pragma once
// What the configuration needs from the power-plan service: a plan's identifier from its name
// and the current name of a plan. The configuration only holds the functions; the power code
// fills them. Left empty, nothing resolves and the service counts as unavailable, so plan keys
// read as unresolved and are not written.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace cv {

// A power plan's GUID, laid out as the Windows GUID.
struct PlanGuid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    bool IsZero() const { return *this == PlanGuid{}; }
    auto operator<=>(const PlanGuid&) const = default;
};

struct PowerPlanResolver {
    // The plan with this name; none when no plan has it.
    std::function<std::optional<PlanGuid>(const std::wstring& name)> findPlan;
    // The plan's name as the system reports it now; none when the plan is gone.
    std::function<std::optional<std::wstring>(const PlanGuid& plan)> planName;
    // Whether the power-plan functions could be loaded at all.
    std::function<bool()> available;

    std::optional<PlanGuid> Find(const std::wstring& name) const {
        return findPlan ? findPlan(name) : std::nullopt;
    }
    std::optional<std::wstring> NameOf(const PlanGuid& plan) const {
        return planName ? planName(plan) : std::nullopt;
    }
    bool IsAvailable() const { return available ? available() : false; }
};

}  // namespace cv
