// The engine never stalls and never acts on the wrong process: bounded graceful closes that end
// on the exit event, ids taken over by new processes, and processes that cannot be judged at
// first sight.
#include "EngineScenario.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

class EngineSafety : public test::EngineScenario {
  public:
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        process.user = L"Tester";
        return process;
    }
    // A program whose window ignores WM_CLOSE, as one showing "Save changes?" does.
    sim::SimProcess& SpawnStubborn(std::uint32_t pid, const std::wstring& image) {
        auto& process = Spawn(pid, image);
        machine().AddWindow(pid).endsProcessOnClose = false;
        return process;
    }
    // Cycles until the counter reaches the given one, noting the cycles that started the
    // program. The started program ends at once, as a launcher stub does, so the rule's path is
    // never seen running.
    void RunNotingLaunches(std::uint32_t until, std::vector<std::uint32_t>& launchCycles) {
        while (loop_->CycleCounter() < until) {
            const std::size_t before = machine().launches.size();
            Cycles(1);
            if (machine().launches.size() != before) {
                launchCycles.push_back(loop_->CycleCounter());
                machine().EndProcess(machine().nextLaunchPid - 4);
            }
        }
    }
    bool Running(std::uint32_t pid) {
        const sim::SimProcess* process = machine().FindProcess(pid);
        return process != nullptr && !process->ended;
    }
};

TEST_F(EngineSafety, ExcessInstancesAreClosedTogetherWithinTheCappedGrace) {
    const struct {
        const char* what;
        const wchar_t* grace;
        std::uint64_t longestWaitMs;
    } cases[] = {
        {"three instances share one 5 s grace", L"5000", 5000},
        {"a grace of -1 is capped at 60 s", L"-1", 60'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ControlLoop& loop = Start(
            {{L"InstanceLimitedProcesses", L"editor.exe;1"}, {L"GracefulWaitTimeInMs", c.grace}});
        Spawn(100, L"editor.exe");
        Cycles(1);
        for (const std::uint32_t pid : {110u, 120u, 130u}) {
            SpawnStubborn(pid, L"editor.exe");
        }
        const std::uint64_t before = machine().Now();
        Cycles(1);
        const std::uint64_t waited = machine().Now() - before - loop.RefreshInterval();
        EXPECT_LE(waited, c.longestWaitMs);
        EXPECT_GE(waited, c.longestWaitMs - 100);
        // Asked to close, and terminated when they did not: none is left half-closed.
        EXPECT_EQ(machine().closeMessages.size(), 3u);
        for (const std::uint32_t pid : {110u, 120u, 130u}) {
            EXPECT_FALSE(Running(pid)) << pid;
        }
        EXPECT_TRUE(Running(100));
        EXPECT_EQ(Only(StopAndReadLog(), 7).size(), 3u);
        TearDown();
        SetUp();
    }
}

TEST_F(EngineSafety, TheExitEventEndsAGracefulWait) {
    ControlLoop& loop =
        Start({{L"InstanceLimitedProcesses", L"editor.exe;1"}, {L"GracefulWaitTimeInMs", L"-1"}});
    Spawn(100, L"editor.exe");
    Cycles(1);
    SpawnStubborn(110, L"editor.exe");
    // /exit arrives two seconds into the wait.
    machine().Schedule(loop.RefreshInterval() + 2000,
                       [&loop] { platform::SetEventObject(loop.ExitEvent()); });
    const std::uint64_t before = machine().Now();
    Cycles(1);
    EXPECT_LE(machine().Now() - before, loop.RefreshInterval() + 2000u);
    EXPECT_FALSE(Running(110));  // terminated, not left with its close question open
    EXPECT_FALSE(loop.RunCycle());
}

