// What a user writes survives a save: each case is one key as a person might write it, what a
// save writes for it, and that reading the saved file gives the very settings read at first.
#include <map>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"

namespace cv {
namespace {

SettingsEnvironment Environment() {
    SettingsEnvironment environment;
    environment.processors = {8, false, 0};
    environment.powerPlans.findPlan = [](const std::wstring& name) -> std::optional<PlanGuid> {
        return EqualsIgnoreCase(name, L"Balanced") ? std::optional(PlanGuid{1, 2, 3, {}})
                                                   : std::nullopt;
    };
    environment.powerPlans.planName = [](const PlanGuid& plan) -> std::optional<std::wstring> {
        return plan == PlanGuid{1, 2, 3, {}} ? std::optional<std::wstring>(L"Balanced")
                                             : std::nullopt;
    };
    environment.powerPlans.available = [] { return true; };
    return environment;
}

std::wstring WrittenValue(const ConfigDocument& document, const std::wstring& key) {
    for (std::size_t i = 0; i < document.keys.size(); ++i) {
        if (document.keys[i] == key) {
            return document.values[i];
        }
    }
    return L"<absent>";
}

class ConfigRoundTripTest : public test::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        machine().InstallEnglishModule();
    }
};

TEST_F(ConfigRoundTripTest, SavedValuesReadBackAsTheyWereRead) {
    const struct {
        const char* what;
        const wchar_t* key;
        const wchar_t* value;
        const wchar_t* saved;
    } cases[] = {
        {"every processor but the first is a mask, not the automatic choice", L"RestraintAffinity",
         L"1-63", L"1-63"},
        {"the automatic choice", L"RestraintAffinity", L"automatic", L"Automatic"},
        {"every processor", L"RestraintAffinity", L"all", L"0-63"},
        {"command ending in a backslash", L"KeepRunningProcesses",
         L"c:\\app\\app.exe;/dir c:\\data\\", L"c:\\app\\app.exe;/dir c:\\data\\ ;0"},
        {"command ending in a backslash, as saved", L"KeepRunningProcesses",
         L"c:\\app\\app.exe;/dir c:\\data\\ ;2", L"c:\\app\\app.exe;/dir c:\\data\\ ;2"},
        {"command ending in a backslash and a blank", L"KeepRunningProcesses",
         L"c:\\app.exe;x\\  ;2", L"c:\\app.exe;x\\  ;2"},
        {"program ending in a backslash", L"KeepRunningProcesses", L"c:\\dir\\ ;go",
         L"c:\\dir\\ ;go;0"},
        {"unsigned key beyond the signed range clamps as every number of the file",
         L"MaximumTimeOfRestraint", L"4294967295", L"2147483647"},
        {"negative unsigned key", L"MaximumTimeOfRestraint", L"-1", L"-1"},
        {"negative delay", L"DefaultAffinitiesEx", L"a.exe,-1,0-3", L"a.exe,-1,0-3"},
        {"huge delay", L"DefaultAffinitiesEx", L"a.exe,3000000000,0-3", L"a.exe,2147483647,0-3"},
        {"balancer entry without a pattern", L"InstanceManagedCPUAffinities", L"; ~", L""},
        {"balancer fields keep their places", L"InstanceManagedCPUAffinities", L"a.exe;;2;;1;y",
         L"a.exe;0;2;0.00;1;y"},
        {"limit rule with an empty field", L"CPULimitRules", L"a.exe;;1;2;3,b.exe;5;1;2;3",
         L"b.exe;5.00;1;2;3"},
        {"watchdog rule with empty fields", L"WatchdogRules2", L"a.exe;1;0;50;1000;0;0;1;;;;",
         L"a.exe;1;0;50.00;1000;0;0;1;-;-;-;-"},
        {"negative watchdog numbers, which a leading \"-\" would empty", L"WatchdogRules2",
         L"a.exe; -1;0; -0.001;1000;0; -5;1;-;-;-;-", L"a.exe; -1;0; -0.00;1000;0; -5;1;-;-;-;-"},
        {"threshold with three decimals", L"CPULimitRules", L"a.exe;12.345;1;2;3",
         L"a.exe;12.35;1;2;3"},
        {"threshold beyond what the file prints", L"InstanceManagedCPUAffinities",
         L"a.exe;1;1;1e60;0;n", L"a.exe;1;1;340282346638528859811704183484516925440.00;0;n"},
        {"unknown idle-time plan", L"PowerSaver_TargetGUID", L"Plan of another machine",
         L"Plan of another machine"},
        {"idle-time plan by another spelling of its name", L"PowerSaver_TargetGUID", L"BALANCED",
         L"Balanced"},
        {"power scheme naming a plan of another machine", L"DefaultPowerSchemes",
         L"a.exe;Balanced,b.exe;Plan of another machine",
         L"a.exe;balanced,b.exe;plan of another machine"},
        {"blank names", L"DisallowedProcesses", L"a.exe, ,b.exe", L"a.exe,b.exe"},
        {"affinity rule pattern in capitals", L"DefaultAffinitiesEx", L"Game.EXE,0,0-3",
         L"game.exe,0,0-3"},
        {"older name list", L"DisableThreadPriorityBoostBoost", L"Old.exe,old.EXE", L"<absent>"},
    };
    for (const auto& c : cases) {
        ConfigSettings first(Environment());
        ConfigDocument file;
        AddEntry(file, L"", c.key, c.value);
        first.ReadSettings(file);
        ConfigDocument saved;
        first.WriteSettings(saved);
        EXPECT_EQ(WrittenValue(saved, c.key), c.saved) << c.what;

        ConfigSettings second(Environment());
        second.ReadSettings(saved);
        EXPECT_TRUE(static_cast<const ConfigSections&>(second) ==
                    static_cast<const ConfigSections&>(first))
            << c.what;
        ConfigDocument savedAgain;
        second.WriteSettings(savedAgain);
        EXPECT_EQ(savedAgain.values, saved.values) << c.what;
    }
}

