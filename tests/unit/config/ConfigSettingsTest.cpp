#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "platform/Registry.h"

namespace cv {
namespace {

using platform::RegistryRoot;
constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";

struct Line {
    std::wstring section;
    std::wstring key;
    std::wstring value;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) {
    *out << "[" << ToUtf8(line.section) << "] " << ToUtf8(line.key) << "=" << ToUtf8(line.value);
}

std::vector<Line> LinesOf(const ConfigDocument& document) {
    std::vector<Line> lines;
    for (std::size_t i = 0; i < document.keys.size(); ++i) {
        lines.push_back({document.sections[i], document.keys[i], document.values[i]});
    }
    return lines;
}

ConfigDocument DocumentOf(const std::vector<Line>& lines) {
    ConfigDocument document;
    for (const auto& line : lines) {
        AddEntry(document, line.section, line.key, line.value);
    }
    return document;
}

std::wstring ValueOf(const std::vector<Line>& lines, const std::wstring& key) {
    for (const auto& line : lines) {
        if (line.key == key) {
            return line.value;
        }
    }
    return L"<absent>";
}

const ProcessorFacts kEightProcessors{8, false, 0};

// Plans as the power code will resolve them: by name ignoring case, named as the system says.
PowerPlanResolver TestPlans() {
    static const std::map<std::wstring, std::pair<PlanGuid, std::wstring>> plans = {
        {L"balanced", {{0x381b4222, 1, 2, {}}, L"Balanced"}},
        {L"power saver", {{0xa1841308, 3, 4, {}}, L"Power saver"}},
    };
    PowerPlanResolver resolver;
    resolver.findPlan = [](const std::wstring& name) -> std::optional<PlanGuid> {
        const auto it = plans.find(ToLower(name));
        return it == plans.end() ? std::nullopt : std::optional<PlanGuid>(it->second.first);
    };
    resolver.planName = [](const PlanGuid& guid) -> std::optional<std::wstring> {
        for (const auto& [key, plan] : plans) {
            if (plan.first == guid) {
                return plan.second;
            }
        }
        return std::nullopt;
    };
    resolver.available = [] { return true; };
    return resolver;
}

SettingsEnvironment Environment(ProcessorFacts processors = kEightProcessors) {
    SettingsEnvironment environment;
    environment.processors = processors;
    environment.powerPlans = TestPlans();
    return environment;
}

class ConfigSettingsTest : public test::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        machine().InstallEnglishModule();
    }

    // A new machine inside one test, with the English texts available again.
    static void FreshMachine() {
        machine().Reset();
        ResetLanguageState();
        machine().InstallEnglishModule();
    }

    static std::vector<Line> Written(const ConfigSettings& settings) {
        ConfigDocument document;
        settings.WriteSettings(document);
        return LinesOf(document);
    }
};

