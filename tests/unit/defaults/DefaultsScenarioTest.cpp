#include <algorithm>

#include "EngineScenario.h"
#include "common/Format.h"
#include "platform/ProcessControl.h"

namespace cv {
namespace {

using platform::kBelowNormalPriorityClass;
using platform::kHighPriorityClass;
using platform::kIdlePriorityClass;
using platform::kNormalPriorityClass;

class DefaultsScenario : public test::EngineScenario {
  protected:
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        return process;
    }
    sim::SimProcess& Process(std::uint32_t pid) { return *machine().FindProcess(pid); }
};

TEST_F(DefaultsScenario, PriorityIsSetOnFirstSightAndAgainOnlyWhenRulesMayHaveChanged) {
    Spawn(100, L"notepad.exe");
    Start({{L"DefaultPriorities", L"notepad.exe,Below Normal"}});
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kBelowNormalPriorityClass);

    // A change made by hand stays until a new process appears or the rules are reloaded.
    Process(100).priorityClass = kHighPriorityClass;
    Cycles(2);
    EXPECT_EQ(Process(100).priorityClass, kHighPriorityClass);
    Spawn(200, L"other.exe");
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kBelowNormalPriorityClass);

    const auto log = Only(StopAndReadLog(), 22);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].basename, L"notepad.exe");
    EXPECT_EQ(log[0].info, LoadResourceString(246));
}

TEST_F(DefaultsScenario, ForcedModeSetsItBackEveryCycle) {
    Spawn(100, L"notepad.exe");
    Start({{L"DefaultPriorities", L"notepad.exe,Below Normal"}, {L"ForcedMode", L"true"}});
    Cycles(1);
    Process(100).priorityClass = kHighPriorityClass;
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kBelowNormalPriorityClass);
}

TEST_F(DefaultsScenario, NoMatchingRuleLeavesTheProcessAlone) {
    Spawn(100, L"calc.exe");
    Start({{L"DefaultPriorities", L"notepad.exe,Idle"},
           {L"DefaultAffinitiesEx", L"notepad.exe,0,0-1"},
           {L"EfficiencyMode", L"notepad.exe,1"}});
    Cycles(3);
    EXPECT_EQ(Process(100).priorityClass, kNormalPriorityClass);
    EXPECT_EQ(Process(100).affinity, 0u);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Ids(log), (std::vector<std::uint32_t>{59, 58, 60, 113}));
}

TEST_F(DefaultsScenario, AffinityWaitsForTheRulesDelay) {
    Start({{L"DefaultAffinitiesEx", L"game.exe,5000,0-1"}});
    Cycles(1);
    Spawn(300, L"game.exe");
    Cycles(3);  // 3 s old
    EXPECT_EQ(Process(300).affinity, 0u);
    Cycles(3);  // past 5 s: set in the first cycle after
    EXPECT_EQ(Process(300).affinity, 0x3u);
    const auto log = Only(StopAndReadLog(), 21);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].info, L"0-1");
}

TEST_F(DefaultsScenario, EfficiencyModeOffIsReappliedButLoggedOnce) {
    auto& process = Spawn(400, L"tool.exe");
    process.throttleControl = 1;
    process.throttleState = 1;
    Start({{L"EfficiencyMode", L"tool.exe,0"}});
    Cycles(1);
    EXPECT_EQ(Process(400).throttleState & 1u, 0u);
    Process(400).throttleState = 1;  // something switches it back on
    Cycles(1);
    EXPECT_EQ(Process(400).throttleState & 1u, 0u);
    Cycles(2);
    EXPECT_EQ(Only(StopAndReadLog(), 108).size(), 1u);
}

TEST_F(DefaultsScenario, EfficiencyModeOnAlsoLowersThePriority) {
    Spawn(410, L"eco.exe");
    Start({{L"EfficiencyMode", L"eco.exe,1"}});
    Cycles(2);
    EXPECT_EQ(Process(410).throttleState & 1u, 1u);
    EXPECT_EQ(Process(410).priorityClass, kIdlePriorityClass);
    const auto log = Only(StopAndReadLog(), 108);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].info, LoadResourceString(1351));
}

TEST_F(DefaultsScenario, CpuSetWithAnyGroupMatchesTheSameMasks) {
    auto& process = Spawn(500, L"render.exe");
    Start({{L"CPUSets", L"render.exe,(0-1)"}});
    Cycles(1);
    const auto ids = Process(500).defaultCpuSets;
    ASSERT_FALSE(ids.empty());
    (void)process;
    Cycles(1);
    machine().SetNamedEvent(L"Local\\Corvane777");  // a reload judges every process again
    Cycles(1);
    const auto log = Only(StopAndReadLog(), 103);
    ASSERT_EQ(log.size(), 1u);  // the same sets are not set twice
    EXPECT_EQ(log[0].info, L"(0-1)");
}

