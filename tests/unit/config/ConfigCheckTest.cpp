// The configuration check: every entry the loader drops, clamps or rewrites is reported once,
// with its section, key and line; a file the engine wrote itself reports nothing.
#include <algorithm>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "common/WideString.h"
#include "config/ConfigCheck.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/sim/SimFiles.h"

namespace cv {
namespace {

SettingsEnvironment Environment() {
    SettingsEnvironment environment;
    environment.processors = {8, false, 0};
    environment.powerPlans.findPlan = [](const std::wstring& name) -> std::optional<PlanGuid> {
        return EqualsIgnoreCase(name, L"Balanced") ? std::optional(PlanGuid{1, 2, 3, {}})
                                                   : std::nullopt;
    };
    environment.powerPlans.planName = [](const PlanGuid&) -> std::optional<std::wstring> {
        return L"Balanced";
    };
    environment.powerPlans.available = [] { return true; };
    return environment;
}

// A hand-written file: one line each, "\n" line ends, so line n is lines[n - 1].
std::string FileOf(const std::vector<std::wstring>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += ToUtf8(line) + "\n";
    }
    return text;
}

class ConfigCheckTest : public test::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        machine().InstallEnglishModule();
    }
};

TEST_F(ConfigCheckTest, FilesTheEngineWritesReportNothing) {
    ConfigSettings defaults(Environment());
    ConfigDocument document;
    defaults.WriteSettings(document);
    const ConfigCheckReport report = CheckConfigText(RenderConfigBytes(document), Environment());
    EXPECT_TRUE(report.readable);
    EXPECT_FALSE(report.HasFindings()) << ToUtf8(report.Text());
    EXPECT_FALSE(report.Dropped());
    EXPECT_TRUE(CheckConfigText("", Environment()).findings.empty());
}