// Every key, in save order, with the defaults of a machine with 8 processors.
const std::vector<Line> kDefaultFile = {
    {L"Administration", L"Version", L"5990600"},
    {L"Administration", L"ConfigPasswordMD5", L""},
    {L"OutOfControlProcessRestraint", L"OocOn", L"true"},
    {L"OutOfControlProcessRestraint", L"ExcludeChildrenOfForeground", L"true"},
    {L"OutOfControlProcessRestraint", L"DisableLevelonWhenSysIdle", L"false"},
    {L"OutOfControlProcessRestraint", L"LevelonDropOneRandomCore", L"false"},
    {L"OutOfControlProcessRestraint", L"DoNotAdjustAffinityIfCustomized", L"true"},
    {L"OutOfControlProcessRestraint", L"OocDisableCoreParkingWhileIn", L"false"},
    {L"OutOfControlProcessRestraint", L"UseEfficiencyMode", L"false"},
    {L"OutOfControlProcessRestraint", L"DisableLevelonIfSysIdleThisManyMS", L"30000"},
    {L"OutOfControlProcessRestraint", L"TotalProcessorUsageBeforeRestraint", L"11"},
    {L"OutOfControlProcessRestraint", L"PerProcessUsageBeforeRestraint", L"8"},
    {L"OutOfControlProcessRestraint", L"TimeOverQuotaBeforeRestraint", L"900"},
    {L"OutOfControlProcessRestraint", L"PerProcessUsageForRestore", L"4"},
    {L"OutOfControlProcessRestraint", L"PlayOnRestraint", L""},
    {L"OutOfControlProcessRestraint", L"PlayOnRestore", L""},
    {L"OutOfControlProcessRestraint", L"MinimumTimeOfRestraint", L"7200"},
    {L"OutOfControlProcessRestraint", L"MaximumTimeOfRestraint", L"240000"},
    {L"OutOfControlProcessRestraint", L"TameOnlyNormal", L"true"},
    {L"OutOfControlProcessRestraint", L"LowerToIdleInsteadOfBelowNormal", L"false"},
    {L"OutOfControlProcessRestraint", L"ExcludeServices", L"true"},
    {L"OutOfControlProcessRestraint", L"PlaySoundOnRestraint", L"false"},
    {L"OutOfControlProcessRestraint", L"PlaySoundOnRestore", L"false"},
    {L"OutOfControlProcessRestraint", L"RestrainByAffinity", L"false"},
    {L"OutOfControlProcessRestraint", L"RestraintAffinity", L""},
    {L"OutOfControlProcessRestraint", L"ExcludeForegroundProcesses2", L"false"},
    {L"OutOfControlProcessRestraint", L"DoNotLowerPriorityClass", L"false"},
    {L"OutOfControlProcessRestraint", L"LowerIOPriorityDuringRestraint", L"false"},
    {L"OutOfControlProcessRestraint", L"MatchExclusionsByPathnameToo", L"false"},
    {L"OutOfControlProcessRestraint", L"ChangeTrayIconOnRestraint", L"true"},
    {L"OutOfControlProcessRestraint", L"OocExclusions", L""},
    {L"OutOfControlProcessRestraint", L"OocHardCodedExclusionOverrides", L""},
    {L"GUI", L"ClearLogAtExit", L"false"},
    {L"GUI", L"ShowCPUCoreUtilGraphs", L"true"},
    {L"GUI", L"ShowGraphLegend", L"true"},
    {L"GUI", L"ShowGraphCPU", L"true"},
    {L"GUI", L"ShowGraphResponsiveness", L"true"},
    {L"GUI", L"ShowGraphMemoryLoad", L"true"},
    {L"GUI", L"ShowGraphLevelonEvents", L"true"},
    {L"GUI", L"ShowGraphSelectedProcessesCPUHistory", L"true"},
    {L"GUI", L"LevelonCountersOnGraph", L"true"},
    {L"GUI", L"ShowPowerProfile", L"true"},
    {L"GUI", L"GraphShowTooltips", L"true"},
    {L"GUI", L"ShowCPUUtilityAsPrimary", L"true"},
    {L"Advanced", L"AutomaticUpdate", L"false"},
    {L"Performance", L"DefaultsLevel", L"327942"},
    {L"Performance", L"GracefulWaitTimeInMs", L"5000"},
    {L"Performance", L"UpdateSpeedGUI", L"1000"},
    {L"Performance", L"UpdateSpeedCore", L"1000"},
    {L"Sampling", L"SamplingEnabled", L"false"},
    {L"Sampling", L"SamplingIntervalSeconds", L"900"},
    {L"Sampling", L"SamplingOutputPath", L""},
    {L"Sampling", L"SamplingIncludePattern", L""},
    {L"Sampling", L"SamplingExcludePattern", L""},
    {L"Performance", L"ManageOnlyCurrentUser", L"false"},
    {L"Performance", L"ExitOnCloseWindow", L"false"},
    {L"Performance", L"SoundsOff", L"true"},
    {L"Performance", L"IsConfigWritable", L"true"},
    {L"Performance", L"ForcedMode", L"false"},
    {L"Performance", L"IgnoreProblematicProcesses", L"false"},
    {L"Performance", L"IgnoreSuspendedProcesses", L"false"},
    {L"Performance", L"SetTimerResolutionAtStartup", L"0"},
    {L"ForegroundBoosting", L"BoostForegroundProcess", L"false"},
    {L"ForegroundBoosting", L"ForegroundBoostPriorityClass", L"0x8000"},
    {L"ForegroundBoosting", L"BoostOnlyNormal", L"true"},
    {L"ForegroundBoosting", L"ForegroundBoostExclusions", L""},
    {L"SystemTrayIcon", L"UseStaticIcon", L"false"},
    {L"SystemTrayIcon", L"ShowResponsivnessInTrayInsteadOfProcessorUsage", L"false"},
    {L"Logging", L"LogDisable", L"false"},
    {L"Logging", L"IncludeCommandLines", L"false"},
    {L"Logging", L"LogCullmark", L"true"},
    {L"Logging", L"LogCPULimiter", L"true"},
    {L"Logging", L"LogEfficiencyMode", L"true"},
    {L"Logging", L"LogGroupExtender", L"true"},
    {L"Logging", L"LogCPUSets", L"true"},
    {L"Logging", L"LogLevelonParkingChanges", L"true"},
    {L"Logging", L"LogProcessExecutions", L"false"},
    {L"Logging", L"LogProcessTerminations", L"false"},
    {L"Logging", L"LogProcessesDisallowed", L"true"},
    {L"Logging", L"LogDefaultPriorityAdjustments", L"true"},
    {L"Logging", L"LogDefaultAffinityAdjustments", L"true"},
    {L"Logging", L"LogLevelonBegin", L"true"},
    {L"Logging", L"LogLevelonEnd", L"true"},
    {L"Logging", L"LogInstanceLimitTerminations", L"true"},
    {L"Logging", L"LogPowerProfileChanges", L"true"},
    {L"MemoryManagement", L"CullmarkIsEnabled", L"false"},
    {L"MemoryManagement", L"CullmarkWorkingSetTrims", L"false"},
    {L"MemoryManagement", L"CullmarkClearStandbyList", L"false"},
    {L"MemoryManagement", L"CullmarkClearFileCache", L"false"},
    {L"MemoryManagement", L"ClearStandbyFreeRAMThresholdMB", L"1024"},
    {L"MemoryManagement", L"ClearStandbyOnlyInPerfMode", L"true"},
    {L"MemoryManagement", L"CullmarkExclusions", L""},
    {L"MemoryManagement", L"CullmarkAutoMinimumRAMLoad", L"65"},
    {L"MemoryManagement", L"MinimumProcessWSSInMb", L"384"},
    {L"MemoryManagement", L"CullmarkIntervalMins", L"15"},
    {L"SysTrayBalloons", L"EnableSystemTrayNotification", L"false"},
    {L"SysTrayBalloons", L"BalloonTipDuration", L"10000"},
    {L"SysTrayBalloons", L"ShowBalloonsForOocPriorityRestoration", L"false"},
    {L"ProcessAllowances", L"ApplyInstanceCountLimitsToAllUsers", L"false"},
    {L"ProcessAllowances", L"AllowedProcesses", L""},
    {L"ProcessAllowances", L"DisallowedProcesses", L""},
    {L"ProcessAllowances", L"InstanceLimitedProcesses", L""},
    {L"ProcessAllowances", L"InstanceManagedCPUAffinities", L""},
    {L"ProcessAllowances", L"ProcessThrottles", L""},
    {L"ProcessAllowances", L"OneTimeProcessThrottles", L""},
    {L"ProcessAllowances", L"CPULimitRules", L""},
    {L"ProcessDefaults", L"NamedAffinities", L""},
    {L"ProcessDefaults", L"DefaultPriorities", L""},
    {L"ProcessDefaults", L"DefaultIOPriorities", L""},
    {L"ProcessDefaults", L"DefaultMemoryPriorities", L""},
    {L"ProcessDefaults", L"DisableThreadPriorityBoost", L""},
    {L"ProcessDefaults", L"DefaultAffinitiesEx", L""},
    {L"ProcessDefaults", L"CPUSets", L""},
    {L"ProcessDefaults", L"KeepRunningProcesses", L""},
    {L"ProcessAllowances", L"EfficiencyMode", L""},
    {L"ProcessDefaults", L"MatchWildcardsToPathnames", L"true"},
    {L"ProcessDefaults", L"MatchOnCommandLine", L"false"},
    {L"AdvancedRules", L"DivideCPUPercentThresholdsBySystemCPUCount", L"false"},
    {L"AdvancedRules", L"ProcessorGroupExtended", L""},
    {L"AdvancedRules", L"ProhibitInternetExplorerExceptWhenAny", L""},
    {L"AdvancedRules", L"WatchdogRules2", L""},
    {L"GamingMode", L"GamingModeEnabled", L"false"},
    {L"GamingMode", L"GamingChangePowerPlan", L"true"},
    {L"GamingMode", L"TargetPowerPlan", L"Tarvel Highest Performance"},
    {L"GamingMode", L"GamingModeEngageForSteam", L"true"},
    {L"GamingMode", L"AutomaticGamingModeProcessPaths", L""},
    {L"PowerManagement", L"StartWithPowerPlan", L""},
    {L"PowerManagement", L"Display", L""},
    {L"PowerManagement", L"PC", L""},
    // DefaultPowerSchemes: only when a rule is there.
    {L"PowerSaver", L"PowerSaver_IdleTime", L"300"},
    {L"PowerSaver", L"EnergySaverEnabled", L"false"},
    {L"PowerSaver", L"EnergySaverForceActivePowerProfile", L"false"},
    {L"PowerSaver", L"EnergySaverUpPowerProfileName", L""},
    {L"PowerSaver", L"EnergySaverEvents", L"true"},
    {L"PowerSaver", L"DisableEnergySaverDuringGamingMode", L"true"},
    // PowerSaver_TargetGUID: only when a plan is chosen.
    {L"PowerSaver", L"PowerSaver_Exclusions", L""},
};

TEST_F(ConfigSettingsTest, DefaultsAreWrittenInSaveOrder) {
    ConfigSettings settings(Environment());
    EXPECT_EQ(Written(settings), kDefaultFile);
    // Icons are shown by default, and the saver says so in the registry instead of the file.
    EXPECT_EQ(machine().GetDword(RegistryRoot::CurrentUser, kCorvaneKey, L"ShowProcessIcons"), 1u);

    // The two conditional keys take their places when they have something to say.
    ConfigDocument document;
    AddEntry(document, L"ProcessDefaults", L"DefaultPowerSchemes", L"game.exe;Balanced");
    AddEntry(document, L"PowerSaver", L"PowerSaver_TargetGUID", L"power saver");
    settings.ReadSettings(document);
    std::vector<Line> expected = kDefaultFile;
    const auto pc = std::find_if(expected.begin(), expected.end(),
                                 [](const Line& line) { return line.key == L"PC"; });
    expected.insert(pc + 1, {L"ProcessDefaults", L"DefaultPowerSchemes", L"game.exe;balanced"});
    const auto exclusions = std::find_if(expected.begin(), expected.end(), [](const Line& line) {
        return line.key == L"PowerSaver_Exclusions";
    });
    expected.insert(exclusions, {L"PowerSaver", L"PowerSaver_TargetGUID", L"Power saver"});
    for (auto& line : expected) {
        if (line.key == L"PowerSaver_IdleTime") {
            line.value = L"0";  // absent from an existing file
        } else if (line.key == L"SamplingIncludePattern") {
            line.value = L"*";
        }
    }
    EXPECT_EQ(Written(settings), expected);
}

