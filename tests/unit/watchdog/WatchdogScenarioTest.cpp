// Watchdog rules and the CPU limiter in running engine cycles on the simulated machine: CPU use
// and memory are driven cycle by cycle, and the test watches when a rule acts, what it does to
// the process and what is logged.
#include <bit>

#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "control/ProcessControl.h"
#include "platform/ProcessControl.h"
#include "texts/KernelObjectNames.h"
#include "watchdog/WatchdogRules.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

// 8 processors, 1 s cycles: 8 x 10^7 units of 100 ns per cycle are the whole machine.
constexpr std::uint64_t kMachinePerCycle = 8ull * 10'000'000;
constexpr std::uint64_t kMegabyte = 1024 * 1024;

class WatchdogScenario : public test::EngineScenario {
  protected:
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image = L"app.exe") {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        return process;
    }
    // Cycles in which the process takes `share` percent of the machine.
    void Busy(std::uint32_t pid, std::uint64_t share, int cycles = 1) {
        for (int i = 0; i < cycles; ++i) {
            machine().AddCpuTime(pid, kMachinePerCycle * share / 100);
            Cycles(1);
        }
    }
    std::size_t Count(std::uint32_t action) { return Only(StopAndReadLog(), action).size(); }
    void Reload(const Keys& keys) {
        WriteConfig(keys);
        machine().SetNamedEvent(names::kReloadNowEvent);
    }
};