// One bad entry in every rule list, after a good one where the list has room for it.
TEST_F(ConfigCheckTest, EachRuleListReportsItsBadEntryWithItsLine) {
    const struct {
        const wchar_t* key;
        const wchar_t* value;
        FindingKind kind;
        const wchar_t* message;
    } cases[] = {
        {L"OocExclusions", L"a.exe, ,b.exe", FindingKind::kDropped,
         L"entry 2 (``) is blank; dropped"},
        {L"OocHardCodedExclusionOverrides", L"a.exe,A.exe", FindingKind::kDropped,
         L"`a.exe` is listed more than once; the repeat is dropped"},
        {L"ForegroundBoostExclusions", L"a.exe,, ,b.exe", FindingKind::kDropped,
         L"entry 2 (``) is blank; dropped"},
        {L"CullmarkExclusions", L"a.exe,a.exe", FindingKind::kDropped, L"listed more than once"},
        {L"AllowedProcesses", L"a.exe,A.EXE", FindingKind::kDropped, L"listed more than once"},
        {L"DisallowedProcesses", L"a.exe,\t,b.exe", FindingKind::kDropped,
         L"entry 2 (``) is blank"},
        {L"InstanceLimitedProcesses", L"a.exe;2,b.exe", FindingKind::kDropped,
         L"entry 2 (`b.exe`) has no \";\" after its pattern; dropped"},
        {L"InstanceManagedCPUAffinities", L"a.exe;1;2;3;4;y,; ~", FindingKind::kDropped,
         L"entry 2 (`; ~`) has no pattern; dropped"},
        {L"ProcessThrottles", L"a.exe;5,b.exe;0", FindingKind::kDropped,
         L"entry 2 (`b.exe;0`) has level 0, not above 0; dropped"},
        {L"OneTimeProcessThrottles", L"a.exe;10", FindingKind::kDropped,
         L"entry 1 (`a.exe;10`) has no \";\" between process id and level; dropped"},
        {L"CPULimitRules", L"a.exe;25;100;1", FindingKind::kDropped,
         L"entry 1 (`a.exe;25;100;1`) has 4 fields, 5 needed; dropped"},
        {L"NamedAffinities", L"Half,0-3,Lonely", FindingKind::kDropped,
         L"entry 2 (`Lonely`) is cut short: the list ends after 1 of its 2 fields; dropped"},
        {L"DefaultPriorities", L"a.exe,High,b.exe,Fast", FindingKind::kDropped,
         L"entry 2 (`b.exe`) priority `Fast` is not the name of a priority class; dropped"},
        {L"DefaultIOPriorities", L"a.exe,high", FindingKind::kUnparsed,
         L"entry 1 (`a.exe`): value `high` is not a number; read as 0"},
        {L"DefaultMemoryPriorities", L"a.exe,0", FindingKind::kRewritten,
         L"entry 1 (`a.exe`) memory priority 0 is kept as 1, the lowest there is"},
        {L"DisableThreadPriorityBoost", L"a.exe,A.exe", FindingKind::kDropped,
         L"listed more than once"},
        {L"DefaultAffinitiesEx", L"a.exe,0,70", FindingKind::kDropped,
         L"entry 1 (`a.exe`): processor `70` is not one of 0 to 63 and sets nothing"},
        {L"CPUSets", L"a.exe,(0/0-1),b.exe", FindingKind::kDropped,
         L"entry 2 (`b.exe`) is cut short: the list ends after 1 of its 2 fields; dropped"},
        {L"KeepRunningProcesses", L"c:\\a.exe;go,app.exe", FindingKind::kDropped,
         L"entry 2 (`app.exe`) has no \";\" between the program and its command; dropped"},
        {L"EfficiencyMode", L"a.exe,on", FindingKind::kUnparsed,
         L"entry 1 (`a.exe`): value `on` is not a number; read as 0"},
        {L"ProcessorGroupExtended", L"Big.exe,Big.exe", FindingKind::kDropped,
         L"listed more than once"},
        {L"ProhibitInternetExplorerExceptWhenAny", L"Corp.exe, ,x.exe", FindingKind::kDropped,
         L"entry 2 (``) is blank; dropped"},
        {L"WatchdogRules2",
         L"a.exe;0;0;1;1;1;0;1;-;-;-;-,b.exe;0;0;1;1;1;0;1;-;-;-;-,c.exe;0;0;1;1;1;0;1;-;-;-",
         FindingKind::kDropped,
         L"entry 3 (`c.exe;0;0;1;1;1;0;1;-;-;-`) has 11 fields, 12 needed; dropped"},
        {L"AutomaticGamingModeProcessPaths", L"c:\\games\\*,C:\\Games\\*", FindingKind::kDropped,
         L"listed more than once"},
        {L"Display", L"video.exe,,video.exe", FindingKind::kDropped, L"listed more than once"},
        {L"PC", L"backup.exe, ,x.exe", FindingKind::kDropped, L"is blank; dropped"},
        {L"DefaultPowerSchemes", L"a.exe;Balanced,b.exe;Unknown", FindingKind::kDefaulted,
         L"entry 2 (`b.exe;Unknown`) names the power plan `Unknown`, which this machine does "
         L"not have; kept, but not used"},
        {L"PowerSaver_Exclusions", L"idle.exe,IDLE.exe", FindingKind::kDropped,
         L"listed more than once"},
    };
    std::vector<std::wstring> lines = {L"[Lists]"};
    for (const auto& c : cases) {
        lines.push_back(std::wstring(c.key) + L"=" + c.value);
    }
    const ConfigCheckReport report = CheckConfigText(FileOf(lines), Environment());
    ASSERT_EQ(report.findings.size(), std::size(cases)) << ToUtf8(report.Text());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const ConfigFinding& finding = report.findings[i];
        EXPECT_EQ(finding.key, c.key);
        EXPECT_EQ(finding.section, L"Lists") << ToUtf8(c.key);
        EXPECT_EQ(finding.line, i + 2) << ToUtf8(c.key);
        EXPECT_EQ(finding.kind, c.kind) << ToUtf8(c.key);
        EXPECT_NE(finding.message.find(c.message), std::wstring::npos)
            << ToUtf8(c.key) << ": " << ToUtf8(finding.message);
    }
    EXPECT_TRUE(report.Dropped());
    const auto watchdog =
        std::find_if(report.findings.begin(), report.findings.end(),
                     [](const ConfigFinding& f) { return f.key == L"WatchdogRules2"; });
    ASSERT_NE(watchdog, report.findings.end());
    EXPECT_EQ(watchdog->Text(),
              L"line " + std::to_wstring(watchdog->line) +
                  L" [Lists] WatchdogRules2: entry 3 (`c.exe;0;0;1;1;1;0;1;-;-;-`) has 11 "
                  L"fields, 12 needed; dropped");
}

