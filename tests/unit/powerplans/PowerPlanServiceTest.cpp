// The power plan service on the simulated machine: listing and finding plans, the active plan
// with power-mode overlays, min-cores settings, powercfg, the recovery values, the resolver the
// configuration uses and the plan-change record.
#include <map>
#include <set>

#include "PowerPlanFixture.h"
#include "actionlog/ActionLog.h"
#include "config/ConfigSettings.h"
#include "config/RuleLists.h"
#include "control/FeatureContext.h"
#include "platform/sim/SimFiles.h"
#include "powerplans/PlanResolver.h"
#include "powerplans/PowerPlanService.h"
#include "powerplans/RecoveryValues.h"
#include "processes/ParentTree.h"

namespace cv {
namespace {

using platform::RegistryRoot;

const PlanGuid kPowerSaver = *ParsePlanGuid(L"{A1841308-3541-4FAB-BC81-F71556F20B4A}");

class PowerPlanServiceTest : public test::PowerPlanTest {};

TEST_F(PowerPlanServiceTest, EnumerationSortsUnlessTheUserSaysNot) {
    const PlanGuid laterBalanced = UserPlan(1);  // a second plan called "Balanced"
    const PlanGuid nameless = UserPlan(2);
    const PlanGuid emptyName = UserPlan(3);
    const struct {
        const char* what;
        bool noSort;
        bool overlays;
        int failingIndex;  // -1: none
        std::vector<PlanGuid> expected;
    } cases[] = {
        {"by name, one plan per name: the last enumerated",
         false,
         false,
         -1,
         {laterBalanced, kHighPerformancePlan, kPowerSaver}},
        {"the system's order, nameless plans too",
         true,
         false,
         -1,
         {kBalancedPlan, kHighPerformancePlan, kPowerSaver, laterBalanced, nameless, emptyName}},
        {"overlays sorted in",
         false,
         true,
         -1,
         {laterBalanced, kOverlayBestPerformance, kOverlayBestPowerEfficiency,
          kOverlayBetterPerformance, kHighPerformancePlan, kPowerSaver}},
        {"overlays after the system's plans",
         true,
         true,
         -1,
         {kBalancedPlan, kHighPerformancePlan, kPowerSaver, laterBalanced, nameless, emptyName,
          kOverlayBestPowerEfficiency, kOverlayBetterPerformance, kOverlayBestPerformance}},
        {"a failing read ends the list", true, false, 2, {kBalancedPlan, kHighPerformancePlan}},
    };
    for (const auto& c : cases) {
        Fresh();
        AddPlan(laterBalanced, L"Balanced");
        AddPlan(nameless, std::nullopt);
        AddPlan(emptyName, L"");
        if (c.noSort) {
            platform::WriteRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey,
                                         L"nosortpowerprofiles", 1);
        }
        if (c.overlays) {
            machine().EnablePowerOverlays();
        }
        if (c.failingIndex >= 0) {
            machine().FailCall("PowerEnumerate", std::to_wstring(c.failingIndex));
        }
        PowerPlanService service;
        EXPECT_EQ(service.EnumeratePlans(), c.expected) << c.what;
    }
}

TEST_F(PowerPlanServiceTest, FindsPlansByName) {
    const PlanGuid unlisted = UserPlan(1);
    const PlanGuid hiddenOther = UserPlan(2);
    const struct {
        const wchar_t* name;
        bool overlays;
        std::optional<PlanGuid> expected;
    } cases[] = {
        {L"high PERFORMANCE", false, kHighPerformancePlan},
        {L"Balanced", false, kBalancedPlan},
        {L"Best performance", true, kOverlayBestPerformance},
        {L"Balanced: Best performance", true, kOverlayBestPerformance},
        // As the configuration file gives names back: lower case.
        {L"balanced: best performance", true, kOverlayBestPerformance},
        {L"Balanced: Best performance", false, std::nullopt},
        // The product's plan is also looked for among the schemes the registry keeps.
        {L"tarvel highest performance", false, unlisted},
        {L"Hidden plan", false, std::nullopt},
        {L"Nothing", false, std::nullopt},
    };
    for (const auto& c : cases) {
        Fresh();
        AddPlan(unlisted, std::nullopt).enumerated = false;
        RegisterScheme(unlisted, kHighPerformancePlanName);
        AddPlan(hiddenOther, std::nullopt).enumerated = false;
        RegisterScheme(hiddenOther, L"Hidden plan");
        if (c.overlays) {
            machine().EnablePowerOverlays();
        }
        PowerPlanService service;
        EXPECT_EQ(service.FindPlanByName(c.name), c.expected) << ToUtf8(c.name);
    }
}

TEST_F(PowerPlanServiceTest, OverlaysAreReportedAndSwitchedThroughBalanced) {
    const PlanGuid kBest = kOverlayBestPerformance;
    const auto setScheme = [](const PlanGuid& plan) { return Call("PowerSetActiveScheme", plan); };
    const auto setOverlay = [](const PlanGuid& plan) {
        return Call("PowerSetActiveOverlayScheme", plan);
    };
    const struct {
        const char* what;
        bool overlayEntryPoints;
        std::optional<std::wstring> overlayValue;  // ActiveOverlayAcPowerScheme; none: as set
        PlanGuid startPlan;
        PlanGuid startOverlay;
        PlanGuid reportedBefore;
        PlanGuid target;
        std::vector<std::wstring> calls;
        PlanGuid reportedAfter;
    } cases[] = {
        {"High performance takes the overlay off first",
         true,
         std::nullopt,
         kBalancedPlan,
         kBest,
         kBest,
         kHighPerformancePlan,
         {setOverlay(kNoOverlay), setScheme(kHighPerformancePlan)},
         kHighPerformancePlan},
        {"an overlay goes on over Balanced",
         true,
         std::nullopt,
         kHighPerformancePlan,
         kNoOverlay,
         kHighPerformancePlan,
         kBest,
         {setScheme(kBalancedPlan), setOverlay(kBest)},
         kBest},
        {"Balanced again takes the overlay off",
         true,
         std::nullopt,
         kBalancedPlan,
         kBest,
         kBest,
         kBalancedPlan,
         {setOverlay(kNoOverlay), setScheme(kBalancedPlan)},
         kBalancedPlan},
        {"no overlays without the registry value",
         true,
         L"",
         kBalancedPlan,
         kBest,
         kBalancedPlan,
         kHighPerformancePlan,
         {setScheme(kHighPerformancePlan)},
         kHighPerformancePlan},
        {"no overlay entry points",
         false,
         std::nullopt,
         kBalancedPlan,
         kNoOverlay,
         kBalancedPlan,
         kHighPerformancePlan,
         {setScheme(kHighPerformancePlan)},
         kHighPerformancePlan},
    };
    for (const auto& c : cases) {
        Fresh();
        if (c.overlayEntryPoints) {
            machine().EnablePowerOverlays();
        }
        if (c.overlayValue) {
            platform::WriteRegistryString(RegistryRoot::LocalMachine, platform::kPowerSchemesKey,
                                          L"ActiveOverlayAcPowerScheme", *c.overlayValue);
        }
        SetActive(c.startPlan, c.startOverlay);
        PowerPlanService service;
        EXPECT_EQ(service.ActivePlan(), c.reportedBefore) << c.what;
        Calls().clear();
        EXPECT_TRUE(service.SetActivePlan(c.target)) << c.what;
        EXPECT_EQ(Calls(), c.calls) << c.what;
        EXPECT_EQ(service.ActivePlan(), c.reportedAfter) << c.what;
    }

    // Switching to an overlay reports the overlay call's result.
    Fresh();
    machine().EnablePowerOverlays();
    machine().FailCall("PowerSetActiveOverlayScheme");
    PowerPlanService service;
    EXPECT_FALSE(service.SetActivePlan(kBest));
}

TEST_F(PowerPlanServiceTest, ActivePlanNameIsReadAgainWhenThePlanChanges) {
    PowerPlanService service;
    EXPECT_EQ(service.ActivePlanName(), L"Balanced");
    FindPlan(kBalancedPlan)->friendlyName = L"Renamed";
    EXPECT_EQ(service.ActivePlanName(), L"Balanced");  // the same plan: the name is kept
    ASSERT_TRUE(service.SetActivePlan(kHighPerformancePlan));
    EXPECT_EQ(service.ActivePlanName(), L"High performance");
    ASSERT_TRUE(service.SetActivePlan(kBalancedPlan));
    EXPECT_EQ(service.ActivePlanName(), L"Renamed");
    machine().FailCall("PowerGetActiveScheme");
    EXPECT_EQ(service.ActivePlanName(), std::nullopt);
}

TEST_F(PowerPlanServiceTest, ReadsMinCores) {
    const struct {
        MinCoresKind kind;
        bool ac;
        std::optional<std::uint32_t> stored;
        const wchar_t* scheme;
        std::uint32_t value;
        bool result;
    } cases[] = {
        {MinCoresKind::AllCores, true, 50, L"Balanced", 50, true},
        {MinCoresKind::EfficiencyClass1, false, 25, L"balanced", 25, true},
        {MinCoresKind::AllCores, false, 100, L"Balanced", 100, false},  // nothing parked
        {MinCoresKind::AllCores, true, std::nullopt, L"Balanced", 0, false},
        {MinCoresKind::AllCores, true, 50, L"No such plan", 0, false},
    };
    for (const auto& c : cases) {
        Fresh();
        sim::SimPowerPlan& balanced = *FindPlan(kBalancedPlan);
        const bool classOne = c.kind == MinCoresKind::EfficiencyClass1;
        const auto setting = [&](bool other) {
            return sim::SimPowerPlan::Setting{
                ToPowerGuid(kProcessorSubgroup),
                ToPowerGuid(classOne != other ? kCoreParkingMinCoresClass1 : kCoreParkingMinCores)};
        };
        auto& values = c.ac ? balanced.acValues : balanced.dcValues;
        auto& otherPower = c.ac ? balanced.dcValues : balanced.acValues;
        if (c.stored) {
            values[setting(false)] = *c.stored;
        }
        values[setting(true)] = 77;  // the other kind
        otherPower[setting(false)] = 66;
        PowerPlanService service;
        const MinCoresReading reading = service.ReadMinCores(c.scheme, c.kind, c.ac);
        EXPECT_EQ(reading.value, c.value) << ToUtf8(c.scheme);
        EXPECT_EQ(reading.result, c.result) << ToUtf8(c.scheme);
    }
}

TEST_F(PowerPlanServiceTest, WritesMinCores) {
    const struct {
        const char* what;
        std::optional<std::wstring> schemeName;  // none: by GUID, High performance
        MinCoresKind kind;
        bool ac;
        bool result;
        std::optional<PlanGuid> setting;
    } cases[] = {
        {"all cores by name, AC", L"balanced", MinCoresKind::AllCores, true, true,
         kCoreParkingMinCores},
        {"class 1 by GUID, DC", std::nullopt, MinCoresKind::EfficiencyClass1, false, true,
         kCoreParkingMinCoresClass1},
        {"another kind writes nothing", L"Balanced", static_cast<MinCoresKind>(2), true, false,
         std::nullopt},
        {"an unknown plan", L"No such plan", MinCoresKind::AllCores, true, false, std::nullopt},
    };
    for (const auto& c : cases) {
        Fresh();
        PowerPlanService service;
        const PlanGuid plan = c.schemeName ? kBalancedPlan : kHighPerformancePlan;
        const bool written = c.schemeName ? service.WriteMinCores(*c.schemeName, c.kind, 42, c.ac)
                                          : service.WriteMinCores(plan, c.kind, 42, c.ac);
        EXPECT_EQ(written, c.result) << c.what;
        const sim::SimPowerPlan& target = *FindPlan(plan);
        const auto& values = c.ac ? target.acValues : target.dcValues;
        if (c.setting) {
            EXPECT_EQ(values.size(), 1u) << c.what;
            const auto found =
                values.find({ToPowerGuid(kProcessorSubgroup), ToPowerGuid(*c.setting)});
            EXPECT_TRUE(found != values.end() && found->second == 42) << c.what;
        } else {
            EXPECT_TRUE(Calls().empty()) << c.what;
        }
    }
}

TEST_F(PowerPlanServiceTest, ReappliesTheActiveSchemeWithPowercfg) {
    const struct {
        const char* what;
        std::optional<std::uint32_t> allowElevatedChildren;
        const char* failingCall;
        bool result;
        bool lowIntegrity;
    } cases[] = {
        {"at low integrity, as every program the engine starts", std::nullopt, nullptr, true, true},
        {"elevated children allowed", 1, nullptr, true, false},
        {"powercfg cannot be started", std::nullopt, "CreateProcessAsUser", false, true},
    };
    for (const auto& c : cases) {
        Fresh();
        if (c.allowElevatedChildren) {
            platform::WriteRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey,
                                         L"AllowElevatedChildren", *c.allowElevatedChildren);
        }
        if (c.failingCall != nullptr) {
            machine().FailCall(c.failingCall);
        }
        PowerPlanService service;
        EXPECT_EQ(service.ReapplyActiveScheme(), c.result) << c.what;
        ASSERT_EQ(machine().launches.size(), 1u) << c.what;
        EXPECT_EQ(machine().launches[0].parameters,
                  L"\"C:\\Windows\\system32\\powercfg.exe\" -setactive scheme_current");
        EXPECT_EQ(machine().launches[0].lowIntegrity, c.lowIntegrity) << c.what;
    }
}