// The value each key of kDefaultFile reads as when the file holds the given text.
struct KeyCase {
    const char* what;
    std::vector<Line> file;
    const wchar_t* key;
    const wchar_t* writtenBack;
};

TEST_F(ConfigSettingsTest, ParticularKeys) {
    const KeyCase cases[] = {
        {"GUI speed outside the list",
         {{L"", L"UpdateSpeedGUI", L"300"}},
         L"UpdateSpeedGUI",
         L"1000"},
        {"GUI speed in the list", {{L"", L"UpdateSpeedGUI", L"250"}}, L"UpdateSpeedGUI", L"250"},
        {"GUI speed 0", {{L"", L"UpdateSpeedGUI", L"0"}}, L"UpdateSpeedGUI", L"0"},
        {"core speed as read", {{L"", L"UpdateSpeedCore", L"300"}}, L"UpdateSpeedCore", L"300"},
        {"core speed without digits",
         {{L"", L"UpdateSpeedCore", L"fast"}},
         L"UpdateSpeedCore",
         L"0"},
        {"boost class decimal",
         {{L"", L"ForegroundBoostPriorityClass", L"32768"}},
         L"ForegroundBoostPriorityClass",
         L"0x8000"},
        {"boost class upper-case hex",
         {{L"", L"ForegroundBoostPriorityClass", L"0X8000"}},
         L"ForegroundBoostPriorityClass",
         L"0x8000"},
        {"boost class hex",
         {{L"", L"ForegroundBoostPriorityClass", L"0x80"}},
         L"ForegroundBoostPriorityClass",
         L"0x80"},
        {"boost class unreadable keeps the value",
         {{L"", L"ForegroundBoostPriorityClass", L"high"}},
         L"ForegroundBoostPriorityClass",
         L"0x8000"},
        {"boost class with 0x inside",
         {{L"", L"ForegroundBoostPriorityClass", L"1 0x20"}},
         L"ForegroundBoostPriorityClass",
         L"0x8000"},
        {"timer resolution",
         {{L"", L"SetTimerResolutionAtStartup", L"5000"}},
         L"SetTimerResolutionAtStartup",
         L"5000"},
        {"timer resolution unreadable",
         {{L"", L"SetTimerResolutionAtStartup", L"fine"}},
         L"SetTimerResolutionAtStartup",
         L"0"},
        {"restraint affinity empty", {{L"", L"RestraintAffinity", L""}}, L"RestraintAffinity", L""},
        {"restraint affinity automatic",
         {{L"", L"RestraintAffinity", L"AUTOMATIC"}},
         L"RestraintAffinity",
         L"Automatic"},
        {"restraint affinity ranges",
         {{L"", L"RestraintAffinity", L"5;0-3"}},
         L"RestraintAffinity",
         L"0-3;5"},
        {"restraint affinity all",
         {{L"", L"RestraintAffinity", L"All"}},
         L"RestraintAffinity",
         L"0-63"},
        {"restraint affinity out of range",
         {{L"", L"RestraintAffinity", L"70"}},
         L"RestraintAffinity",
         L""},
        {"target plan empty",
         {{L"", L"TargetPowerPlan", L"  "}},
         L"TargetPowerPlan",
         L"Tarvel Highest Performance"},
        {"target plan", {{L"", L"TargetPowerPlan", L" My Plan "}}, L"TargetPowerPlan", L"My Plan"},
        {"idle time absent from a file", {}, L"PowerSaver_IdleTime", L"0"},
        {"sampling include absent from a file", {}, L"SamplingIncludePattern", L"*"},
        {"sampling include present",
         {{L"", L"SamplingIncludePattern", L""}},
         L"SamplingIncludePattern",
         L""},
        {"automatic update is handed over",
         {{L"", L"AutomaticUpdate", L"TRUE"}},
         L"AutomaticUpdate",
         L"false"},
        {"password trimmed", {{L"", L"ConfigPasswordMD5", L" abc "}}, L"ConfigPasswordMD5", L"abc"},
        {"version never read", {{L"", L"Version", L"1"}}, L"Version", L"5990600"},
        {"force active plan without a plan",
         {{L"", L"EnergySaverForceActivePowerProfile", L"true"}},
         L"EnergySaverForceActivePowerProfile",
         L"false"},
        {"force active plan with a plan",
         {{L"", L"EnergySaverForceActivePowerProfile", L"true"},
          {L"", L"EnergySaverUpPowerProfileName", L"Balanced"}},
         L"EnergySaverForceActivePowerProfile",
         L"true"},
        {"idle switching on by default with a plan and an idle time",
         {{L"", L"PowerSaver_TargetGUID", L"Power Saver"}, {L"", L"PowerSaver_IdleTime", L"600"}},
         L"EnergySaverEnabled",
         L"true"},
        {"idle switching off without an idle time",
         {{L"", L"PowerSaver_TargetGUID", L"Power Saver"}, {L"", L"PowerSaver_IdleTime", L"0"}},
         L"EnergySaverEnabled",
         L"false"},
        {"idle switching off without a plan",
         {{L"", L"PowerSaver_IdleTime", L"600"}},
         L"EnergySaverEnabled",
         L"false"},
        {"idle switching off when the plan does not resolve",
         {{L"", L"PowerSaver_TargetGUID", L"Nope"}, {L"", L"PowerSaver_IdleTime", L"600"}},
         L"EnergySaverEnabled",
         L"false"},
        {"idle switching as written wins",
         {{L"", L"PowerSaver_TargetGUID", L"Power Saver"},
          {L"", L"PowerSaver_IdleTime", L"600"},
          {L"", L"EnergySaverEnabled", L"false"}},
         L"EnergySaverEnabled",
         L"false"},
        {"target plan written with its current name",
         {{L"", L"PowerSaver_TargetGUID", L"POWER SAVER"}},
         L"PowerSaver_TargetGUID",
         L"Power saver"},
        {"unresolved target plan keeps its name for the next load",
         {{L"", L"PowerSaver_TargetGUID", L"Nope"}},
         L"PowerSaver_TargetGUID",
         L"Nope"},
        {"older foreground key on a client",
         {{L"", L"ExcludeForegroundProcesses", L"true"}},
         L"ExcludeForegroundProcesses2",
         L"true"},
        {"successor wins over the older foreground key",
         {{L"", L"ExcludeForegroundProcesses", L"true"},
          {L"", L"ExcludeForegroundProcesses2", L"false"}},
         L"ExcludeForegroundProcesses2",
         L"false"},
        {"older keys are never written",
         {{L"", L"ExcludeForegroundProcesses", L"true"}},
         L"ExcludeForegroundProcesses",
         L"<absent>"},
        {"older random-core key",
         {{L"", L"RoundRobinAffinitySelection", L"true"}},
         L"LevelonDropOneRandomCore",
         L"true"},
        {"older restraint log key",
         {{L"", L"LogOutOfControlProcessesRestrained", L"false"}},
         L"LogLevelonBegin",
         L"false"},
        {"older restore log key",
         {{L"", L"LogOutOfControlProcessesRestored2", L"false"}},
         L"LogLevelonEnd",
         L"false"},
        {"successor wins over the older log key",
         {{L"", L"LogOutOfControlProcessesRestored2", L"false"}, {L"", L"LogLevelonEnd", L"true"}},
         L"LogLevelonEnd",
         L"true"},
        {"first of two equal keys",
         {{L"A", L"OocOn", L"false"}, {L"B", L"OocOn", L"true"}},
         L"OocOn",
         L"false"},
        {"key with a trailing blank is another key",
         {{L"", L"OocOn ", L"false"}},
         L"OocOn",
         L"true"},
    };
    for (const auto& c : cases) {
        ConfigSettings settings(Environment());
        settings.ReadSettings(DocumentOf(c.file));
        EXPECT_EQ(ValueOf(Written(settings), c.key), c.writtenBack) << c.what;
    }
}