// A regular expression that can never match is as good as dropped; one with back-references
// is kept but may be cut on long command lines.
TEST_F(ConfigCheckTest, RegularExpressionsThatMatchNothingOrMayBeCut) {
    const ConfigCheckReport report =
        CheckConfigText(FileOf({L"[Lists]", L"DisallowedProcesses=regex: (,b.exe,/chrome/",
                                L"DefaultPriorities=/(x)\\1y/,Idle,a.exe,High"}),
                        Environment());
    ASSERT_EQ(report.findings.size(), 2u) << ToUtf8(report.Text());
    EXPECT_EQ(report.findings[0].line, 2u);
    EXPECT_EQ(report.findings[0].kind, FindingKind::kDropped);
    EXPECT_NE(report.findings[0].message.find(L"`(` is empty, does not compile"),
              std::wstring::npos);
    EXPECT_EQ(report.findings[1].line, 3u);
    EXPECT_EQ(report.findings[1].kind, FindingKind::kLimited);
    EXPECT_NE(report.findings[1].message.find(L"`(x)\\1y` has back-references"),
              std::wstring::npos);
}

TEST_F(ConfigCheckTest, ValuesAndLinesTheLoaderChanges) {
    const struct {
        std::vector<std::wstring> lines;
        std::uint32_t line;
        const wchar_t* key;
        FindingKind kind;
        const wchar_t* message;
    } cases[] = {
        {{L"UpdateSpeedGUI=300"},
         1,
         L"UpdateSpeedGUI",
         FindingKind::kDefaulted,
         L"300 is not one of 0, 250, 500, 1000, 2000, 5000 and 10000; read as 1000"},
        {{L"OocOn=yes"},
         1,
         L"OocOn",
         FindingKind::kDefaulted,
         L"`yes` is neither true nor false; read as false"},
        {{L"BalloonTipDuration=99999999999"},
         1,
         L"BalloonTipDuration",
         FindingKind::kClamped,
         L"`99999999999` is beyond the 32-bit range; read as 2147483647"},
        {{L"MaximumTimeOfRestraint=4294967295"},
         1,
         L"MaximumTimeOfRestraint",
         FindingKind::kClamped,
         L"read as 2147483647"},
        {{L"UpdateSpeedCore=fast"},
         1,
         L"UpdateSpeedCore",
         FindingKind::kUnparsed,
         L"`fast` is not a number; read as 0"},
        {{L"GracefulWaitTimeInMs=1000ms"},
         1,
         L"GracefulWaitTimeInMs",
         FindingKind::kUnparsed,
         L"`1000ms` has text after the number; read as 1000"},
        {{L"BalloonTipDuration="},
         1,
         L"BalloonTipDuration",
         FindingKind::kUnparsed,
         L"is empty; read as 0, not as the default 10000"},
        {{L"ForegroundBoostPriorityClass=high"},
         1,
         L"ForegroundBoostPriorityClass",
         FindingKind::kDefaulted,
         L"`high` is not a priority class number"},
        {{L"RestraintAffinity=0-3;70"},
         1,
         L"RestraintAffinity",
         FindingKind::kDropped,
         L"processor `70` is not one of 0 to 63 and sets nothing"},
        {{L"TargetPowerPlan="},
         1,
         L"TargetPowerPlan",
         FindingKind::kDefaulted,
         L"is empty; read as `Tarvel Highest Performance`"},
        {{L"PowerSaver_TargetGUID=Nope"},
         1,
         L"PowerSaver_TargetGUID",
         FindingKind::kDefaulted,
         L"`Nope` is not a power plan of this machine"},
        {{L"EnergySaverForceActivePowerProfile=true"},
         1,
         L"EnergySaverForceActivePowerProfile",
         FindingKind::kDefaulted,
         L"names no plan; read as false"},
        {{L"AutomaticUpdate=TRUE"},
         1,
         L"AutomaticUpdate",
         FindingKind::kRewritten,
         L"handed over to the registry value UpdatePromptless"},
        {{L"[GUI]", L"Colour=blue"},
         2,
         L"Colour",
         FindingKind::kDropped,
         L"is not a setting of this version; a save drops it"},
        {{L"; my note"}, 1, L"", FindingKind::kDropped, L"is a comment; a save drops it"},
        {{L"OocOn = false"},
         1,
         L"OocOn",
         FindingKind::kDropped,
         L"has blanks around the key name, so it is not read as OocOn"},
        {{L"OocOn=false", L"", L"oocon=true"},
         3,
         L"oocon",
         FindingKind::kDropped,
         L"repeats the key of line 1, which is the one read"},
        {{L"OocOn=false", L";", L"LogDisable=true", L"", L"x=1"},
         2,
         L"",
         FindingKind::kDropped,
         L"the 2 lines with text after it are ignored"},
        {{L"[Sec", L"OocOn=true"},
         1,
         L"",
         FindingKind::kDropped,
         L"a section header without \"]\""},
        {{L"RoundRobinAffinitySelection=true"},
         1,
         L"RoundRobinAffinitySelection",
         FindingKind::kRewritten,
         L"is an older name of LevelonDropOneRandomCore"},
        {{L"RoundRobinAffinitySelection=true", L"LevelonDropOneRandomCore=false"},
         1,
         L"RoundRobinAffinitySelection",
         FindingKind::kDropped,
         L"present too and wins"},
        {{L"DefaultAffinities=old.exe,0-1"},
         1,
         L"DefaultAffinities",
         FindingKind::kRewritten,
         L"its entries are read into DefaultAffinitiesEx"},
        {{L"CPULimitRules=a.exe;12.345;1;2;3"},
         1,
         L"CPULimitRules",
         FindingKind::kRewritten,
         L"threshold `12.345` is kept with two decimals, as 12.35"},
        {{L"CPULimitRules=a.exe;25;08;1;0"},
         1,
         L"CPULimitRules",
         FindingKind::kUnparsed,
         L"time over `08` has text after the number; read as 0"},
        {{L"WatchdogRules2=a.exe;1;0;50;1000;0;0;1;-;-silent;-;-"},
         1,
         L"WatchdogRules2",
         FindingKind::kDropped,
         L"arguments field `-silent` begins with \"-\", which stands for an empty field"},
        {{L"KeepRunningProcesses=c:\\a.exe;go;x"},
         1,
         L"KeepRunningProcesses",
         FindingKind::kUnparsed,
         L"number `x` is not a number; read as 0"},
    };
    for (const auto& c : cases) {
        const ConfigCheckReport report = CheckConfigText(FileOf(c.lines), Environment());
        const std::string what = ToUtf8(c.lines.front());
        ASSERT_EQ(report.findings.size(), 1u) << what << "\n" << ToUtf8(report.Text());
        const ConfigFinding& finding = report.findings[0];
        EXPECT_EQ(finding.line, c.line) << what;
        EXPECT_EQ(finding.key, c.key) << what;
        EXPECT_EQ(finding.kind, c.kind) << what;
        EXPECT_NE(finding.message.find(c.message), std::wstring::npos)
            << what << ": " << ToUtf8(finding.message);
        EXPECT_EQ(report.Dropped(), c.kind == FindingKind::kDropped) << what;
    }
}

