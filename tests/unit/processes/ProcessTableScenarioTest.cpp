#include "EngineScenario.h"
#include "actionlog/Statistics.h"
#include "common/Format.h"
#include "keeprunning/ProcessExit.h"
#include "platform/Clock.h"
#include "platform/ProcessControl.h"

namespace cv {
namespace {

class ProcessTableScenario : public test::EngineScenario {
  protected:
    const std::map<std::wstring, std::wstring> kLogBoth = {{L"LogProcessExecutions", L"true"},
                                                           {L"LogProcessTerminations", L"true"}};

    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image, std::uint32_t parent = 4) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = parent;
        return process;
    }
};

TEST_F(ProcessTableScenario, ProcessesAppearAndVanishBetweenCycles) {
    Spawn(100, L"early.exe");
    ControlLoop& loop = Start(kLogBoth);
    Cycles(1);
    ASSERT_NE(loop.Processes().Find(100), nullptr);  // present at start: judged, not logged

    Spawn(200, L"Late.exe", 100);
    Cycles(1);
    const ProcessRecord* late = loop.Processes().Find(200);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->name, L"late.exe");
    EXPECT_EQ(late->path, L"c:\\programs\\late.exe");
    EXPECT_EQ(loop.Tree().ParentOf(200), 100u);

    // A process that starts and ends between two cycles is never seen.
    Spawn(300, L"brief.exe");
    machine().EndProcess(300);

    machine().AdvanceClock(60'000);
    machine().AddCpuTime(200, 30'000'000);
    machine().EndProcess(200);
    Cycles(1);
    EXPECT_EQ(loop.Processes().Find(200), nullptr);
    EXPECT_EQ(loop.Tree().NameOf(200), L"");

    const auto log = StopAndReadLog();
    const auto started = Only(log, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].pid, 200u);
    EXPECT_EQ(started[0].basename, L"late.exe");
    EXPECT_EQ(started[0].info, FormatText(LoadResourceString(944), L"early.exe", 100u));
    const auto ended = Only(log, 76);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].pid, 200u);
    EXPECT_NE(ended[0].info.find(L"1 minutes"), std::wstring::npos) << ended[0].info;
    EXPECT_GT(ReadCounter(L"ProcessInfo_TotalRuntime"), 0u);
}

TEST_F(ProcessTableScenario, ExitRecordsCountTheCpuUpToTheEnd) {
    ControlLoop& loop = Start(kLogBoth);
    Cycles(1);
    const std::uint64_t created = Spawn(200, L"worker.exe").createTime;
    Cycles(1);
    ASSERT_NE(loop.Processes().Find(200), nullptr);
    // All of it used after the last sample, in the cycle in which it ends.
    machine().AddCpuTime(200, 40'000'000);
    machine().EndProcess(200);
    Cycles(1);
    const std::uint64_t runTime = platform::SystemTimeAsFileTime() - created;
    const auto ended = Only(StopAndReadLog(), 76);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].info, FormatText(LoadResourceString(952), FormatDuration(runTime),
                                        AverageCpuPercent(40'000'000, runTime, 8)));
}

TEST_F(ProcessTableScenario, ARecordNeverActsOnANewcomerWithItsId) {
    Spawn(700, L"old.exe");
    ControlLoop& loop = Start({{L"DefaultPriorities", L"old.exe,High"},
                               {L"ForcedMode", L"true"},
                               {L"LogProcessTerminations", L"true"}});
    Cycles(1);
    EXPECT_EQ(machine().FindProcess(700)->priorityClass, platform::kHighPriorityClass);
    machine().FindProcess(700)->threadCount = 0;  // ending: its handle is given back
    Cycles(1);
    machine().AdvanceClock(10);
    Spawn(700, L"newcomer.exe");
    Cycles(2);  // the old record ends; the newcomer is judged as a new process
    EXPECT_EQ(machine().FindProcess(700)->priorityClass, platform::kNormalPriorityClass);
    ASSERT_NE(loop.Processes().Find(700), nullptr);
    EXPECT_EQ(loop.Processes().Find(700)->name, L"newcomer.exe");
    const auto ended = Only(StopAndReadLog(), 76);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].basename, L"old.exe");
}