TEST_F(PowerPlanServiceTest, AnUnavailableServiceFailsAtOnce) {
    const struct {
        const char* what;
        bool entryPoints;
        std::uint32_t osMajor;
    } cases[] = {
        {"powrprof lacks an entry point", false, 10},
        {"before Windows 6.0", true, 5},
    };
    for (const auto& c : cases) {
        Fresh();
        machine().powerEntryPointsFound = c.entryPoints;
        machine().osMajor = c.osMajor;
        machine().EnablePowerOverlays();
        PowerPlanService service;
        EXPECT_FALSE(service.IsAvailable()) << c.what;
        EXPECT_TRUE(service.EnumeratePlans().empty()) << c.what;
        EXPECT_FALSE(service.FindPlanByName(L"Balanced")) << c.what;
        EXPECT_FALSE(service.ActivePlan()) << c.what;
        EXPECT_FALSE(service.SetActivePlan(kHighPerformancePlan)) << c.what;
        EXPECT_FALSE(service.WriteMinCores(kBalancedPlan, MinCoresKind::AllCores, 5, true))
            << c.what;
        EXPECT_FALSE(service.ReadMinCores(L"Balanced", MinCoresKind::AllCores, true).result);
        EXPECT_FALSE(service.ReapplyActiveScheme()) << c.what;
        EXPECT_TRUE(service.OverlayPlans().empty()) << c.what;
        EXPECT_TRUE(Calls().empty()) << c.what;
        EXPECT_TRUE(machine().launches.empty()) << c.what;
        EXPECT_FALSE(MakePowerPlanResolver().IsAvailable()) << c.what;
    }
}