TEST_F(WatchdogScenario, MemoryRulesCompareTheCounterTheirKindNames) {
    const struct {
        const char* what;
        int kind;
        std::uint64_t workingSetMb;
        std::uint64_t privateMb;
        bool acts;
    } cases[] = {
        {"working set over", 0, 200, 2, true},    {"working set under", 0, 4, 200, false},
        {"private bytes over", 1, 4, 200, true},  {"private bytes under", 1, 200, 2, false},
        {"either: working set", 3, 200, 2, true}, {"either: private bytes", 3, 4, 200, true},
        {"either: neither", 3, 4, 2, false},      {"unknown kind compares 0", 2, 200, 200, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start({{L"WatchdogRules2",
                L"app.exe;7;1;100;0;0;" + std::to_wstring(c.kind) + L";1;-;-;-;-"}});
        auto& app = Spawn(300);
        app.workingSet = c.workingSetMb * kMegabyte;
        app.pagefileUsage = c.privateMb * kMegabyte;
        Cycles(3);
        // Notify runs once per episode.
        EXPECT_EQ(Count(15), c.acts ? 1u : 0u);
        TearDown();
        SetUp();
    }
}

TEST_F(WatchdogScenario, AStopRuleKeepsLaterRulesFromRunning) {
    // Both hold for any process that is not busy.
    const std::wstring stop = L"app.exe;6;0;101;0;0;0;2;-;-;-;-";
    const std::wstring notify = L"app.exe;7;0;100;0;0;0;2;-;-;-;-";
    const struct {
        const char* what;
        std::wstring rules;
        std::size_t notifications;
    } cases[] = {
        {"stop first", stop + L"," + notify, 0},
        {"stop after", notify + L"," + stop, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start({{L"WatchdogRules2", c.rules}});
        Spawn(300);
        Cycles(3);
        EXPECT_EQ(Count(15), c.notifications);
        TearDown();
        SetUp();
    }
}

TEST_F(WatchdogScenario, ABelowRuleEndsAnIdleProcessOnlyAfterItsDuration) {
    Start({{L"WatchdogRules2", L"app.exe;0;0;1;60000;0;0;2;-;-;-;-"}});
    sim::SimProcess& idle = Spawn(300);
    Spawn(301);
    Busy(301, 50, 58);
    EXPECT_FALSE(idle.ended) << "not before a minute has passed";
    Busy(301, 50, 4);
    EXPECT_TRUE(idle.ended);
    EXPECT_EQ(idle.exitCode, kTerminatedExitCode);
    const auto log = StopAndReadLog();
    const auto terminations = Only(log, 9);
    ASSERT_EQ(terminations.size(), 1u);
    EXPECT_EQ(terminations[0].pid, 300u) << "the busy one stays";
    EXPECT_NE(terminations[0].info.find(L"60 seconds"), std::wstring::npos);
}

TEST_F(WatchdogScenario, ATerminationThatFailsIsNeverRecordedAsDoneAndSaidOnce) {
    Start({{L"WatchdogRules2", L"app.exe;0;0;1;2000;0;0;2;-;-;-;-"}});
    sim::SimProcess& idle = Spawn(300);
    idle.deniedAccess = platform::kProcessTerminate;
    Spawn(301);
    Busy(301, 50, 8);
    EXPECT_FALSE(idle.ended);
    const auto log = StopAndReadLog();
    EXPECT_TRUE(Only(log, 9).empty());
    EXPECT_EQ(Only(log, CV_ACTION_TOOK_PROCESS_CHANGE_ERROR).size(), 1u);
}

TEST_F(WatchdogScenario, OnceAnEpisodeActionsRunAgainOnlyAfterTheConditionLapsed) {
    Start({{L"WatchdogRules2", L"app.exe;4;0;20;2000;64;0;1;-;-;-;-"}});
    sim::SimProcess& app = Spawn(300);
    Cycles(1);
    Busy(300, 40, 4);
    EXPECT_EQ(app.priorityClass, platform::kIdlePriorityClass);
    app.priorityClass = platform::kNormalPriorityClass;
    Busy(300, 40, 4);
    EXPECT_EQ(app.priorityClass, platform::kNormalPriorityClass) << "same episode";
    Busy(300, 0, 1);
    Busy(300, 40, 4);
    EXPECT_EQ(app.priorityClass, platform::kIdlePriorityClass) << "a new episode";
    EXPECT_EQ(Count(13), 2u);
}

TEST_F(WatchdogScenario, LaunchCommandLineTakesTheProcessFacts) {
    LaunchSubject subject;
    subject.pid = 300;
    subject.imageName = L"App.exe";
    subject.path = L"c:\\programs\\app.exe";
    subject.commandLine = L"app.exe /x";
    subject.sessionId = 2;
    const struct {
        const wchar_t* arguments;
        const wchar_t* commandLine;
    } cases[] = {
        {L"%1 %2", L"\"c:\\tools\\report.exe\" 300 App.exe"},
        {L"--path=%3 --cmd=\"%4\"",
         L"\"c:\\tools\\report.exe\" --path=c:\\programs\\app.exe --cmd=\"app.exe /x\""},
        {L"%5/%sessionid%", L"\"c:\\tools\\report.exe\" 2/2"},
        {L"%1%1", L"\"c:\\tools\\report.exe\" 300300"},
        {L"", L"\"c:\\tools\\report.exe\" "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WatchdogLaunchCommandLine(L"c:\\tools\\report.exe", c.arguments, subject),
                  c.commandLine);
    }
}

// A restart starts the program's path again with the arguments it had; an unquoted path with
// blanks must not leave part of itself among them.
TEST_F(WatchdogScenario, ARestartKeepsOnlyTheArgumentsOfTheCommandLine) {
    const std::wstring path = L"C:\\Program Files\\a.exe";
    const struct {
        const wchar_t* commandLine;
        const wchar_t* arguments;
    } cases[] = {
        {L"\"C:\\Program Files\\a.exe\" -x", L"-x"},
        {L"C:\\Program Files\\a.exe -x  y", L"-x  y"},
        {L"c:\\program files\\A.EXE -x", L"-x"},
        {L"C:\\Program Files\\a -x", L"-x"},
        {L"C:\\Program Files\\a.exe", L""},
        {L"a.exe -x", L"-x"},
        {L"C:\\Program Files\\a.exe2 -x", L"Files\\a.exe2 -x"},  // another program
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WatchdogRestartArguments(c.commandLine, path), c.arguments) << c.commandLine;
    }
}

TEST_F(WatchdogScenario, ALaunchRuleStartsItsProgramOncePerEpisodeEvenWithLoggingOff) {
    Start({{L"WatchdogRules2", L"app.exe;8;0;1;0;0;0;2;c:\\tools\\report.exe;%1 %sessionid%;-;-"},
           {L"LogDisable", L"true"}});
    sim::SimProcess& app = Spawn(300);
    app.sessionId = 3;
    Cycles(3);
    ASSERT_EQ(machine().launches.size(), 1u);
    EXPECT_EQ(machine().launches[0].parameters, L"\"c:\\tools\\report.exe\" 300 3");
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 77).size(), 1u);
    machine().FailCall("CreateProcessAsUser");
    machine().FailCall("CreateProcess");
    Start({{L"WatchdogRules2", L"app.exe;8;0;1;0;0;0;2;c:\\tools\\report.exe;%1;-;-"}});
    Cycles(2);
    EXPECT_EQ(Count(78), 1u);
}