TEST_F(ConfigSettingsTest, BooleansAndNumbers) {
    const struct {
        const wchar_t* key;
        const wchar_t* value;
        const wchar_t* writtenBack;
    } cases[] = {
        {L"OocOn", L"TRUE", L"true"},
        {L"OocOn", L" true ", L"true"},
        {L"OocOn", L"1", L"false"},
        {L"OocOn", L"yes", L"false"},
        {L"OocOn", L"", L"false"},
        {L"LogDisable", L"True", L"true"},
        {L"BalloonTipDuration", L"1000ms", L"1000"},
        {L"BalloonTipDuration", L"-7", L"-7"},
        {L"BalloonTipDuration", L"", L"0"},
        {L"BalloonTipDuration", L"99999999999", L"2147483647"},
        {L"BalloonTipDuration", L"-99999999999", L"-2147483648"},
        {L"TotalProcessorUsageBeforeRestraint", L"x", L"0"},
        // Unsigned keys convert as every other number of the file does, so they clamp at the
        // signed bound and a negative value keeps its text.
        {L"MaximumTimeOfRestraint", L"-1", L"-1"},
        {L"MaximumTimeOfRestraint", L"-99999999999", L"-2147483648"},
        {L"MaximumTimeOfRestraint", L"4294967295", L"2147483647"},
        {L"MaximumTimeOfRestraint", L"3000000000", L"2147483647"},
        {L"MaximumTimeOfRestraint", L"99999999999", L"2147483647"},
        {L"GracefulWaitTimeInMs", L" 12 seconds", L"12"},
        {L"SetTimerResolutionAtStartup", L"99999999999", L"4294967295"},
        {L"ForegroundBoostPriorityClass", L"0x1FFFFFFFF", L"0xffffffff"},
    };
    for (const auto& c : cases) {
        ConfigSettings settings(Environment());
        settings.ReadSettings(DocumentOf({{L"", c.key, c.value}}));
        const std::vector<Line> written = Written(settings);
        EXPECT_EQ(ValueOf(written, c.key), c.writtenBack)
            << ToUtf8(c.key) << "=" << ToUtf8(c.value);
        // What was written reads back as the same value.
        ConfigSettings again(Environment());
        again.ReadSettings(DocumentOf(written));
        EXPECT_EQ(ValueOf(Written(again), c.key), c.writtenBack) << ToUtf8(c.key);
    }
}

TEST_F(ConfigSettingsTest, ProcessorDependentLevelonDefaults) {
    const struct {
        const char* what;
        ProcessorFacts processors;
        LevelonDefaults expected;
    } cases[] = {
        {"1 processor", {1, false, 0}, {75, 64, 15, 900, 7200, 240000, true}},
        {"2 processors", {2, false, 0}, {45, 32, 7, 900, 7200, 240000, true}},
        {"8 processors", {8, false, 0}, {11, 8, 4, 900, 7200, 240000, true}},
        {"32 processors", {32, false, 0}, {7, 2, 1, 900, 7200, 240000, true}},
        {"40 processors", {40, false, 0}, {7, 2, 1, 900, 7200, 240000, true}},
        {"unknown count", {0, false, 0}, {70, 20, 5, 2000, 7200, 240000, true}},
        {"16 hybrid, 8 efficient", {16, true, 8}, {70, 16, 4, 2700, 3600, 240000, false}},
        {"hybrid, all efficient", {8, true, 8}, {70, 16, 4, 2700, 3600, 240000, false}},
        {"hybrid, 40 of which 4 efficient", {40, true, 4}, {70, 4, 1, 2700, 3600, 240000, false}},
        {"hybrid, unknown count", {0, true, 0}, {70, 40, 5, 6000, 3600, 240000, false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComputeLevelonDefaults(c.processors), c.expected) << c.what;
        // The same values as a new file's defaults and as a missing key's.
        ConfigSettings settings(Environment(c.processors));
        const auto& ooc = settings.OutOfControlProcessRestraint;
        const LevelonDefaults reset{ooc.TotalProcessorUsageBeforeRestraint,
                                    ooc.PerProcessUsageBeforeRestraint,
                                    ooc.PerProcessUsageForRestore,
                                    ooc.TimeOverQuotaBeforeRestraint,
                                    ooc.MinimumTimeOfRestraint,
                                    ooc.MaximumTimeOfRestraint,
                                    ooc.OocOn};
        EXPECT_EQ(reset, c.expected) << c.what;
        ConfigSettings loaded(Environment(c.processors));
        loaded.OutOfControlProcessRestraint.TotalProcessorUsageBeforeRestraint = -1;
        loaded.OutOfControlProcessRestraint.OocOn = !c.expected.OocOn;
        loaded.ReadSettings(ConfigDocument{});
        EXPECT_TRUE(static_cast<const ConfigSections&>(loaded).OutOfControlProcessRestraint ==
                    settings.OutOfControlProcessRestraint)
            << c.what;
    }
}

TEST_F(ConfigSettingsTest, HybridThresholdUpgrade) {
    const std::vector<Line> low = {{L"", L"TotalProcessorUsageBeforeRestraint", L"50"},
                                   {L"", L"PerProcessUsageBeforeRestraint", L"10"},
                                   {L"", L"PerProcessUsageForRestore", L"2"},
                                   {L"", L"TimeOverQuotaBeforeRestraint", L"900"},
                                   {L"", L"MinimumTimeOfRestraint", L"7200"}};
    const std::vector<Line> high = {{L"", L"TotalProcessorUsageBeforeRestraint", L"90"},
                                    {L"", L"PerProcessUsageBeforeRestraint", L"30"},
                                    {L"", L"PerProcessUsageForRestore", L"9"},
                                    {L"", L"TimeOverQuotaBeforeRestraint", L"5000"},
                                    {L"", L"MinimumTimeOfRestraint", L"1000"}};
    const ProcessorFacts hybrid{16, true, 8};
    const struct {
        const char* what;
        ProcessorFacts processors;
        std::optional<std::uint32_t> stamp;
        std::vector<Line> file;
        bool applied;
        std::vector<std::wstring> values;  // total, per process, restore, quota, minimum
    } cases[] = {
        {"raised on a hybrid machine",
         hybrid,
         std::nullopt,
         low,
         true,
         {L"70", L"16", L"4", L"2700", L"3600"}},
        {"raised when the stamp is older",
         hybrid,
         20240314,
         low,
         true,
         {L"70", L"16", L"4", L"2700", L"3600"}},
        {"once only", hybrid, 20240315, low, false, {L"50", L"10", L"2", L"900", L"7200"}},
        {"never on other machines",
         kEightProcessors,
         std::nullopt,
         low,
         false,
         {L"50", L"10", L"2", L"900", L"7200"}},
        {"values beyond the bounds stay",
         hybrid,
         std::nullopt,
         high,
         true,
         {L"90", L"30", L"9", L"5000", L"1000"}},
    };
    for (const auto& c : cases) {
        FreshMachine();
        if (c.stamp) {
            machine().SetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"LevelonDefaultsApplied",
                               *c.stamp);
        }
        ConfigSettings settings(Environment(c.processors));
        settings.ReadSettings(DocumentOf(c.file));
        EXPECT_EQ(ApplyHybridThresholdUpgrade(settings), c.applied) << c.what;
        const std::vector<Line> written = Written(settings);
        const std::vector<std::wstring> values = {
            ValueOf(written, L"TotalProcessorUsageBeforeRestraint"),
            ValueOf(written, L"PerProcessUsageBeforeRestraint"),
            ValueOf(written, L"PerProcessUsageForRestore"),
            ValueOf(written, L"TimeOverQuotaBeforeRestraint"),
            ValueOf(written, L"MinimumTimeOfRestraint")};
        EXPECT_EQ(values, c.values) << c.what;
        const auto stamp =
            machine().GetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"LevelonDefaultsApplied");
        if (c.processors.hybrid) {
            EXPECT_EQ(stamp, std::max<std::uint32_t>(c.stamp.value_or(0), 20240315)) << c.what;
        } else {
            EXPECT_FALSE(stamp) << c.what;
        }
    }
}