TEST_F(PowerPlanServiceTest, RecoveryValuesAreSixteenBytesUnderCorvane) {
    ASSERT_TRUE(StoreRecoveryValue(kDrowselRecoveryValue, kHighPerformancePlan));
    EXPECT_EQ(platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey,
                                           L"DrowselRecoveryGUID"),
              (std::vector<std::uint8_t>{0xda, 0x7f, 0x5e, 0x8c, 0xbf, 0xe8, 0x96, 0x4a, 0x9a, 0x85,
                                         0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}));
    EXPECT_TRUE(ClearRecoveryValue(kDrowselRecoveryValue));
    EXPECT_FALSE(
        machine().HasValue(RegistryRoot::LocalMachine, kCorvaneKey, kDrowselRecoveryValue));
    EXPECT_TRUE(ClearRecoveryValue(kDrowselRecoveryValue));  // nothing to clear is fine
}

TEST_F(PowerPlanServiceTest, StartUpRecoveryPutsPlansBackOnce) {
    using Bytes = std::vector<std::uint8_t>;
    const auto setScheme = [](const PlanGuid& plan) { return Call("PowerSetActiveScheme", plan); };
    const struct {
        const char* what;
        std::map<std::wstring, Bytes> values;
        bool overlays;
        const char* failingCall;
        std::vector<std::wstring> calls;
        std::set<std::wstring> remaining;
    } cases[] = {
        {"the plan before performance mode comes back",
         {{kTarvelHighPerfRecoveryValue, PlanGuidBytes(kPowerSaver)}},
         false,
         nullptr,
         {setScheme(kPowerSaver)},
         {}},
        {"idle-time plan, performance mode, application plans, in that order",
         {{kAppPowerProfileRecoveryValue, PlanGuidBytes(kBalancedPlan)},
          {kTarvelHighPerfRecoveryValue, PlanGuidBytes(kHighPerformancePlan)},
          {kDrowselRecoveryValue, PlanGuidBytes(kPowerSaver)}},
         false,
         nullptr,
         {setScheme(kPowerSaver), setScheme(kHighPerformancePlan), setScheme(kBalancedPlan)},
         {}},
        {"an overlay comes back over Balanced",
         {{kDrowselRecoveryValue, PlanGuidBytes(kOverlayBetterPerformance)}},
         true,
         nullptr,
         {setScheme(kBalancedPlan), Call("PowerSetActiveOverlayScheme", kOverlayBetterPerformance)},
         {}},
        {"a plan that is gone is dropped, the overlay left alone",
         {{kAppPowerProfileRecoveryValue, PlanGuidBytes(UserPlan(9))}},
         true,
         nullptr,
         {},
         {}},
        {"damaged values are dropped",
         {{kDrowselRecoveryValue, Bytes{1, 2, 3}}, {kTarvelHighPerfRecoveryValue, Bytes(16, 0)}},
         false,
         nullptr,
         {},
         {}},
        {"a plan that cannot be activated now waits for the next start",
         {{kTarvelHighPerfRecoveryValue, PlanGuidBytes(kHighPerformancePlan)}},
         false,
         "PowerSetActiveScheme",
         {},
         {L"tarvelhighperfrecoveryguid"}},
    };
    for (const auto& c : cases) {
        Fresh();
        if (c.overlays) {
            machine().EnablePowerOverlays();
            SetActive(kBalancedPlan, kOverlayBestPerformance);
        }
        for (const auto& [name, bytes] : c.values) {
            platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey, name, bytes);
        }
        if (c.failingCall != nullptr) {
            machine().FailCall(c.failingCall);
        }
        PowerPlanService service;
        RecoverPowerPlansAtStartUp(service);
        EXPECT_EQ(Calls(), c.calls) << c.what;
        std::set<std::wstring> remaining;
        if (const auto* key = machine().FindKey(RegistryRoot::LocalMachine, kCorvaneKey)) {
            for (const auto& [name, value] : *key) {
                remaining.insert(name);
            }
        }
        EXPECT_EQ(remaining, c.remaining) << c.what;
    }
}