TEST_F(DefaultsScenario, ThreadBoostAndMemoryAndIoPriorities) {
    Spawn(600, L"svc.exe");
    Start({{L"DisableThreadPriorityBoost", L"svc.exe"},
           {L"DefaultMemoryPriorities", L"svc.exe,2"},
           {L"DefaultIOPriorities", L"svc.exe,1"},
           {L"LogDisable", L"true"}});
    Cycles(1);
    EXPECT_TRUE(Process(600).priorityBoostDisabled);
    EXPECT_EQ(Process(600).memoryPriority, 2u);
    EXPECT_EQ(Process(600).ioPriority, 1u);
    // Memory priority changes are logged whatever the log switches say.
    EXPECT_EQ(Ids(StopAndReadLog()), (std::vector<std::uint32_t>{52}));
}

TEST_F(DefaultsScenario, AProcessThatRefusesAccessKeepsItsAttributes) {
    auto& process = Spawn(700, L"guarded.exe");
    process.deniedAccess =
        platform::kProcessSetInformation | platform::kProcessSetLimitedInformation;
    Start({{L"DefaultPriorities", L"guarded.exe,Idle"},
           {L"DefaultAffinitiesEx", L"guarded.exe,0,0"},
           {L"DefaultMemoryPriorities", L"guarded.exe,1"}});
    Cycles(2);
    EXPECT_EQ(Process(700).priorityClass, kNormalPriorityClass);
    EXPECT_EQ(Process(700).affinity, 0u);
    EXPECT_EQ(Process(700).memoryPriority, 5u);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 98).size(), 1u);  // the affinity failure, once
    EXPECT_EQ(Only(log, 53).size(), 1u);
}

TEST_F(DefaultsScenario, ForegroundBoostOnlyForNormalClass) {
    auto& agent = Spawn(900, L"tarvelsessionagent.exe");
    agent.commandLine = L"ipc0 si=1 fpid=64 litm=1";  // foreground: 0x64 = 100
    Spawn(100, L"editor.exe");
    Spawn(200, L"player.exe").priorityClass = kHighPriorityClass;
    Spawn(300, L"viewer.exe");
    ControlLoop& loop = Start({{L"BoostForegroundProcess", L"true"}});
    Cycles(1);  // the first report is only recorded
    EXPECT_EQ(Process(100).priorityClass, kNormalPriorityClass);

    Process(900).commandLine = L"ipc0 si=1 fpid=12c litm=2";  // 300
    Cycles(1);
    EXPECT_EQ(Process(300).priorityClass, platform::kAboveNormalPriorityClass);
    Process(900).commandLine = L"ipc0 si=1 fpid=c8 litm=3";  // 200, above normal already
    Cycles(1);
    EXPECT_EQ(Process(300).priorityClass, kNormalPriorityClass);  // given back
    EXPECT_EQ(Process(200).priorityClass, kHighPriorityClass);
    (void)loop;
}

// A process keeps which rule it matched; what it kept is the position in the list, so a kept
// answer that outlived the list it came from would pick another rule.
TEST_F(DefaultsScenario, AReloadMatchesEveryProcessAgainstTheNewRules) {
    Spawn(100, L"notepad.exe");
    Start({{L"DefaultPriorities", L"notepad.exe,Below Normal,calc.exe,High"}});
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kBelowNormalPriorityClass);
    WriteConfig({{L"DefaultPriorities", L"calc.exe,High,notepad.exe,Idle"}});
    machine().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kIdlePriorityClass);
}

TEST_F(DefaultsScenario, AReusedIdIsMatchedAsTheNewProcessItIs) {
    Spawn(100, L"notepad.exe");
    Start({{L"DefaultPriorities", L"calc.exe,High,notepad.exe,Below Normal"}});
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kBelowNormalPriorityClass);
    machine().EndProcess(100);
    Spawn(100, L"other.exe").createTime += 1;
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kNormalPriorityClass);
    machine().EndProcess(100);
    Spawn(100, L"calc.exe").createTime += 2;
    Cycles(1);
    EXPECT_EQ(Process(100).priorityClass, kHighPriorityClass);
}

// A rule whose search is cut matches nothing there, and the log says so once.
TEST_F(DefaultsScenario, ACutRuleIsReportedOnce) {
    Spawn(100, L"tool.exe").commandLine = L"tool.exe xx" + std::wstring(5000, L'a') + L"y";
    Spawn(101, L"tool.exe").commandLine = L"tool.exe xx" + std::wstring(6000, L'a') + L"y";
    Start({{L"DefaultPriorities", L"/(x)\\1.*y/,Idle"}});
    Cycles(2);
    EXPECT_EQ(Process(100).priorityClass, kNormalPriorityClass);
    const auto log = Only(StopAndReadLog(), 59);
    const auto cut = std::count_if(log.begin(), log.end(), [](const auto& action) {
        return action.info.find(L"(x)\\1.*y\" ran away and was cut") != std::wstring::npos;
    });
    EXPECT_EQ(cut, 1);
}

}  // namespace
}  // namespace cv