// Without the power-plan service no plan resolves; a save must still write what the user chose.
TEST_F(ConfigRoundTripTest, PlansSurviveASaveWithoutThePowerPlanService) {
    SettingsEnvironment noService;
    noService.processors = {8, false, 0};
    ConfigSettings settings(noService);
    ConfigDocument file;
    AddEntry(file, L"", L"DefaultPowerSchemes", L"a.exe;Balanced");
    AddEntry(file, L"", L"DefaultPowerSchemesEx", L"b.exe;Power saver");
    AddEntry(file, L"", L"PowerSaver_TargetGUID", L"Balanced");
    settings.ReadSettings(file);
    EXPECT_TRUE(settings.ProcessDefaults.DefaultPowerSchemes.empty());
    ConfigDocument saved;
    settings.WriteSettings(saved);
    EXPECT_EQ(WrittenValue(saved, L"DefaultPowerSchemes"), L"a.exe;balanced,b.exe;power saver");
    EXPECT_EQ(WrittenValue(saved, L"PowerSaver_TargetGUID"), L"Balanced");

    // Where the plans are, the saved file gives the rules.
    ConfigSettings withPlans(Environment());
    withPlans.ReadSettings(saved);
    ASSERT_EQ(withPlans.ProcessDefaults.DefaultPowerSchemes.size(), 1u);
    EXPECT_EQ(withPlans.ProcessDefaults.DefaultPowerSchemes[0].pattern.text, L"a.exe");
    EXPECT_EQ(withPlans.ProcessDefaults.DefaultPowerSchemesUnresolved,
              std::vector<std::wstring>{L"b.exe;power saver"});
}

TEST_F(ConfigRoundTripTest, AutomaticAndEveryProcessorButTheFirstStayApart) {
    ConfigSettings settings(Environment());
    ConfigDocument file;
    AddEntry(file, L"", L"RestraintAffinity", L"1-63");
    settings.ReadSettings(file);
    EXPECT_EQ(settings.OutOfControlProcessRestraint.RestraintAffinity,
              (RestraintAffinityChoice{false, ~std::uint64_t{1}}));
    file.values[0] = L"Automatic";
    settings.ReadSettings(file);
    EXPECT_EQ(settings.OutOfControlProcessRestraint.RestraintAffinity,
              (RestraintAffinityChoice{true, 0}));
}

}  // namespace
}  // namespace cv