TEST_F(ConfigCheckTest, UnreadableFilesAndNoSideEffects) {
    const ConfigCheckReport bigEndian =
        CheckConfigText(std::string("\xFE\xFF\0O\0o", 6), Environment());
    EXPECT_FALSE(bigEndian.readable);
    EXPECT_TRUE(bigEndian.Dropped());

    // What the loader would hand to the registry or show in a message, the check only reports.
    machine().ownImagePath = L"C:\\Program Files\\Corvane\\Trellion.exe";
    const ConfigCheckReport report =
        CheckConfigText(FileOf({L"AutomaticUpdate=true", L"KeepRunningProcesses=app.exe",
                                L"DefaultPowerSchemes=game.exe"}),
                        Environment());
    EXPECT_EQ(report.findings.size(), 3u) << ToUtf8(report.Text());
    EXPECT_FALSE(machine().HasValue(platform::RegistryRoot::LocalMachine, L"Software\\Corvane",
                                    L"UpdatePromptless"));
    EXPECT_TRUE(machine().messageBoxes.empty());
}

TEST_F(ConfigCheckTest, FilesAreCheckedWhereTheyLieAndNeverCreated) {
    const std::wstring path = L"C:\\Cfg\\corvex.ini";
    sim::PutFile(path, FileOf({L"[GUI]", L"ShowGraphCPU=maybe"}));
    const ConfigCheckReport report = CheckConfigFile(path, Environment());
    ASSERT_EQ(report.findings.size(), 1u) << ToUtf8(report.Text());
    EXPECT_EQ(report.findings[0].Text(),
              L"line 2 [GUI] ShowGraphCPU: `maybe` is neither true nor false; read as false");

    const std::wstring missing = L"C:\\Cfg\\missing.ini";
    const ConfigCheckReport none = CheckConfigFile(missing, Environment());
    EXPECT_FALSE(none.readable);
    EXPECT_TRUE(none.Dropped());
    EXPECT_FALSE(platform::PathExists(missing));
}

