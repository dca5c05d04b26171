// The product's own power plan on the simulated machine: what it is copied from, what is written
// into it, and when it is not made.
#include "PowerPlanFixture.h"
#include "powerplans/HighPerformancePlan.h"
#include "powerplans/PowerPlanService.h"

namespace cv {
namespace {

using platform::RegistryRoot;

constexpr PlanGuid kProcessorSettings[] = {
    kCoreParkingMinCores,         kMinimumProcessorState,       kCoreParkingMinCoresClass1,
    kMinimumProcessorStateClass1, kShortThreadSchedulingPolicy, kThreadSchedulingPolicy};

class HighPerformancePlanTest : public test::PowerPlanTest {
  protected:
    static sim::SimPowerPlan::Setting Setting(const PlanGuid& setting) {
        return {ToPowerGuid(kProcessorSubgroup), ToPowerGuid(setting)};
    }
    // Every processor setting of the plan at AC 5 and DC 3.
    static void GiveBaseValues(const PlanGuid& plan) {
        for (const PlanGuid& setting : kProcessorSettings) {
            FindPlan(plan)->acValues[Setting(setting)] = 5;
            FindPlan(plan)->dcValues[Setting(setting)] = 3;
        }
    }
    static std::uint32_t Created() { return machine().duplicatedPowerPlans; }
};

TEST_F(HighPerformancePlanTest, CopiedFromTheBestBuiltInPlan) {
    const struct {
        const char* what;
        std::optional<std::wstring> ultimateName;  // none: no such plan
        bool hybrid;
        PlanGuid base;
        std::uint32_t schedulingAc;
    } cases[] = {
        {"Ultimate Performance", L"Ultimate Performance", false, kUltimatePerformancePlan, 5},
        {"Ultimate has no name", std::nullopt, false, kHighPerformancePlan, 5},
        {"Ultimate's name is empty", L"", false, kHighPerformancePlan, 5},
        {"hybrid: threads prefer performance cores on AC", std::nullopt, true, kHighPerformancePlan,
         2},
    };
    for (const auto& c : cases) {
        Fresh();
        if (c.ultimateName) {
            AddPlan(kUltimatePerformancePlan, *c.ultimateName);
            GiveBaseValues(kUltimatePerformancePlan);
        }
        GiveBaseValues(kHighPerformancePlan);
        if (c.hybrid) {
            machine().SetProcessorGroups({{1, 1, 0, 0, 0, 0}});
        }
        PowerPlanService service;
        HighPerformancePlan highPerformance(service);
        const std::optional<PlanGuid> plan = highPerformance.GetOrInstall();
        ASSERT_TRUE(plan) << c.what;
        ASSERT_FALSE(Calls().empty());
        EXPECT_EQ(Calls()[0], Call("PowerDuplicateScheme", c.base)) << c.what;
        const sim::SimPowerPlan& created = *FindPlan(*plan);
        EXPECT_EQ(created.friendlyName, L"Tarvel Highest Performance") << c.what;
        EXPECT_EQ(created.description, L"Provides Tarvel optimized CPU performance.") << c.what;
        for (const PlanGuid& setting : {kCoreParkingMinCores, kMinimumProcessorState,
                                        kCoreParkingMinCoresClass1, kMinimumProcessorStateClass1}) {
            EXPECT_EQ(created.acValues.at(Setting(setting)), 100u) << c.what;
            EXPECT_EQ(created.dcValues.at(Setting(setting)), 100u) << c.what;
        }
        for (const PlanGuid& setting : {kShortThreadSchedulingPolicy, kThreadSchedulingPolicy}) {
            EXPECT_EQ(created.acValues.at(Setting(setting)), c.schedulingAc) << c.what;
            EXPECT_EQ(created.dcValues.at(Setting(setting)), 3u) << c.what;
        }
        EXPECT_EQ(FindPlan(c.base)->acValues.at(Setting(kCoreParkingMinCores)), 5u) << c.what;
        EXPECT_EQ(platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey,
                                               L"CustomHighPerfGUID"),
                  PlanGuidBytes(*plan))
            << c.what;
    }
}

TEST_F(HighPerformancePlanTest, FoundAgainAndNeverMadeTwice) {
    const PlanGuid unlisted = UserPlan(1);
    const struct {
        const char* what;
        bool createdEarlier;
        bool onlyInRegistry;
    } cases[] = {
        {"made by an earlier start", true, false},
        {"known only to the registry", false, true},
    };
    for (const auto& c : cases) {
        Fresh();
        std::optional<PlanGuid> existing;
        if (c.createdEarlier) {
            PowerPlanService earlierService;
            existing = HighPerformancePlan(earlierService).GetOrInstall();
        }
        if (c.onlyInRegistry) {
            AddPlan(unlisted, std::nullopt).enumerated = false;
            RegisterScheme(unlisted, L"Tarvel Highest Performance");
            existing = unlisted;
        }
        const std::uint32_t createdBefore = Created();
        PowerPlanService service;
        HighPerformancePlan highPerformance(service);
        EXPECT_EQ(highPerformance.GetOrInstall(), existing) << c.what;
        EXPECT_EQ(highPerformance.GetOrInstall(), existing) << c.what;
        EXPECT_TRUE(highPerformance.EnsurePresent()) << c.what;
        EXPECT_EQ(Created(), createdBefore) << c.what;
    }
}

TEST_F(HighPerformancePlanTest, NotMadeWhenTheUserRemovedItOrWindowsHasOverlays) {
    const struct {
        const char* what;
        const wchar_t* key;  // where THPUninstalled is; none: nowhere
        bool overlays;
    } cases[] = {
        {"removed, noted by Corvane", L"Software\\Corvane", false},
        {"removed, noted by Hobrell only", L"Software\\Hobrell", false},
        {"removed, noted by Equilo", L"Software\\Equilo", false},
        {"removed, noted by Tarvel", L"Software\\Tarvel", false},
        {"power-mode overlays", nullptr, true},
    };
    for (const auto& c : cases) {
        Fresh();
        if (c.key != nullptr) {
            // Whatever the type: here a string.
            platform::WriteRegistryString(RegistryRoot::LocalMachine, c.key, L"THPUninstalled",
                                          L"");
        }
        if (c.overlays) {
            machine().EnablePowerOverlays();
        }
        PowerPlanService service;
        HighPerformancePlan highPerformance(service);
        EXPECT_FALSE(highPerformance.GetOrInstall()) << c.what;
        EXPECT_FALSE(highPerformance.InstallIfAllowed()) << c.what;
        EXPECT_TRUE(highPerformance.EnsurePresent()) << c.what;  // nothing it may do
        EXPECT_EQ(Created(), 0u) << c.what;
    }
}

TEST_F(HighPerformancePlanTest, ACopyThatCannotBeNamedIsRemoved) {
    machine().FailCall("PowerWriteFriendlyName");
    PowerPlanService service;
    HighPerformancePlan highPerformance(service);
    EXPECT_FALSE(highPerformance.GetOrInstall());
    EXPECT_EQ(machine().powerPlans.size(), 3u);  // only the built-in plans
    EXPECT_FALSE(
        machine().HasValue(RegistryRoot::LocalMachine, kCorvaneKey, L"CustomHighPerfGUID"));

    machine().ClearFailures();
    EXPECT_TRUE(highPerformance.GetOrInstall());
    EXPECT_EQ(machine().powerPlans.size(), 4u);
}

TEST_F(HighPerformancePlanTest, EnsurePresentForThePostUpdateTool) {
    const PlanGuid unreadable = UserPlan(1);
    const struct {
        const char* what;
        bool available;
        bool unreadablePlan;  // found in the registry, its name unreadable through powrprof
        bool uninstalled;
        bool result;
        std::uint32_t created;
    } cases[] = {
        {"missing: made", true, false, false, true, 1},
        {"the service cannot work here", false, false, false, true, 0},
        {"found but unreadable, and may not be made", true, true, true, false, 0},
        {"found but unreadable, may be made: kept", true, true, false, true, 0},
    };
    for (const auto& c : cases) {
        Fresh();
        machine().powerEntryPointsFound = c.available;
        if (c.unreadablePlan) {
            AddPlan(unreadable, std::nullopt).enumerated = false;
            RegisterScheme(unreadable, L"Tarvel Highest Performance");
        }
        if (c.uninstalled) {
            platform::WriteRegistryDword(RegistryRoot::LocalMachine, L"Software\\Tarvel",
                                         L"THPUninstalled", 1);
        }
        PowerPlanService service;
        EXPECT_EQ(HighPerformancePlan(service).EnsurePresent(), c.result) << c.what;
        EXPECT_EQ(Created(), c.created) << c.what;
    }
}

}  // namespace
}  // namespace cv
