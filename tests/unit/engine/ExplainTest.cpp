// /explain: which rule of each family applies to a program and what the engine does with it,
// and that the answer is the one the engine acts on.
#include <gtest/gtest.h>

#include <memory>
#include <unordered_map>

#include "EngineScenario.h"
#include "config/ConfigDocument.h"
#include "config/ProcessMatch.h"
#include "control/ProcessGuard.h"
#include "engine/Explain.h"
#include "platform/ProcessControl.h"
#include "processes/ParentTree.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

class TableParents : public ParentLookup {
  public:
    std::uint32_t ParentOf(std::uint32_t pid) const override {
        const auto it = parents.find(pid);
        return it == parents.end() ? 0 : it->second;
    }
    std::wstring NameOf(std::uint32_t pid) const override {
        const auto it = names.find(pid);
        return it == names.end() ? std::wstring() : it->second;
    }
    std::unordered_map<std::uint32_t, std::uint32_t> parents;
    std::unordered_map<std::uint32_t, std::wstring> names;
};

class ExplainTest : public test::EngineScenario {
  protected:
    static std::unique_ptr<ConfigSettings> Load(const Keys& keys) {
        auto settings = std::make_unique<ConfigSettings>(SettingsEnvironment{});
        ConfigDocument document;
        EXPECT_TRUE(ParseConfigBytes(ConfigWith(keys), document));
        settings->ReadSettings(document, nullptr);
        return settings;
    }
    static const ExplainLine* Line(const Explanation& explanation, const std::wstring& title) {
        for (const ExplainLine& line : explanation.lines) {
            if (line.title == title) {
                return &line;
            }
        }
        return nullptr;
    }
};

TEST_F(ExplainTest, NamesTheFirstMatchingRuleAndWhatTheEngineDoes) {
    TableParents parents;
    parents.parents[50] = 40;
    parents.names[40] = L"launcher.exe";
    const struct {
        const char* what;
        Keys keys;
        ExplainSubject subject;
        const wchar_t* title;
        std::size_t entry;  // 0: no rule
        const wchar_t* entryText;
        const wchar_t* outcome;
    } cases[] = {
        {"a bare name",
         {{L"DefaultPriorities", L"calc.exe,High,notepad.exe,Below Normal"}},
         {L"notepad.exe"},
         L"Default priority",
         2,
         L"notepad.exe",
         L"priority Below Normal"},
        {"a full path, with paths compared",
         {{L"DefaultPriorities", L"calc.exe,High,c:\\tools\\*,Idle"},
          {L"MatchWildcardsToPathnames", L"true"}},
         {L"x.exe", L"c:\\tools\\x.exe"},
         L"Default priority",
         2,
         L"c:\\tools\\*",
         L"priority Idle"},
        {"the same path when paths are not compared",
         {{L"DefaultPriorities", L"calc.exe,High,c:\\tools\\*,Idle"},
          {L"MatchWildcardsToPathnames", L"false"}},
         {L"x.exe", L"c:\\tools\\x.exe"},
         L"Default priority",
         0,
         L"",
         L"no rule"},
        {"a command-line pattern",
         {{L"DefaultIOPriorities", L"other.exe,3,*--quiet*,0"}},
         {L"app.exe", L"", L"app.exe --quiet"},
         L"I/O priority",
         2,
         L"*--quiet*",
         L"I/O priority Very Low"},
        {"childof:",
         {{L"InstanceManagedCPUAffinities", L"childof:launcher.exe;0;2;0.00;4;N"}},
         {L"game.exe", L"", L"", L"", 50, &parents},
         L"Instance balancer",
         1,
         L"childof:launcher.exe",
         L"its instances are spread over the processors, 2 per instance from processor 4"},
        {"a regular expression",
         {{L"CPULimitRules", L"/game\\.exe/;25;2000;2;0"}},
         {L"game.exe", L"d:\\games\\game.exe"},
         L"CPU limit",
         1,
         L"/game\\.exe/",
         L"after 2000 ms over 25 %, 2 processor(s) taken away until it drops below"},
        {"a process on the built-in Levelon list",
         {{L"OocOn", L"true"}},
         {L"wmiprvse.exe"},
         L"Levelon restraint",
         0,
         L"",
         L"excluded from Levelon: built-in list"},
        {"the engine itself",
         {{L"DisallowedProcesses", L"vigilor.exe"}},
         {L"vigilor.exe"},
         L"Disallowed processes",
         1,
         L"vigilor.exe",
         nullptr},  // the guard's refusal, checked below
        {"a process Windows cannot run without",
         {{L"ProcessThrottles", L"csrss.exe;5"}},
         {L"csrss.exe"},
         L"Throttle",
         1,
         L"csrss.exe",
         nullptr},
        {"a name no rule matches",
         {{L"DefaultPriorities", L"calc.exe,High"}, {L"DisallowedProcesses", L"bad.exe"}},
         {L"nothing.exe"},
         L"Disallowed processes",
         0,
         L"",
         L"no rule"},
        {"disallowed",
         {{L"DisallowedProcesses", L"bad.exe,worse.exe"}},
         {L"worse.exe"},
         L"Disallowed processes",
         2,
         L"worse.exe",
         L"closed as disallowed"},
        {"disallowed but allowed",
         {{L"DisallowedProcesses", L"*.exe"}, {L"AllowedProcesses", L"good.exe"}},
         {L"good.exe"},
         L"Disallowed processes",
         1,
         L"*.exe",
         L"not closed: AllowedProcesses allows it"},
        {"a watchdog rule",
         {{L"WatchdogRules2", L"other.exe;0;0;5;0;0;0;1;-;-;-;-,app.exe;4;0;20;1000;64;0;1;-;-;-;-"}},
         {L"app.exe"},
         L"Watchdog rule",
         2,
         L"app.exe",
         L"set priority when its CPU use is above 20 % for 1000 ms"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto settings = Load(c.keys);
        const Explanation explanation = ExplainProcess(*settings, c.subject);
        const ExplainLine* line = Line(explanation, c.title);
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->entry, c.entry);
        EXPECT_EQ(line->entryText, c.entryText);
        if (c.outcome != nullptr) {
            EXPECT_EQ(line->outcome, c.outcome);
        }
    }

    // The guard's refusals are named as such.
    const auto engine = Load({{L"DisallowedProcesses", L"vigilor.exe"}});
    const Explanation self = ExplainProcess(*engine, {L"vigilor.exe"});
    ASSERT_EQ(self.exclusions.size(), 1u);
    EXPECT_NE(self.exclusions[0].find(L"the engine itself"), std::wstring::npos);
    EXPECT_EQ(Line(self, L"Disallowed processes")->outcome,
              RefusalText(GuardFamily::kDisallowed, Protection::kEngine));
    const auto critical = Load({{L"ProcessThrottles", L"csrss.exe;5"}});
    const Explanation windows = ExplainProcess(*critical, {L"csrss.exe"});
    EXPECT_EQ(Line(windows, L"Throttle")->outcome,
              RefusalText(GuardFamily::kThrottle, Protection::kCritical));
    // Changes that are harmless to any other process are still made to a critical one.
    EXPECT_EQ(windows.exclusions.size(), 1u);
}