TEST_F(EngineSafety, AnIdTakenOverByAnotherProcessIsJudgedAfresh) {
    const struct {
        const char* what;
        Keys keys;
        std::function<void(EngineSafety&)> first;
    } cases[] = {
        {"the ignored process's id",
         {{L"ManageOnlyCurrentUser", L"true"}},
         [](EngineSafety& t) { t.Spawn(300, L"first.exe").user = L"someone"; }},
        {"a managed process's id", {}, [](EngineSafety& t) { t.Spawn(300, L"first.exe"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Keys keys = c.keys;
        keys[L"DisallowedProcesses"] = L"miner.exe";
        ControlLoop& loop = Start(keys);
        c.first(*this);
        Cycles(2);
        // The id passes to a disallowed program between two cycles.
        machine().AddProcess(300, L"miner.exe").user = L"Tester";
        Cycles(1);
        EXPECT_FALSE(Running(300));
        const auto log = StopAndReadLog();
        ASSERT_EQ(Only(log, 4).size(), 1u);
        EXPECT_EQ(Only(log, 4)[0].basename, L"miner.exe");
        (void)loop;
        TearDown();
        SetUp();
    }
}

TEST_F(EngineSafety, AProcessThatCannotBeOpenedAtFirstIsJudgedOnTheNextCycles) {
    const struct {
        const char* what;
        int closedCycles;
        bool judged;
    } cases[] = {
        {"opens on the second cycle", 1, true},
        {"opens on the fifth", 4, true},
        {"still closed after five tries", 5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ControlLoop& loop = Start({{L"DisallowedProcesses", L"miner.exe"}});
        Cycles(1);
        Spawn(400, L"miner.exe").canOpen = false;
        Cycles(c.closedCycles);
        machine().FindProcess(400)->canOpen = true;
        Cycles(1);
        EXPECT_EQ(!Running(400), c.judged);
        EXPECT_EQ(loop.IgnoredProcesses().count(400), c.judged ? 0u : 1u);
        TearDown();
        SetUp();
    }
}

TEST_F(EngineSafety, ABoostNeverReachesTheProcessThatTookOverItsId) {
    ControlLoop& loop = Start({{L"BoostForegroundProcess", L"true"}});
    auto& agent = Spawn(1200, L"TarvelSessionAgent.exe");
    agent.commandLine = L"ipc0 si=1 fpid=1f4 litm=10";  // pid 500 in the foreground
    Spawn(500, L"first.exe");
    Spawn(600, L"other.exe");
    Cycles(1);
    agent.commandLine = L"ipc0 si=1 fpid=258 litm=10";  // 600 comes to the foreground
    Cycles(1);
    ASSERT_NE(machine().FindProcess(600)->priorityClass, platform::kNormalPriorityClass);

    // The boosted process ends and its id passes to a new, idle-class program.
    machine().EndProcess(600);
    sim::SimProcess& newcomer = Spawn(600, L"newcomer.exe");
    newcomer.priorityClass = platform::kIdlePriorityClass;
    agent.commandLine = L"ipc0 si=1 fpid=1f4 litm=10";
    Cycles(1);
    EXPECT_EQ(newcomer.priorityClass, platform::kIdlePriorityClass);
    (void)loop;
}

// Every minute the session map is emptied; the boosts outlive it. The process still in front
// keeps its boost, and one that left the front while the map was empty is given back.
TEST_F(EngineSafety, ForgettingTheSessionsKeepsTheBoostInFrontAndMovesTheOthers) {
    ControlLoop& loop = Start({{L"BoostForegroundProcess", L"true"}});
    auto& agent = Spawn(1200, L"TarvelSessionAgent.exe");
    agent.commandLine = L"ipc0 si=1 fpid=1f4 litm=10";  // 500
    sim::SimProcess& first = Spawn(500, L"first.exe");
    sim::SimProcess& game = Spawn(600, L"game.exe");
    sim::SimProcess& viewer = Spawn(700, L"viewer.exe");
    Cycles(1);
    agent.commandLine = L"ipc0 si=1 fpid=258 litm=10";  // the game comes to the front
    Cycles(1);
    ASSERT_EQ(game.priorityClass, platform::kAboveNormalPriorityClass);
    while (loop.CycleCounter() < 130) {  // two clearings of the map
        Cycles(1);
    }
    EXPECT_EQ(game.priorityClass, platform::kAboveNormalPriorityClass);
    EXPECT_EQ(first.priorityClass, platform::kNormalPriorityClass);

    while (loop.CycleCounter() % 60 != 0) {
        Cycles(1);
    }
    agent.commandLine = L"ipc0 si=1 fpid=2bc litm=10";  // 700, the first report after a clearing
    Cycles(2);
    EXPECT_EQ(game.priorityClass, platform::kNormalPriorityClass);
    EXPECT_EQ(viewer.priorityClass, platform::kAboveNormalPriorityClass);
}

TEST_F(EngineSafety, KeepRunningBacksOffWhileTheProgramIsNeverSeen) {
    Start({{L"KeepRunningProcesses", L"c:\\tools\\stub.exe;-x;0"}});
    std::vector<std::uint32_t> launchCycles;
    RunNotingLaunches(300, launchCycles);
    ASSERT_GE(launchCycles.size(), 6u);
    std::vector<std::uint32_t> gaps;
    for (std::size_t i = 1; i < launchCycles.size(); ++i) {
        gaps.push_back(launchCycles[i] - launchCycles[i - 1]);
    }
    EXPECT_EQ(std::vector<std::uint32_t>(gaps.begin(), gaps.begin() + 5),
              (std::vector<std::uint32_t>{1, 2, 4, 8, 16}));
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 24).size(), 1u);  // one record says it backs off
}

TEST_F(EngineSafety, TheBackOffIsCappedAndStartsOverWhenTheProgramRuns) {
    ControlLoop& loop = Start(
        {{L"KeepRunningProcesses", L"c:\\tools\\stub.exe;-x;0"}, {L"UpdateSpeedCore", L"20000"}});
    std::vector<std::uint32_t> launchCycles;
    RunNotingLaunches(150, launchCycles);
    // 20 s cycles: the five-minute cap is 15 cycles.
    ASSERT_GE(launchCycles.size(), 3u);
    EXPECT_EQ(launchCycles[launchCycles.size() - 1] - launchCycles[launchCycles.size() - 2], 15u);

    // The program shows up: the next time it is missing it is started at once.
    auto& running = Spawn(700, L"stub.exe");
    running.imagePath = L"C:\\Tools\\stub.exe";
    running.commandLine = L"\"C:\\Tools\\stub.exe\" -x";
    Cycles(2);
    machine().EndProcess(700);
    launchCycles.clear();
    const std::uint32_t missingFrom = loop.CycleCounter();
    RunNotingLaunches(missingFrom + 3, launchCycles);
    ASSERT_FALSE(launchCycles.empty());
    EXPECT_LE(launchCycles[0], missingFrom + 2);
}

}  // namespace
}  // namespace cv