// A reload that keeps the rule keeps its episode (saving the configuration, or anything else that
// reloads it, does not start the program again); a rule the reload changed begins anew.
TEST_F(WatchdogScenario, AReloadThatKeepsTheRuleKeepsItsEpisode) {
    const std::wstring rule = L"app.exe;8;0;1;0;0;0;2;c:\\tools\\report.exe;%1;-;-";
    Start({{L"WatchdogRules2", rule}});
    Spawn(300);
    Cycles(2);
    ASSERT_EQ(machine().launches.size(), 1u);
    for (int reload = 0; reload < 3; ++reload) {
        Reload({{L"WatchdogRules2", rule}, {L"LogDisable", reload % 2 == 0 ? L"true" : L"false"}});
        Cycles(2);
    }
    EXPECT_EQ(machine().launches.size(), 1u);
    // Another rule before it moves it in the list: still the same rule.
    Reload({{L"WatchdogRules2", L"other.exe;7;0;1;0;0;0;2;-;-;-;-," + rule}});
    Cycles(2);
    EXPECT_EQ(machine().launches.size(), 1u);
    Reload({{L"WatchdogRules2", L"app.exe;8;0;1;0;0;0;2;c:\\tools\\report.exe;%1 x;-;-"}});
    Cycles(2);
    EXPECT_EQ(machine().launches.size(), 2u);
}

TEST_F(WatchdogScenario, ACpuLimitRemovesProcessorsForItsDuration) {
    Start({{L"CPULimitRules", L"app.exe;10;2000;2;3000"}});
    sim::SimProcess& app = Spawn(300);
    app.affinity = 0xF;
    Cycles(1);
    Busy(300, 50, 4);
    EXPECT_EQ(std::popcount(app.affinity), 2);
    EXPECT_EQ(app.affinity & ~std::uint64_t{0xF}, 0u);
    Busy(300, 50, 4);
    EXPECT_EQ(app.affinity, 0xFu) << "given back after the duration";
    const auto log = StopAndReadLog();
    EXPECT_GE(Only(log, 89).size(), 1u);
    EXPECT_GE(Only(log, 91).size(), 1u);
}

// A limit that cannot apply is tried again every time the process has been busy long enough;
// the failure is logged when it begins, and again only once the limit has applied in between.
TEST_F(WatchdogScenario, ALimitThatCannotApplyIsLoggedOncePerEpisode) {
    Start({{L"CPULimitRules", L"app.exe;10;1000;4;2000"}});
    sim::SimProcess& app = Spawn(300);
    app.affinity = 0xF;  // four processors cannot lose four
    Cycles(1);
    Busy(300, 50, 60);
    EXPECT_EQ(app.affinity, 0xFu);
    // What is queued so far is written.
    loop_->Log().StopWriter();
    auto log = ReadLog();
    ASSERT_TRUE(loop_->Log().StartWriter());
    EXPECT_EQ(Only(log, CV_ACTION_TOOK_CPULIMIT_ERROR).size(), 1u);
    EXPECT_EQ(Only(log, CV_ACTION_TOOK_CPULIMIT_SUCCESS).size(), 0u);

    // The failure stops: with eight processors the limit applies and ends after its duration.
    app.affinity = 0xFF;
    Busy(300, 50, 3);
    ASSERT_EQ(std::popcount(app.affinity), 4);
    Busy(300, 0, 3);
    ASSERT_EQ(app.affinity, 0xFFu);
    // And comes back: a new episode, logged once more however long it lasts.
    app.affinity = 0xF;
    Busy(300, 50, 60);
    log = StopAndReadLog();
    EXPECT_EQ(Only(log, CV_ACTION_TOOK_CPULIMIT_ERROR).size(), 2u);
    EXPECT_EQ(Only(log, CV_ACTION_TOOK_CPULIMIT_SUCCESS).size(), 1u);
}

TEST_F(WatchdogScenario, ChangedLimitRulesGiveEveryLimitedProcessItsMaskBack) {
    Start({{L"CPULimitRules", L"app.exe;10;1000;1;0"}});
    sim::SimProcess& first = Spawn(300);
    sim::SimProcess& second = Spawn(301);
    first.affinity = 0xFF;
    second.affinity = 0x0F;
    Cycles(1);
    for (int i = 0; i < 4; ++i) {
        machine().AddCpuTime(300, kMachinePerCycle / 2);
        machine().AddCpuTime(301, kMachinePerCycle / 2);
        Cycles(1);
    }
    EXPECT_EQ(std::popcount(first.affinity), 7);
    EXPECT_EQ(std::popcount(second.affinity), 3);
    Reload({{L"CPULimitRules", L"app.exe;90;1000;1;0"}});
    Cycles(1);
    EXPECT_EQ(first.affinity, 0xFFu);
    EXPECT_EQ(second.affinity, 0x0Fu);
}

}  // namespace
}  // namespace cv