TEST_F(ExplainTest, ReadsTheTargetText) {
    const struct {
        const wchar_t* text;
        std::optional<std::uint32_t> pid;
        const wchar_t* name;
        const wchar_t* path;
        const wchar_t* commandLine;
    } cases[] = {
        {L"notepad.exe", std::nullopt, L"notepad.exe", L"", L""},
        {L"C:\\Program Files\\App\\App.exe", std::nullopt, L"app.exe",
         L"c:\\program files\\app\\app.exe", L""},
        {L"\"C:\\a b\\x.exe\" /commandline=x.exe --y \"z w\"", std::nullopt, L"x.exe",
         L"c:\\a b\\x.exe", L"x.exe --y \"z w\""},
        // The whole argument quoted: its closing quote follows the value.
        {L"C:\\a b\\x.exe\"", std::nullopt, L"x.exe", L"c:\\a b\\x.exe", L""},
        {L"app.exe /CommandLine=\"app.exe -q\"", std::nullopt, L"app.exe", L"", L"app.exe -q"},
        {L"pid:1234", 1234u, L"", L"", L""},
        {L"PID: 77 ", 77u, L"", L"", L""},
        // Not an id: read as a name.
        {L"pid:abc", std::nullopt, L"pid:abc", L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        std::optional<std::uint32_t> pid;
        const ExplainSubject subject = ParseExplainTarget(c.text, &pid);
        EXPECT_EQ(pid, c.pid);
        EXPECT_EQ(subject.name, c.name);
        EXPECT_EQ(subject.path, c.path);
        EXPECT_EQ(subject.commandLine, c.commandLine);
    }
}

// The engine runs on a set of processes with every family configured; /explain on each running
// process names the same rule of every family that the engine matched it with.
TEST_F(ExplainTest, AgreesWithTheEngineOnRunningProcesses) {
    auto& m = machine();
    const auto add = [&](std::uint32_t pid, const wchar_t* name, const wchar_t* path,
                         const wchar_t* commandLine, std::uint32_t parent) {
        sim::SimProcess& p = m.AddProcess(pid, name);
        p.imagePath = path;
        p.commandLine = commandLine;
        p.parentPid = parent;
        p.user = L"alice";
    };
    add(300, L"launcher.exe", L"C:\\Games\\launcher.exe", L"launcher.exe", 0);
    add(301, L"game.exe", L"C:\\Games\\game.exe", L"game.exe -fullscreen", 300);
    add(302, L"notepad.exe", L"C:\\Windows\\notepad.exe", L"notepad.exe a.txt", 0);
    add(303, L"browser.exe", L"C:\\Apps\\browser.exe", L"browser.exe --type=renderer", 0);
    add(304, L"tool.exe", L"D:\\Tools\\tool.exe", L"tool.exe --quiet", 302);
    add(305, L"wide.exe", L"D:\\Tools\\wide.exe", L"wide.exe", 0);
    add(306, L"bad.exe", L"D:\\Tools\\bad.exe", L"bad.exe", 0);
    add(307, L"wmiprvse.exe", L"C:\\Windows\\wmiprvse.exe", L"wmiprvse.exe", 0);
    Start({
        {L"MatchWildcardsToPathnames", L"true"},
        {L"OocOn", L"true"},
        {L"DefaultPriorities", L"calc.exe,High,notepad.exe,Below Normal,c:\\games\\*,Above Normal"},
        {L"DefaultIOPriorities", L"*--quiet*,0,browser.exe,1"},
        {L"DefaultMemoryPriorities", L"tool.exe,2,game.exe,3"},
        {L"EfficiencyMode", L"childof:launcher.exe,1"},
        {L"DefaultAffinitiesEx", L"browser.exe,0,0-1"},
        {L"CPUSets", L"tool.exe,(0-1)"},
        {L"CPULimitRules", L"/--type=renderer/;25;2000;2;0"},
        {L"ProcessorGroupExtended", L"wide.exe"},
        {L"DisableThreadPriorityBoost", L"game.exe"},
        {L"OocExclusions", L"notepad.exe,c:\\games\\launcher.exe"},
        {L"DisallowedProcesses", L"bad.exe,wide.exe"},
        {L"AllowedProcesses", L"wide.exe"},
        {L"InstanceManagedCPUAffinities", L"childof:launcher.exe;0;0;0.00;0;N"},
        {L"ProcessThrottles", L"tool.exe;5"},
        {L"WatchdogRules2", L"browser.exe;7;0;90;0;0;0;1;-;-;-;-"},
        {L"ForegroundBoostExclusions", L"game.exe"},
        {L"PowerSaver_Exclusions", L"game.exe"},
        {L"Display", L"game.exe"},
        {L"PC", L"notepad.exe"},
    });
    Cycles(3);

    ConfigSettings& settings = loop_->Settings();
    const std::uint64_t generation = settings.RulesGeneration();
    std::size_t compared = 0;
    std::size_t matched = 0;
    for (const std::uint32_t pid : {300u, 301u, 302u, 303u, 304u, 305u, 307u}) {
        SCOPED_TRACE(pid);
        ProcessRecord* record = loop_->Processes().Find(pid);
        ASSERT_NE(record, nullptr);
        ExplainSubject subject;
        ParentTree tree;
        ASSERT_TRUE(DescribeRunningProcess(pid, settings, L"alice", subject, tree));
        EXPECT_EQ(subject.name, record->name);
        EXPECT_EQ(subject.path, record->path);
        EXPECT_EQ(subject.commandLine, record->commandLine);
        const Explanation explanation = ExplainProcess(settings, subject);
        for (const ExplainLine& line : explanation.lines) {
            if (!line.family) {
                continue;
            }
            const auto kept = record->matches.Find(*line.family, generation);
            if (!kept) {
                continue;  // the engine had no reason to ask
            }
            SCOPED_TRACE(line.key);
            const std::size_t engineEntry = *kept == MatchMemo::kNoRule ? 0 : *kept + 1;
            EXPECT_EQ(line.entry, engineEntry);
            ++compared;
            matched += engineEntry != 0 ? 1 : 0;
        }
    }
    EXPECT_GE(compared, 40u);
    EXPECT_GE(matched, 10u);
    EXPECT_EQ(loop_->Processes().Find(306), nullptr);  // closed as disallowed

    // What the engine did is what /explain says it does.
    const auto explained = [&](std::uint32_t pid, const wchar_t* title) {
        ExplainSubject subject;
        ParentTree tree;
        EXPECT_TRUE(DescribeRunningProcess(pid, settings, L"alice", subject, tree));
        return Line(ExplainProcess(settings, subject), title)->outcome;
    };
    EXPECT_EQ(explained(302, L"Default priority"), L"priority Below Normal");
    EXPECT_EQ(m.FindProcess(302)->priorityClass, platform::kBelowNormalPriorityClass);
    EXPECT_EQ(explained(301, L"Default priority"), L"priority Above Normal");
    EXPECT_EQ(m.FindProcess(301)->priorityClass, platform::kAboveNormalPriorityClass);
    EXPECT_EQ(explained(304, L"I/O priority"), L"I/O priority Very Low");
    EXPECT_EQ(m.FindProcess(304)->ioPriority, 0u);
    EXPECT_EQ(explained(304, L"Memory priority"), L"memory priority 2");
    EXPECT_EQ(m.FindProcess(304)->memoryPriority, 2u);
    EXPECT_EQ(explained(305, L"Disallowed processes"), L"not closed: AllowedProcesses allows it");
    ExplainSubject gone;
    ParentTree tree;
    EXPECT_FALSE(DescribeRunningProcess(306, settings, L"alice", gone, tree));
}

}  // namespace
}  // namespace cv