TEST_F(ConfigSettingsTest, SoundDefaults) {
    const std::wstring program = L"C:\\Program Files\\Corvane";
    const std::wstring media = L"C:\\Windows\\media";
    const struct {
        const char* what;
        std::set<std::wstring> files;
        std::wstring current;
        std::wstring restraint;
        std::wstring restore;
    } cases[] = {
        {"no sound files", {}, L"", L"", L""},
        {"next to the program first",
         {program + L"\\lower.wav", media + L"\\lower.wav", program + L"\\raise.wav"},
         L"",
         program + L"\\lower.wav",
         program + L"\\raise.wav"},
        {"then the Windows media folder",
         {media + L"\\lower.wav", media + L"\\Windows Feed Discovered.wav"},
         L"",
         media + L"\\lower.wav",
         media + L"\\Windows Feed Discovered.wav"},
        {"second candidate",
         {program + L"\\Windows Pop-up Blocked.wav"},
         L"",
         program + L"\\Windows Pop-up Blocked.wav",
         L""},
        {"an existing chosen file stays",
         {L"D:\\beep.wav", program + L"\\lower.wav"},
         L"D:\\beep.wav",
         L"D:\\beep.wav",
         L""},
        {"a missing chosen file is replaced",
         {program + L"\\lower.wav"},
         L"D:\\gone.wav",
         program + L"\\lower.wav",
         L""},
    };
    for (const auto& c : cases) {
        SettingsEnvironment environment = Environment();
        environment.executablePath = program + L"\\vigilor.exe";
        environment.windowsFolder = L"C:\\Windows";
        environment.fileExists = [files = c.files](const std::wstring& path) {
            return files.count(path) != 0;
        };
        ConfigSettings settings(std::move(environment));
        settings.OutOfControlProcessRestraint.PlayOnRestraint = c.current;
        settings.ResetToDefaults();
        EXPECT_EQ(settings.OutOfControlProcessRestraint.PlayOnRestraint, c.restraint) << c.what;
        EXPECT_EQ(settings.OutOfControlProcessRestraint.PlayOnRestore, c.restore) << c.what;

        // A file without the keys keeps them; a file with them sets them.
        settings.ReadSettings(ConfigDocument{});
        EXPECT_EQ(settings.OutOfControlProcessRestraint.PlayOnRestraint, c.restraint) << c.what;
        settings.ReadSettings(
            DocumentOf({{L"", L"PlayOnRestraint", L""}, {L"", L"PlayOnRestore", L" E:\\up.wav "}}));
        EXPECT_EQ(settings.OutOfControlProcessRestraint.PlayOnRestraint, L"") << c.what;
        EXPECT_EQ(settings.OutOfControlProcessRestraint.PlayOnRestore, L"E:\\up.wav") << c.what;
    }
}

TEST_F(ConfigSettingsTest, RegistryHandOvers) {
    const struct {
        const char* what;
        std::vector<Line> file;
        std::optional<std::uint32_t> showIcons;
        bool hidden;
    } icons[] = {
        {"shown by default", {}, std::nullopt, false},
        {"hidden by the older key",
         {{L"GUI", L"HideViewProcessIcons2", L"true"}},
         std::nullopt,
         true},
        {"the registry value decides", {{L"GUI", L"HideViewProcessIcons2", L"true"}}, 1, false},
        {"hidden by the registry value", {}, 0, true},
        {"any other registry value shows them", {}, 7, false},
    };
    for (const auto& c : icons) {
        FreshMachine();
        if (c.showIcons) {
            machine().SetDword(RegistryRoot::CurrentUser, kCorvaneKey, L"ShowProcessIcons",
                               *c.showIcons);
        }
        ConfigSettings settings(Environment());
        settings.ReadSettings(DocumentOf(c.file));
        EXPECT_EQ(settings.GUI.HideViewProcessIcons2, c.hidden) << c.what;
        const std::vector<Line> written = Written(settings);
        EXPECT_EQ(ValueOf(written, L"HideViewProcessIcons2"), L"<absent>");
        EXPECT_EQ(machine().GetDword(RegistryRoot::CurrentUser, kCorvaneKey, L"ShowProcessIcons"),
                  c.hidden ? 0u : 1u)
            << c.what;
    }

    FreshMachine();
    ConfigSettings settings(Environment());
    settings.ReadSettings(DocumentOf({{L"Advanced", L"AutomaticUpdate", L"false"}}));
    EXPECT_FALSE(machine().HasValue(RegistryRoot::LocalMachine, kCorvaneKey, L"UpdatePromptless"));
    settings.ReadSettings(DocumentOf({{L"Advanced", L"AutomaticUpdate", L"TRUE"}}));
    EXPECT_EQ(machine().GetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"UpdatePromptless"), 1u);
    EXPECT_FALSE(settings.Advanced.AutomaticUpdate);
}

TEST_F(ConfigSettingsTest, ServerEditionsIgnoreTheOlderForegroundKey) {
    SettingsEnvironment environment = Environment();
    environment.serverEdition = true;
    ConfigSettings settings(std::move(environment));
    settings.ReadSettings(DocumentOf({{L"", L"ExcludeForegroundProcesses", L"true"}}));
    EXPECT_FALSE(settings.OutOfControlProcessRestraint.ExcludeForegroundProcesses2);
    settings.ReadSettings(DocumentOf({{L"", L"ExcludeForegroundProcesses", L"true"},
                                      {L"", L"ExcludeForegroundProcesses2", L"true"}}));
    EXPECT_TRUE(settings.OutOfControlProcessRestraint.ExcludeForegroundProcesses2);
}