TEST_F(PowerPlanServiceTest, ResolverGivesTheConfigurationPlansAndTheirNames) {
    machine().EnablePowerOverlays();
    const PowerPlanResolver resolver = MakePowerPlanResolver();
    ASSERT_TRUE(resolver.IsAvailable());
    const auto rules =
        ReadPowerSchemes(L"a.exe;Balanced: Best performance,b.exe;Power saver,c.exe;missing", L"",
                         resolver, nullptr);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].plan, kOverlayBestPerformance);
    EXPECT_EQ(rules[1].plan, kPowerSaver);
    const auto written = WritePowerSchemes(rules, resolver);
    EXPECT_EQ(written, L"a.exe;best performance,b.exe;power saver");
    // What was written reads back to the same plans.
    const auto again = ReadPowerSchemes(*written, L"", resolver, nullptr);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].plan, kOverlayBestPerformance);
    EXPECT_EQ(again[1].plan, kPowerSaver);
    EXPECT_EQ(resolver.NameOf(UserPlan(9)), std::nullopt);
}

TEST_F(PowerPlanServiceTest, PlanChangesAreLoggedUnderTheirSwitch) {
    const std::wstring folder = L"C:\\Logs";
    const PlanGuid nameless = UserPlan(1);
    const struct {
        bool logPowerProfileChanges;
        bool logDisable;
        PlanGuid plan;
        std::optional<std::string> info;
    } cases[] = {
        {true, false, kHighPerformancePlan, "Power plan changed to High performance"},
        {true, false, nameless, "Power plan changed to Unknown"},
        {false, false, kHighPerformancePlan, std::nullopt},
        {true, true, kHighPerformancePlan, std::nullopt},
    };
    for (const auto& c : cases) {
        Fresh();
        sim::PutFolder(folder);
        AddPlan(nameless, std::nullopt);
        ConfigSettings settings;
        settings.Logging.LogPowerProfileChanges = c.logPowerProfileChanges;
        settings.Logging.LogDisable = c.logDisable;
        ActionLog log;
        log.SetFolder(folder);
        ProcessTable table;
        ParentTree tree;
        const EngineIdentity engine;
        const CycleState cycle;
        const FeatureContext context(settings, log, table, tree, engine, cycle);
        PowerPlanService service;
        ActionFacts facts;
        facts.name = L"game.exe";
        service.LogPlanChange(context, c.plan, facts);
        ASSERT_TRUE(log.StartWriter());
        log.StopWriter();
        const std::string text = sim::FileBytes(folder + L"\\corvane.log").value_or("");
        if (c.info) {
            EXPECT_NE(text.find(*c.info), std::string::npos) << text;
            EXPECT_NE(text.find("\"game.exe\",\"28\""), std::string::npos);
        } else {
            EXPECT_EQ(text.find("Power plan changed"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace cv