TEST_F(ProcessTableScenario, UntrackedParentAndRepeatedPids) {
    Spawn(50, L"resident.exe");  // the parent text needs a non-empty table
    ControlLoop& loop = Start(kLogBoth);
    Cycles(1);
    Spawn(400, L"orphan.exe", 9999);
    Cycles(1);
    ASSERT_NE(loop.Processes().Find(400), nullptr);

    // The id is reused between two cycles: the old record ends and the new process is judged
    // afresh in the same cycle.
    machine().AddProcess(400, L"reused.exe").parentPid = 4;
    Cycles(1);
    ASSERT_NE(loop.Processes().Find(400), nullptr);
    EXPECT_EQ(loop.Processes().Find(400)->name, L"reused.exe");

    const auto log = StopAndReadLog();
    const auto started = Only(log, 1);
    ASSERT_EQ(started.size(), 1u);  // the same pid twice in a row is logged once
    EXPECT_EQ(started[0].info, L"Parent PID 9999");
    const auto ended = Only(log, 76);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].basename, L"orphan.exe");
}

TEST_F(ProcessTableScenario, ServiceHostAndRundllNames) {
    ControlLoop& loop = Start();
    Cycles(1);
    Spawn(500, L"svchost.exe").commandLine = L"C:\\Windows\\system32\\svchost.exe -k netsvcs -p";
    Spawn(501, L"svchost.exe").commandLine = L"svchost.exe -k";
    Spawn(502, L"rundll32.exe").commandLine = L"\"C:\\Windows\\rundll32.exe\" Shell32.dll,Control";
    Cycles(1);
    EXPECT_EQ(loop.Processes().Find(500)->name, L"svchost.exe (netsvcs -p)");
    EXPECT_EQ(loop.Processes().Find(501)->name, L"svchost.exe");
    EXPECT_EQ(loop.Processes().Find(502)->name, L"rundll32.exe (shell32.dll)");
}

TEST_F(ProcessTableScenario, PathReadLaterIsRetriedAndLogged) {
    ControlLoop& loop = Start(kLogBoth);
    Cycles(1);
    Spawn(600, L"slow.exe").pathReadable = false;
    Cycles(2);
    EXPECT_EQ(loop.Processes().Find(600)->path, L"");
    machine().FindProcess(600)->pathReadable = true;
    Cycles(1);
    EXPECT_EQ(loop.Processes().Find(600)->path, L"c:\\programs\\slow.exe");
    Cycles(5);
    const auto started = Only(StopAndReadLog(), 1);
    ASSERT_EQ(started.size(), 1u);  // the repeat filter holds back the second record
}

TEST_F(ProcessTableScenario, PathNeverReadStopsAfterSixAttempts) {
    ControlLoop& loop = Start();
    Cycles(1);
    Spawn(610, L"hidden.exe").pathReadable = false;
    Cycles(10);
    EXPECT_EQ(loop.Processes().Find(610)->pathRetries, 6);
}