TEST_F(ConfigSettingsTest, OlderListKeysMergeIntoTheirSuccessors) {
    ConfigSettings settings(Environment());
    settings.ReadSettings(DocumentOf({
        {L"ProcessDefaults", L"DefaultAffinitiesEx", L"new.exe,10,2"},
        {L"ProcessDefaults", L"DefaultAffinities", L"old.exe,0-1"},
        {L"ProcessDefaults", L"DisableThreadPriorityBoost", L"New.exe,Both.exe"},
        {L"ProcessDefaults", L"DisableThreadPriorityBoostBoost", L"Old.exe,both.exe"},
        {L"ProcessDefaults", L"DefaultPowerSchemes", L"a.exe;Balanced"},
        {L"ProcessDefaults", L"DefaultPowerSchemesEx", L"A.EXE;Power saver,d.exe;power saver"},
        {L"PowerManagement", L"PC", L"new.exe"},
        {L"PowerManagement", L"AllowDisplaysPreventPC", L"old.exe,NEW.exe"},
    }));
    const auto& defaults = settings.ProcessDefaults;
    ASSERT_EQ(defaults.DefaultAffinitiesEx.size(), 2u);
    EXPECT_EQ(defaults.DefaultAffinitiesEx[0].pattern.text, L"old.exe");
    EXPECT_EQ(defaults.DefaultAffinitiesEx[1].delayMs, 10u);
    // The older key comes first, read as the save will write it: lower case, no duplicates.
    EXPECT_EQ(defaults.DisableThreadPriorityBoost,
              (NameList{{L"old.exe"}, {L"both.exe"}, {L"new.exe"}}));
    ASSERT_EQ(defaults.DefaultPowerSchemes.size(), 2u);
    EXPECT_EQ(defaults.DefaultPowerSchemes[0].plan, TestPlans().Find(L"balanced"));
    EXPECT_EQ(defaults.DefaultPowerSchemes[1].pattern.text, L"d.exe");
    EXPECT_EQ(settings.PowerManagement.PC, (NameList{{L"new.exe"}, {L"old.exe"}}));

    const std::vector<Line> written = Written(settings);
    EXPECT_EQ(ValueOf(written, L"DefaultAffinitiesEx"), L"old.exe,0,0-1,new.exe,10,2");
    EXPECT_EQ(ValueOf(written, L"DisableThreadPriorityBoost"), L"old.exe,both.exe,new.exe");
    EXPECT_EQ(ValueOf(written, L"DefaultPowerSchemes"), L"a.exe;balanced,d.exe;power saver");
    EXPECT_EQ(ValueOf(written, L"PC"), L"new.exe,old.exe");
    for (const wchar_t* older : {L"DefaultAffinities", L"DisableThreadPriorityBoostBoost",
                                 L"DefaultPowerSchemesEx", L"AllowDisplaysPreventPC"}) {
        EXPECT_EQ(ValueOf(written, older), L"<absent>") << ToUtf8(older);
    }
}

TEST_F(ConfigSettingsTest, ListNormalisationsOfASaveHappenWhenReading) {
    ConfigSettings settings(Environment());
    settings.ReadSettings(DocumentOf({
        {L"", L"PowerSaver_Exclusions", L"a.exe,A.exe"},
        {L"", L"DisallowedProcesses", L"a.exe,A.exe, ,b.exe"},
        {L"", L"InstanceLimitedProcesses", L"a.exe;2"},
        {L"", L"OneTimeProcessThrottles", L"a.exe;10;3"},
    }));
    // Duplicates and blank entries, which a save would drop, are gone once read, so that the
    // settings a save writes read back as these very settings.
    EXPECT_EQ(settings.PowerSaver.PowerSaver_Exclusions, (NameList{{L"a.exe"}}));
    EXPECT_EQ(settings.ProcessAllowances.DisallowedProcesses, (NameList{{L"a.exe"}, {L"b.exe"}}));
    EXPECT_TRUE(settings.instanceLimitsPresent);
    EXPECT_TRUE(settings.throttlesPresent);
    const std::vector<Line> written = Written(settings);
    EXPECT_EQ(ValueOf(written, L"PowerSaver_Exclusions"), L"a.exe");
    EXPECT_EQ(ValueOf(written, L"DisallowedProcesses"), L"a.exe,b.exe");
    ConfigSettings again(Environment());
    again.ReadSettings(DocumentOf(written));
    EXPECT_TRUE(static_cast<const ConfigSections&>(again) ==
                static_cast<const ConfigSections&>(settings));

    settings.ReadSettings(ConfigDocument{});
    EXPECT_FALSE(settings.instanceLimitsPresent);
    EXPECT_FALSE(settings.throttlesPresent);
}

TEST_F(ConfigSettingsTest, ListErrorsAreShownOnceAndNeverByTheEngine) {
    const std::vector<Line> broken = {{L"", L"KeepRunningProcesses", L"one,two,c:\\a.exe;x"},
                                      {L"", L"DefaultPowerSchemes", L"game.exe"}};
    ConfigSettings settings(Environment());
    settings.ReadSettings(DocumentOf(broken));
    EXPECT_TRUE(machine().messageBoxes.empty());
    EXPECT_EQ(settings.ProcessDefaults.KeepRunningProcesses.size(), 1u);

    machine().ownImagePath = L"C:\\Program Files\\Corvane\\Trellion.exe";
    settings.ReadSettings(DocumentOf(broken));
    ASSERT_EQ(machine().messageBoxes.size(), 2u);
    EXPECT_EQ(machine().messageBoxes[0].text,
              L"Syntax error in INI file for processes to keep running!");
    EXPECT_EQ(machine().messageBoxes[1].text,
              L"Syntax error in INI file for application power profiles!");
    EXPECT_EQ(machine().messageBoxes[1].caption, L"Corvane");
}

TEST_F(ConfigSettingsTest, ResetAfterReadingGivesTheDefaultsAgain) {
    ConfigSettings fresh(Environment());
    ConfigSettings settings(Environment());
    settings.ReadSettings(DocumentOf({
        {L"", L"OocOn", L"false"},
        {L"", L"RestraintAffinity", L"1-2"},
        {L"", L"ForegroundBoostPriorityClass", L"0x80"},
        {L"", L"SetTimerResolutionAtStartup", L"5000"},
        {L"", L"PowerSaver_TargetGUID", L"Balanced"},
        {L"", L"ConfigPasswordMD5", L"abc"},
        {L"", L"HideViewProcessIcons2", L"true"},
        {L"", L"OocExclusions", L"a.exe"},
        {L"", L"ForegroundBoostExclusions", L"a.exe"},
        {L"", L"WatchdogRules2", L"a.exe;0;0;1;1;1;0;1;-;-;-;-"},
        {L"", L"DefaultPowerSchemes", L"a.exe;Balanced"},
    }));
    ASSERT_FALSE(static_cast<const ConfigSections&>(settings) ==
                 static_cast<const ConfigSections&>(fresh));
    settings.ResetToDefaults();
    EXPECT_TRUE(static_cast<const ConfigSections&>(settings) ==
                static_cast<const ConfigSections&>(fresh));
    EXPECT_EQ(Written(settings), kDefaultFile);
}

