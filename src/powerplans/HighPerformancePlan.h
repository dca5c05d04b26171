#pragma once
// The product's own plan, "Tarvel Highest Performance": a copy of the most performant built-in
// plan with core parking and processor throttling off. Made on demand, never twice, and never
// again once the user removed it.
#include <cstdint>
#include <optional>

#include "config/PowerPlanResolver.h"
#include "control/ProcessorTopology.h"

namespace cv {

class PowerPlanService;

inline constexpr wchar_t kHighPerformancePlanDescription[] =
    L"Provides Tarvel optimized CPU performance.";
// Written with room for the text, its null character and one more.
inline constexpr std::uint32_t kHighPerformancePlanNameBytes = 56;
inline constexpr std::uint32_t kHighPerformancePlanDescriptionBytes = 88;

class HighPerformancePlan {
  public:
    // The topology decides the hybrid-only settings; without one it is built at first need.
    explicit HighPerformancePlan(PowerPlanService& service,
                                 std::optional<ProcessorTopology> topology = std::nullopt);

    // The plan, installed first when it is missing and may be installed.
    std::optional<PlanGuid> GetOrInstall();
    // Creates the plan unless the user removed it (THPUninstalled) or Windows offers power-mode
    // overlays instead.
    bool InstallIfAllowed();
    // The existing plan, or a new copy of Ultimate Performance (High performance when Ultimate
    // has no name) with the plan's settings written.
    std::optional<PlanGuid> Create();
    // For the post-update tool: the plan is there afterwards if it may be. True when nothing was
    // needed or the service cannot work here.
    bool EnsurePresent();

  private:
    bool Hybrid();

    PowerPlanService& service_;
    std::optional<ProcessorTopology> topology_;
};

}  // namespace cv