TEST_F(ProcessTableScenario, ProblematicProcessesAndOtherUsers) {
    struct Case {
        const char* what;
        std::map<std::wstring, std::wstring> keys;
        std::uint32_t pid;
        std::wstring image;
        std::wstring user;
        bool canOpen;
        bool managed;
    };
    const Case cases[] = {
        {"low id, filter off", {}, 4, L"system.exe", L"Tester", true, true},
        {"low id, filter on",
         {{L"IgnoreProblematicProcesses", L"true"}},
         4,
         L"system.exe",
         L"Tester",
         true,
         false},
        {"protected name, filter on",
         {{L"IgnoreProblematicProcesses", L"true"}},
         800,
         L"CSRSS.EXE",
         L"Tester",
         true,
         false},
        {"protected name, filter off", {}, 800, L"csrss.exe", L"Tester", true, true},
        {"unopenable, filter on",
         {{L"IgnoreProblematicProcesses", L"true"}},
         801,
         L"x.exe",
         L"Tester",
         false,
         false},
        {"unopenable, filter off (never alive)", {}, 801, L"x.exe", L"Tester", false, false},
        {"protected game", {}, 802, L"start_protected_game.exe", L"Tester", true, false},
        {"other user, all users", {}, 803, L"y.exe", L"someone", true, true},
        {"other user, current only",
         {{L"ManageOnlyCurrentUser", L"true"}},
         803,
         L"y.exe",
         L"someone",
         true,
         false},
        {"same user, current only",
         {{L"ManageOnlyCurrentUser", L"true"}},
         803,
         L"y.exe",
         L"tester",
         true,
         true},
    };
    for (const auto& c : cases) {
        machine().Reset();
        ResetEngineProcessValues();
        ProcessValues().ConfigFolderOverride = kConfigFolder;
        ProcessValues().LogFolderOverride = kLogFolder;
        ProcessHandleCache::Instance().Clear();
        auto& process = Spawn(c.pid, c.image);
        process.user = c.user;
        process.canOpen = c.canOpen;
        ControlLoop& loop = Start(c.keys);
        Cycles(1);
        EXPECT_EQ(loop.Processes().Find(c.pid) != nullptr, c.managed) << c.what;
        EXPECT_EQ(loop.IgnoredProcesses().count(c.pid) != 0, !c.managed) << c.what;
        loop_.reset();
    }
}

TEST_F(ProcessTableScenario, AnotherUsersProcessStaysIgnoredUntilAReload) {
    auto& process = Spawn(900, L"z.exe");
    process.user = L"someone";
    ControlLoop& loop = Start({{L"ManageOnlyCurrentUser", L"true"}});
    Cycles(1);
    machine().FindProcess(900)->user = L"Tester";  // a different account now, say
    Cycles(3);
    EXPECT_EQ(loop.Processes().Find(900), nullptr);
    machine().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_NE(loop.Processes().Find(900), nullptr);
}

TEST_F(ProcessTableScenario, SessionAgentsReportTheirLastInput) {
    // The machine has been up longer than the ticks the agent reports.
    machine().AdvanceClock(2'000'000);
    auto& agent = Spawn(1200, L"TarvelSessionAgent.exe");
    agent.commandLine = L"ipc0 si=1 fpid=1a2b litm=10";
    ControlLoop& loop = Start();
    Cycles(1);
    ASSERT_TRUE(loop.Processes().Find(1200)->isSessionAgent);
    EXPECT_EQ(loop.LastInputTick(), 16u);
    // The agent's command line is read afresh every cycle; the tick only rises.
    machine().FindProcess(1200)->commandLine = L"ipc0 si=1 fpid=1a2b litm=12ab34";
    Cycles(1);
    EXPECT_EQ(loop.LastInputTick(), 1223476u);
    machine().FindProcess(1200)->commandLine = L"ipc0 si=1 fpid=1a2b litm=5";
    Cycles(1);
    EXPECT_EQ(loop.LastInputTick(), 1223476u);
}

TEST_F(ProcessTableScenario, HandlesAreClosedWithTheirRecords) {
    ControlLoop& loop = Start();
    Cycles(1);
    for (std::uint32_t pid = 1000; pid < 1010; ++pid) {
        Spawn(pid, L"many.exe");
    }
    Cycles(1);
    EXPECT_EQ(loop.Processes().Count(), 10u);
    for (std::uint32_t pid = 1000; pid < 1010; ++pid) {
        machine().EndProcess(pid);
    }
    Cycles(1);
    EXPECT_EQ(loop.Processes().Count(), 0u);
    EXPECT_EQ(ProcessHandleCache::Instance().Size(), 0u);
}

}  // namespace
}  // namespace cv