TEST_F(ConfigCheckTest, RulesThatWouldSuspendEndOrRestrainTheEngineOrWhatWindowsNeeds) {
    const std::wstring everyCritical =
        L"smss.exe, csrss.exe, wininit.exe, winlogon.exe, services.exe, lsass.exe";
    const struct {
        const char* what;
        std::vector<std::wstring> lines;
        const wchar_t* key;  // of the one finding; none expected when empty
        std::wstring message;
    } cases[] = {
        {"a throttle on every process",
         {L"ProcessThrottles=app.exe;2,*;1"},
         L"ProcessThrottles",
         L"the entry `*` matches vigilor.exe, " + everyCritical +
             L", which the engine never suspends: the rule leaves them alone"},
        {"a throttle on the engine's name",
         {L"ProcessThrottles=vigilor.exe;1"},
         L"ProcessThrottles",
         L"the entry `vigilor.exe` matches vigilor.exe, which the engine never suspends: the "
         L"rule leaves it alone"},
        {"a throttle on other programs", {L"ProcessThrottles=app.exe;1,v?.exe;3"}, L"", L""},
        {"every process disallowed but those allowed",
         {L"AllowedProcesses=c*.exe", L"DisallowedProcesses=*"},
         L"DisallowedProcesses",
         L"the entry `*` matches vigilor.exe, smss.exe, wininit.exe, winlogon.exe, services.exe, "
         L"lsass.exe, which the engine never ends"},
        {"a negation disallows the engine too",
         {L"DisallowedProcesses=~notepad.exe"},
         L"DisallowedProcesses",
         L"the entry `~notepad.exe` matches vigilor.exe, " + everyCritical},
        {"an instance limit on csrss.exe",
         {L"InstanceLimitedProcesses=csrss.exe;1"},
         L"InstanceLimitedProcesses",
         L"the entry `csrss.exe` matches csrss.exe, which the engine never ends"},
        {"a watchdog ending the engine",
         {L"WatchdogRules2=vigilor.exe;0;0;90;5000;0;0;1;-;-;-;-"},
         L"WatchdogRules2",
         L"the entry `vigilor.exe` matches vigilor.exe, which the engine never ends"},
        {"a watchdog lowering every class spares only the engine",
         {L"WatchdogRules2=*;4;0;90;5000;64;0;1;-;-;-;-"},
         L"WatchdogRules2",
         L"the entry `*` matches vigilor.exe, which the engine never changes"},
        {"a watchdog notice acts on no process",
         {L"WatchdogRules2=*;7;0;90;5000;0;0;1;-;-;-;-"},
         L"",
         L""},
        {"a CPU limit on every process",
         {L"CPULimitRules=*;10;1000;1;0"},
         L"CPULimitRules",
         L"the entry `*` matches vigilor.exe, which the engine never changes"},
        {"a default class for every process",
         {L"DefaultPriorities=*,Idle"},
         L"DefaultPriorities",
         L"the entry `*` matches vigilor.exe, which the engine never changes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ConfigCheckReport report = CheckConfigText(FileOf(c.lines), Environment());
        std::vector<ConfigFinding> spared;
        for (const ConfigFinding& finding : report.findings) {
            if (finding.message.find(L"which the engine never") != std::wstring::npos) {
                spared.push_back(finding);
            }
        }
        if (std::wstring_view(c.key).empty()) {
            EXPECT_TRUE(spared.empty()) << ToUtf8(report.Text());
            continue;
        }
        ASSERT_EQ(spared.size(), 1u) << ToUtf8(report.Text());
        EXPECT_EQ(spared[0].key, c.key);
        EXPECT_EQ(spared[0].line, static_cast<std::uint32_t>(c.lines.size()));
        EXPECT_EQ(spared[0].kind, FindingKind::kLimited);
        EXPECT_NE(spared[0].message.find(c.message), std::wstring::npos)
            << ToUtf8(spared[0].message);
    }
}

}  // namespace
}  // namespace cv