// Hand-made files; each reads, writes, reads and writes again to the same result. The
// normalisations a first save makes on purpose (dropping duplicates the reader keeps, blank
// entries, case of older keys, more than two decimals) are tested on their own above.
const std::vector<std::vector<Line>> kCorpus = {
    {},
    {
        {L"Administration", L"Version", L"1"},
        {L"Administration", L"ConfigPasswordMD5", L"5f4dcc3b5aa765d61d8327deb882cf99"},
        {L"OutOfControlProcessRestraint", L"OocOn", L"False"},
        {L"OutOfControlProcessRestraint", L"TotalProcessorUsageBeforeRestraint", L"-5"},
        {L"OutOfControlProcessRestraint", L"MaximumTimeOfRestraint", L"-1"},
        {L"OutOfControlProcessRestraint", L"PlayOnRestraint", L"c:\\sounds\\a,b.wav"},
        {L"OutOfControlProcessRestraint", L"RestraintAffinity", L"0-3;5"},
        {L"OutOfControlProcessRestraint", L"OocExclusions", L"B.exe, my\\, app.exe ,a.exe"},
        {L"OutOfControlProcessRestraint", L"OocHardCodedExclusionOverrides", L"X.exe,y.exe,x.exe"},
        {L"Advanced", L"AutomaticUpdate", L"true"},
        {L"Performance", L"UpdateSpeedGUI", L"300"},
        {L"Performance", L"SetTimerResolutionAtStartup", L"10000"},
        {L"Sampling", L"SamplingIncludePattern", L"chrome*"},
        {L"ForegroundBoosting", L"ForegroundBoostPriorityClass", L"32768"},
        {L"ForegroundBoosting", L"ForegroundBoostExclusions", L"Game.exe , other.exe"},
        {L"MemoryManagement", L"CullmarkExclusions", L"a.exe,A.EXE,c:\\tools\\*"},
        {L"ProcessAllowances", L"AllowedProcesses", L"My\\, App.exe,b.exe, unterminated\\"},
        {L"ProcessAllowances", L"DisallowedProcesses", L"a.exe,,b.exe,, c\\,d.exe"},
        {L"ProcessAllowances", L"InstanceLimitedProcesses", L";3,a.exe;2,b.exe"},
        {L"ProcessAllowances", L"InstanceManagedCPUAffinities",
         L"App.exe;1;2;50.5;0;Y,app.exe;0;4;25;2;n,x\\,y.exe;1;1;10;0;y"},
        {L"ProcessAllowances", L"ProcessThrottles", L"a.exe;0,b.exe;5"},
        {L"ProcessAllowances", L"OneTimeProcessThrottles", L"a.exe;10,b.exe;1234;3"},
        {L"ProcessAllowances", L"CPULimitRules", L"a.exe;25;0x10;010;7,b\\,c.exe;12.5;100;1;0"},
        {L"ProcessDefaults", L"NamedAffinities",
         L"First Half, 0-3, Second\\, Half,1/4-7, Nothing,70"},
        {L"ProcessDefaults", L"DefaultPriorities", L"a.exe,below normal,B.exe,-Idle,c.exe,Fast"},
        {L"ProcessDefaults", L"DefaultIOPriorities", L"a.exe,0,b.exe,3"},
        {L"ProcessDefaults", L"DefaultMemoryPriorities", L"a.exe,0,b.exe,5"},
        {L"ProcessDefaults", L"DisableThreadPriorityBoost", L"A.exe,b.exe"},
        {L"ProcessDefaults", L"DefaultAffinitiesEx",
         L"game.exe,5000,1/0-3,tool.exe,0,all,none.exe,1,99"},
        {L"ProcessDefaults", L"CPUSets", L"a.exe,(0/0-1)(1/4),semi\\;colon.exe,(2),no.exe,()"},
        {L"ProcessDefaults", L"KeepRunningProcesses",
         L"c:\\app\\app.exe;-minimized;3,c:\\other\\o.exe;c:\\other\\o.exe /a\\,b\\;c"},
        {L"ProcessAllowances", L"EfficiencyMode", L"Game.exe,1,semi\\;x.exe,0"},
        {L"AdvancedRules", L"ProcessorGroupExtended", L"Big.exe, small.exe"},
        {L"AdvancedRules", L"ProhibitInternetExplorerExceptWhenAny", L"Corp.exe"},
        {L"AdvancedRules", L"WatchdogRules2",
         L"a.exe;0;0;90.5;5000;0;0;1;-;-;-;-,"
         L"b\\,c.exe;8;1;512;1000;0;0;1;c:\\tools\\run.exe;/x\\,y;-;-,"
         L"short.exe;1;2;3"},
        {L"GamingMode", L"AutomaticGamingModeProcessPaths", L"c:\\games\\*, steam\\,x.exe"},
        {L"PowerManagement", L"StartWithPowerPlan", L"Balanced"},
        {L"PowerManagement", L"Display", L"video.exe"},
        {L"PowerManagement", L"PC", L"backup.exe"},
        {L"ProcessDefaults", L"DefaultPowerSchemes",
         L"a.exe;Balanced,b.exe;Power saver,c.exe;Unknown plan"},
        {L"PowerSaver", L"PowerSaver_IdleTime", L"600"},
        {L"PowerSaver", L"PowerSaver_TargetGUID", L"Power saver"},
        {L"PowerSaver", L"PowerSaver_Exclusions", L"Idle.exe"},
    },
    {
        // Older keys, odd spacing, repeated keys and sections.
        {L"", L"OocOn", L"  TRUE  "},
        {L"Performance", L"OocOn", L"false"},
        {L"Performance", L"UpdateSpeedCore ", L"5"},
        {L"OutOfControlProcessRestraint", L"ExcludeForegroundProcesses", L"true"},
        {L"OutOfControlProcessRestraint", L"RoundRobinAffinitySelection", L"true"},
        {L"OutOfControlProcessRestraint", L"RestraintAffinity", L"automatic"},
        {L"Logging", L"LogOutOfControlProcessesRestrained", L"false"},
        {L"GUI", L"HideViewProcessIcons2", L"true"},
        {L"ProcessDefaults", L"DefaultAffinities", L" old.exe , 0-1 "},
        {L"ProcessDefaults", L"DefaultAffinitiesEx", L"new.exe,10,2"},
        {L"ProcessDefaults", L"DisableThreadPriorityBoostBoost", L"old.exe"},
        {L"ProcessDefaults", L"DisableThreadPriorityBoost", L"new.exe"},
        {L"ProcessDefaults", L"DefaultPowerSchemesEx", L"a.exe;Power saver,d.exe;Balanced"},
        {L"ProcessDefaults", L"DefaultPowerSchemes", L"a.exe;Balanced"},
        {L"PowerManagement", L"AllowDisplaysPreventPC", L"old.exe"},
        {L"PowerManagement", L"PC", L"new.exe"},
        {L"PowerSaver", L"EnergySaverUpPowerProfileName", L"  Balanced"},
        {L"PowerSaver", L"EnergySaverForceActivePowerProfile", L"true"},
    },
    {
        // Broken values of every kind.
        {L"", L"UpdateSpeedCore", L"fast"},
        {L"", L"BalloonTipDuration", L"99999999999999999999"},
        {L"", L"GracefulWaitTimeInMs", L"99999999999999999999"},
        {L"", L"ForegroundBoostPriorityClass", L"0x"},
        {L"", L"RestraintAffinity", L"x;;-;64-70"},
        {L"", L"KeepRunningProcesses", L"noseparator,\\;\\,;"},
        {L"", L"DefaultPowerSchemes", L"noseparator"},
        {L"", L"WatchdogRules2", L"a;b;c;d;e;f;g;h;i;j;k;l;m;n"},
        {L"", L"CPUSets", L"a.exe,((((,b.exe"},
        {L"", L"NamedAffinities", L"\\,\\,\\,"},
        {L"", L"AllowedProcesses", L"\\"},
        {L"", L"CPULimitRules", L"a;b;c;d;e"},
        {L"", L"InstanceManagedCPUAffinities", L"a;99999999999;-99999999999;1e99;x;y"},
    },
};

TEST_F(ConfigSettingsTest, RoundTripOfHandMadeFiles) {
    for (std::size_t i = 0; i < kCorpus.size(); ++i) {
        FreshMachine();
        ConfigSettings first(Environment());
        first.ReadSettings(DocumentOf(kCorpus[i]));
        ConfigDocument firstWritten;
        first.WriteSettings(firstWritten);

        ConfigSettings second(Environment());
        second.ReadSettings(firstWritten);
        ConfigDocument secondWritten;
        second.WriteSettings(secondWritten);

        EXPECT_EQ(LinesOf(secondWritten), LinesOf(firstWritten)) << "file " << i;
        EXPECT_TRUE(static_cast<const ConfigSections&>(second) ==
                    static_cast<const ConfigSections&>(first))
            << "file " << i;
        std::vector<std::wstring> keys;
        for (const auto& line : LinesOf(firstWritten)) {
            keys.push_back(line.key);
        }
        std::vector<std::wstring> defaultKeys;
        for (const auto& line : kDefaultFile) {
            defaultKeys.push_back(line.key);
        }
        // The conditional keys appear where their files give them something to say.
        if (i == 1 || i == 2) {
            defaultKeys.insert(std::find(defaultKeys.begin(), defaultKeys.end(), L"PC") + 1,
                               L"DefaultPowerSchemes");
        }
        if (i == 1) {
            defaultKeys.insert(
                std::find(defaultKeys.begin(), defaultKeys.end(), L"PowerSaver_Exclusions"),
                L"PowerSaver_TargetGUID");
        }
        EXPECT_EQ(keys, defaultKeys) << "file " << i;
    }
}

TEST_F(ConfigSettingsTest, RoundTripKeepsWhatTheCorpusSays) {
    ConfigSettings settings(Environment());
    settings.ReadSettings(DocumentOf(kCorpus[1]));
    const std::vector<Line> written = Written(settings);
    const std::map<std::wstring, std::wstring> expected = {
        {L"OocOn", L"false"},
        {L"TotalProcessorUsageBeforeRestraint", L"-5"},
        {L"MaximumTimeOfRestraint", L"-1"},
        {L"PlayOnRestraint", L"c:\\sounds\\a,b.wav"},
        {L"RestraintAffinity", L"0-3;5"},
        {L"OocExclusions", L"a.exe,b.exe,my\\, app.exe"},
        {L"OocHardCodedExclusionOverrides", L"x.exe,y.exe"},
        {L"AutomaticUpdate", L"false"},
        {L"UpdateSpeedGUI", L"1000"},
        {L"SamplingIncludePattern", L"chrome*"},
        {L"ForegroundBoostPriorityClass", L"0x8000"},
        {L"ForegroundBoostExclusions", L"game.exe,other.exe"},
        {L"CullmarkExclusions", L"a.exe,c:\\tools\\*"},
        {L"AllowedProcesses", L"my\\, app.exe,b.exe,unterminated\\ "},
        {L"DisallowedProcesses", L"a.exe,b.exe,c\\,d.exe"},
        {L"InstanceLimitedProcesses", L"a.exe;2"},
        {L"InstanceManagedCPUAffinities", L"app.exe;0;4;25.00;2;n,x\\,y.exe;1;1;10.00;0;y"},
        {L"ProcessThrottles", L"b.exe;5"},
        {L"OneTimeProcessThrottles", L"b.exe;1234;3"},
        {L"CPULimitRules", L"a.exe;25.00;16;8;7,b\\,c.exe;12.50;100;1;0"},
        {L"NamedAffinities", L"First Half,0-3,Nothing,-1/,Second\\, Half,1/4-7"},
        {L"DefaultPriorities", L"a.exe,below normal,b.exe,idle"},
        {L"DefaultIOPriorities", L"a.exe,0,b.exe,3"},
        {L"DefaultMemoryPriorities", L"a.exe,1,b.exe,5"},
        {L"DisableThreadPriorityBoost", L"a.exe,b.exe"},
        {L"DefaultAffinitiesEx", L"game.exe,5000,1/0-3,tool.exe,0,0-63,none.exe,1,-1/"},
        {L"CPUSets", L"a.exe,(0/0-1)(1/4),semi\\;colon.exe,(2),no.exe,()"},
        {L"KeepRunningProcesses",
         L"c:\\app\\app.exe;-minimized;3,c:\\other\\o.exe;c:\\other\\o.exe /a\\,b\\;c;0"},
        {L"EfficiencyMode", L"Game.exe,1,semi\\;x.exe,0"},
        {L"ProcessorGroupExtended", L"Big.exe,small.exe"},
        {L"ProhibitInternetExplorerExceptWhenAny", L"Corp.exe"},
        {L"WatchdogRules2",
         L"a.exe;0;0;90.50;5000;0;0;1;-;-;-;-,b\\,c.exe;8;1;512.00;1000;0;0;1;"
         L"c:\\tools\\run.exe;/x\\,y;-;-"},
        {L"AutomaticGamingModeProcessPaths", L"c:\\games\\*,steam\\,x.exe"},
        // A plan this machine lacks stays in the file for the machine that has it.
        {L"DefaultPowerSchemes", L"a.exe;balanced,b.exe;power saver,c.exe;unknown plan"},
        {L"PowerSaver_IdleTime", L"600"},
        {L"EnergySaverEnabled", L"true"},
        {L"PowerSaver_TargetGUID", L"Power saver"},
        {L"PowerSaver_Exclusions", L"idle.exe"},
    };
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(ValueOf(written, key), value) << ToUtf8(key);
    }
    EXPECT_EQ(machine().GetDword(RegistryRoot::LocalMachine, kCorvaneKey, L"UpdatePromptless"), 1u);

    ConfigSettings older(Environment());
    older.ReadSettings(DocumentOf(kCorpus[2]));
    const std::vector<Line> olderWritten = Written(older);
    const std::map<std::wstring, std::wstring> olderExpected = {
        {L"OocOn", L"true"},
        {L"UpdateSpeedCore", L"1000"},
        {L"ExcludeForegroundProcesses2", L"true"},
        {L"LevelonDropOneRandomCore", L"true"},
        {L"RestraintAffinity", L"Automatic"},
        {L"LogLevelonBegin", L"false"},
        {L"DefaultAffinitiesEx", L"old.exe,0,0-1,new.exe,10,2"},
        {L"DisableThreadPriorityBoost", L"old.exe,new.exe"},
        {L"DefaultPowerSchemes", L"a.exe;balanced,d.exe;balanced"},
        {L"PC", L"new.exe,old.exe"},
        {L"EnergySaverForceActivePowerProfile", L"true"},
        {L"EnergySaverUpPowerProfileName", L"Balanced"},
    };
    for (const auto& [key, value] : olderExpected) {
        EXPECT_EQ(ValueOf(olderWritten, key), value) << ToUtf8(key);
    }
}

}  // namespace
}  // namespace cv
