// The new-process rules in running engine cycles: disallowed processes, the Internet Explorer
// restriction, instance limits and the instance balancer, on the simulated machine.
#include <functional>

#include "EngineScenario.h"
#include "common/Format.h"
#include "platform/ProcessControl.h"
#include "texts/Language.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

class NewProcessRulesScenario : public test::EngineScenario {
  protected:
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image,
                           const std::wstring& user = L"alice") {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        process.user = user;
        return process;
    }
    void Reload() { machine().SetNamedEvent(L"Local\\Corvane777"); }
    // A fresh machine for the next case of a table.
    void ResetMachine() {
        loop_.reset();
        ProcessHandleCache::Instance().Clear();
        SetUp();
    }
};

// --- Disallowed processes -----------------------------------------------------------------

TEST_F(NewProcessRulesScenario, DisallowedProcessIsTerminatedOnceAndLogged) {
    const struct {
        const char* what;
        Keys extra;
        bool logged;
    } cases[] = {
        {"logged", {}, true},
        {"its log switch off", {{L"LogProcessesDisallowed", L"false"}}, false},
        {"all logging off", {{L"LogDisable", L"true"}}, false},
    };
    for (const auto& c : cases) {
        ResetMachine();
        Keys keys = {{L"DisallowedProcesses", L"miner.exe,game*.exe"},
                     {L"AllowedProcesses", L"gamebar.exe"}};
        keys.insert(c.extra.begin(), c.extra.end());
        ControlLoop& loop = Start(keys);
        Spawn(100, L"explorer.exe");
        Cycles(1);
        sim::SimProcess& miner = Spawn(200, L"Miner.exe");
        miner.parentPid = 100;
        miner.terminationDelayMs = 2500;  // it lingers for a few cycles while it ends
        sim::SimProcess& gameBar = Spawn(210, L"gamebar.exe");  // both lists: it stays
        Cycles(1);
        // A re-apply while it is still ending neither terminates nor logs it again.
        Reload();
        Cycles(1);
        ASSERT_FALSE(miner.ended) << c.what;
        ASSERT_NE(loop.Processes().Find(200), nullptr) << c.what;
        EXPECT_TRUE(loop.Processes().Find(200)->terminatedByEngine) << c.what;
        Cycles(2);
        EXPECT_TRUE(miner.ended) << c.what;
        EXPECT_EQ(miner.exitCode, 1u) << c.what;
        EXPECT_FALSE(gameBar.ended) << c.what;
        EXPECT_EQ(loop.Processes().Find(200), nullptr) << c.what;

        const auto log = StopAndReadLog();
        EXPECT_TRUE(Only(log, 5).empty()) << c.what;
        const auto terminated = Only(log, 4);
        if (!c.logged) {
            EXPECT_TRUE(terminated.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(terminated.size(), 1u) << c.what;
        EXPECT_EQ(terminated[0].pid, 200u);
        EXPECT_EQ(terminated[0].basename, L"Miner.exe");  // the image name as the system has it
        EXPECT_EQ(terminated[0].user, L"alice");
        EXPECT_EQ(terminated[0].path, L"c:\\programs\\miner.exe");
        EXPECT_FALSE(terminated[0].commandLine.empty());
        EXPECT_EQ(terminated[0].info,
                  LoadResourceString(318) + L" - " +
                      FormatText(LoadResourceString(944), L"explorer.exe", 100u));
    }
}

TEST_F(NewProcessRulesScenario, FailedTerminationIsLoggedOnceAndRetriedOnlyOnReapply) {
    const struct {
        const char* what;
        bool forcedMode;
        std::function<void()> reapply;
    } cases[] = {
        {"reload", false, [this] { Reload(); }},
        {"new process", false, [this] { Spawn(300, L"other.exe"); }},
        {"ForcedMode", true, [] {}},
    };
    for (const auto& c : cases) {
        ResetMachine();
        ControlLoop& loop = Start({{L"DisallowedProcesses", L"miner.exe"},
                                   {L"ForcedMode", c.forcedMode ? L"true" : L"false"}});
        Cycles(1);
        // The handle opens, but the system refuses the termination itself.
        machine().FailCall("TerminateProcess", L"miner.exe");
        sim::SimProcess& miner = Spawn(200, L"miner.exe");
        Cycles(3);
        ASSERT_FALSE(miner.ended) << c.what;
        ASSERT_NE(loop.Processes().Find(200), nullptr) << c.what;
        EXPECT_FALSE(loop.Processes().Find(200)->terminatedByEngine) << c.what;

        machine().ClearFailures();
        if (!c.forcedMode) {
            Cycles(2);
            EXPECT_FALSE(miner.ended) << c.what << ": retried without a re-apply";
        }
        c.reapply();
        Cycles(1);
        EXPECT_TRUE(miner.ended) << c.what;

        const auto log = StopAndReadLog();
        const auto failed = Only(log, 5);
        ASSERT_EQ(failed.size(), 1u) << c.what;
        EXPECT_EQ(failed[0].pid, 200u);
        EXPECT_EQ(failed[0].info.rfind(LoadResourceString(318), 0), 0u) << failed[0].info;
        EXPECT_EQ(Only(log, 4).size(), 1u) << c.what;
    }
}

TEST_F(NewProcessRulesScenario, ProcessRefusingTerminationIsReportedOnceAcrossReapplies) {
    ControlLoop& loop = Start({{L"DisallowedProcesses", L"miner.exe"}});
    Cycles(1);
    sim::SimProcess& miner = Spawn(200, L"miner.exe");
    miner.deniedAccess = platform::kProcessTerminate;
    Cycles(1);
    for (int i = 0; i < 3; ++i) {
        Reload();
        Cycles(1);
    }
    EXPECT_FALSE(miner.ended);
    ASSERT_NE(loop.Processes().Find(200), nullptr);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 5).size(), 1u);
    EXPECT_TRUE(Only(log, 4).empty());
}

// --- Internet Explorer restriction -------------------------------------------------------

TEST_F(NewProcessRulesScenario, InternetExplorerRunsOnlyBesideAnExemption) {
    const struct {
        const char* what;
        Keys keys;
        bool exemptionRunning;
        bool terminated;
    } cases[] = {
        {"no exemption running",
         {{L"ProhibitInternetExplorerExceptWhenAny", L"outlook.exe"}},
         false,
         true},
        {"exemption running",
         {{L"ProhibitInternetExplorerExceptWhenAny", L"outlook.exe"}},
         true,
         false},
        {"recorded even with logging off",
         {{L"ProhibitInternetExplorerExceptWhenAny", L"outlook.exe"}, {L"LogDisable", L"true"}},
         false,
         true},
        {"no restriction configured", {}, false, false},
    };
    for (const auto& c : cases) {
        ResetMachine();
        ControlLoop& loop = Start(c.keys);
        if (c.exemptionRunning) {
            Spawn(310, L"outlook.exe");
        }
        sim::SimProcess& browser = Spawn(300, L"IExplore.exe");
        Spawn(320, L"notepad.exe");
        Cycles(3);
        EXPECT_EQ(browser.ended, c.terminated) << c.what;
        if (c.terminated) {
            EXPECT_EQ(browser.exitCode, 9u) << c.what;
            EXPECT_EQ(loop.Processes().Find(300), nullptr) << c.what;
        }
        const auto log = StopAndReadLog();
        const auto terminated = Only(log, 4);
        ASSERT_EQ(terminated.size(), c.terminated ? 1u : 0u) << c.what;
        if (c.terminated) {
            EXPECT_EQ(terminated[0].pid, 300u);
            EXPECT_EQ(terminated[0].basename, L"iexplore.exe");
            EXPECT_EQ(terminated[0].user, L"alice");
            EXPECT_EQ(terminated[0].path, L"c:\\programs\\iexplore.exe");
            EXPECT_EQ(terminated[0].commandLine, L"");
            EXPECT_EQ(terminated[0].info,
                      L"Terminated due to IE restriction and no exemption processes running.");
        }
    }
}

TEST_F(NewProcessRulesScenario, InternetExplorerIsTerminatedWhenTheExemptionEnds) {
    Start({{L"ProhibitInternetExplorerExceptWhenAny", L"outlook.exe"}});
    Spawn(310, L"outlook.exe");
    sim::SimProcess& browser = Spawn(300, L"iexplore.exe");
    Cycles(2);
    EXPECT_FALSE(browser.ended);
    machine().EndProcess(310);
    Cycles(1);  // the exemption's record leaves the table in this cycle
    Cycles(1);
    EXPECT_TRUE(browser.ended);
    sim::SimProcess& second = Spawn(330, L"iexplore.exe");
    Cycles(1);
    EXPECT_TRUE(second.ended);
    EXPECT_EQ(Only(StopAndReadLog(), 4).size(), 2u);
}

TEST_F(NewProcessRulesScenario, InternetExplorerThatRefusesIsReportedOnceAndRetried) {
    Start({{L"ProhibitInternetExplorerExceptWhenAny", L"outlook.exe"}});
    sim::SimProcess& browser = Spawn(300, L"iexplore.exe");
    browser.deniedAccess = platform::kProcessTerminate;
    Cycles(4);
    EXPECT_FALSE(browser.ended);
    browser.deniedAccess = 0;
    Cycles(1);  // tried again every cycle, without a re-apply
    EXPECT_TRUE(browser.ended);
    const auto log = StopAndReadLog();
    ASSERT_EQ(Only(log, 5).size(), 1u);
    EXPECT_EQ(Only(log, 5)[0].pid, 300u);
    EXPECT_EQ(Only(log, 4).size(), 1u);
}

// A browser the restriction ended is still listed while it goes; no other rule acts on it.
TEST_F(NewProcessRulesScenario, InternetExplorerEndedByTheRestrictionGetsNoFurtherRules) {
    Start({{L"ProhibitInternetExplorerExceptWhenAny", L"outlook.exe"},
           {L"DefaultPriorities", L"iexplore.exe,Below Normal"},
           {L"DefaultMemoryPriorities", L"iexplore.exe,2"}});
    sim::SimProcess& browser = Spawn(300, L"iexplore.exe");
    browser.terminationDelayMs = 2500;
    Cycles(4);
    EXPECT_TRUE(browser.ended);
    const auto log = StopAndReadLog();
    ASSERT_EQ(Only(log, 4).size(), 1u);
    for (const auto& action : log) {
        if (action.pid == 300) {
            EXPECT_TRUE(action.actionId == 4 || action.actionId == 76) << action.actionId;
        }
    }
}

// --- Instance limits ---------------------------------------------------------------------

TEST_F(NewProcessRulesScenario, ThirdCopyOfALimitTwoProgramIsClosed) {
    const struct {
        const char* what;
        bool allUsers;
        std::wstring thirdUser;
        bool closed;
    } cases[] = {
        {"same user", false, L"alice", true},
        {"same user, other case", false, L"ALICE", true},
        {"another user", false, L"bob", false},
        {"another user, every user counts", true, L"bob", true},
    };
    for (const auto& c : cases) {
        ResetMachine();
        ControlLoop& loop =
            Start({{L"InstanceLimitedProcesses", L"editor.exe;2"},
                   {L"ApplyInstanceCountLimitsToAllUsers", c.allUsers ? L"true" : L"false"}});
        Spawn(100, L"editor.exe");
        Spawn(110, L"Editor.exe");
        Cycles(1);
        ASSERT_EQ(loop.Processes().Count(), 2u) << c.what;
        sim::SimProcess& third = Spawn(120, L"editor.exe", c.thirdUser);
        Cycles(1);
        EXPECT_EQ(third.ended, c.closed) << c.what;
        EXPECT_EQ(loop.Processes().Find(120) == nullptr, c.closed) << c.what;
        EXPECT_EQ(loop.IgnoredProcesses().count(120), 0u) << c.what;

        const auto closed = Only(StopAndReadLog(), 7);
        ASSERT_EQ(closed.size(), c.closed ? 1u : 0u) << c.what;
        if (c.closed) {
            EXPECT_EQ(closed[0].pid, 120u);
            EXPECT_EQ(closed[0].basename, L"editor.exe");
            EXPECT_EQ(closed[0].user, c.thirdUser);
            EXPECT_EQ(closed[0].path, L"c:\\programs\\editor.exe");
            EXPECT_FALSE(closed[0].commandLine.empty());
            EXPECT_EQ(closed[0].info, LoadResourceString(285));
        }
    }
}

// Every pair the new copy exceeds asks it to close and records what came of it.
TEST_F(NewProcessRulesScenario, EachExceededPairOfALimitIsHandled) {
    const struct {
        const char* what;
        bool closes;
        std::size_t closedRecords;
        std::size_t failedRecords;
        std::size_t attempts;
    } cases[] = {
        {"a copy that refuses: one attempt and one failure per pair", false, 0, 2, 2},
        {"a copy that closes: nothing left for the second pair", true, 1, 0, 1},
    };
    for (const auto& c : cases) {
        ResetMachine();
        Start({{L"InstanceLimitedProcesses", L"app.exe;1,*.exe;1"},
               {L"GracefulWaitTimeInMs", L"500"}});
        Spawn(100, L"app.exe");
        Cycles(1);
        sim::SimProcess& second = Spawn(110, L"app.exe");
        machine().AddWindow(110);
        if (!c.closes) {
            second.deniedAccess = platform::kProcessTerminate;
            machine().windows.back().endsProcessOnClose = false;
        }
        Cycles(1);
        EXPECT_EQ(second.ended, c.closes) << c.what;
        EXPECT_EQ(machine().closeMessages.size(), c.attempts) << c.what;
        const auto log = StopAndReadLog();
        EXPECT_EQ(Only(log, 7).size(), c.closedRecords) << c.what;
        EXPECT_EQ(Only(log, 8).size(), c.failedRecords) << c.what;
    }
}

TEST_F(NewProcessRulesScenario, CopiesPresentAtStartAreLimitedInTheFirstCycle) {
    ControlLoop& loop = Start({{L"InstanceLimitedProcesses", L"editor.exe;2"}});
    sim::SimProcess* copies[] = {&Spawn(100, L"editor.exe"), &Spawn(110, L"editor.exe"),
                                 &Spawn(120, L"editor.exe")};
    Cycles(1);
    int ended = 0;
    for (const auto* copy : copies) {
        ended += copy->ended ? 1 : 0;
    }
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(loop.Processes().Count(), 2u);
    EXPECT_EQ(Only(StopAndReadLog(), 7).size(), 1u);
}

TEST_F(NewProcessRulesScenario, CopyOverTheLimitIsAskedToCloseBeforeItIsTerminated) {
    Start({{L"InstanceLimitedProcesses", L"editor.exe;1"}, {L"GracefulWaitTimeInMs", L"3000"}});
    Spawn(100, L"editor.exe");
    Cycles(1);
    sim::SimProcess& second = Spawn(110, L"editor.exe");
    sim::SimWindow& window = machine().AddWindow(110);
    window.closeDelayMs = 200;
    Cycles(1);
    EXPECT_TRUE(second.ended);
    EXPECT_EQ(second.exitCode, 0u);  // it closed itself: not terminated
    EXPECT_EQ(machine().closeMessages.size(), 1u);
    EXPECT_EQ(Only(StopAndReadLog(), 7).size(), 1u);
}

TEST_F(NewProcessRulesScenario, CopyThatCannotBeClosedIsLoggedAndManaged) {
    const struct {
        const char* what;
        Keys extra;
        std::size_t logged;
    } cases[] = {
        {"logged", {}, 1},
        {"its log switch off", {{L"LogInstanceLimitTerminations", L"false"}}, 0},
        {"all logging off", {{L"LogDisable", L"true"}}, 0},
    };
    for (const auto& c : cases) {
        ResetMachine();
        Keys keys = {{L"InstanceLimitedProcesses", L"editor.exe;1"}};
        keys.insert(c.extra.begin(), c.extra.end());
        ControlLoop& loop = Start(keys);
        Spawn(100, L"editor.exe");
        Cycles(1);
        sim::SimProcess& second = Spawn(110, L"editor.exe");
        second.deniedAccess = platform::kProcessTerminate;
        Cycles(1);
        EXPECT_FALSE(second.ended) << c.what;
        EXPECT_NE(loop.Processes().Find(110), nullptr) << c.what;
        const auto log = StopAndReadLog();
        EXPECT_TRUE(Only(log, 7).empty()) << c.what;
        const auto failed = Only(log, 8);
        ASSERT_EQ(failed.size(), c.logged) << c.what;
        if (c.logged != 0) {
            EXPECT_EQ(failed[0].pid, 110u);
            EXPECT_EQ(failed[0].info, LoadResourceString(286));
        }
    }
}

TEST_F(NewProcessRulesScenario, CopyClosedByOneLimitIsNotClosedAgainByTheNext) {
    Start({{L"InstanceLimitedProcesses", L"editor.exe;1,edit*;1"}});
    Spawn(100, L"editor.exe");
    Cycles(1);
    sim::SimProcess& second = Spawn(110, L"editor.exe");
    Cycles(1);
    EXPECT_TRUE(second.ended);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 7).size(), 1u);
    EXPECT_TRUE(Only(log, 8).empty());
}

// --- Instance balancer -------------------------------------------------------------------

class InstanceBalancerScenario : public NewProcessRulesScenario {
  protected:
    std::vector<std::uint64_t> Affinities(const std::vector<sim::SimProcess*>& processes) {
        std::vector<std::uint64_t> masks;
        for (const auto* process : processes) {
            masks.push_back(process->affinity);
        }
        return masks;
    }
};

TEST_F(InstanceBalancerScenario, InstancesAreSpreadAndSpreadAgainWhenTheyChange) {
    Start({{L"InstanceManagedCPUAffinities", L"worker.exe;0;0;0.00;0;N"}});
    std::vector<sim::SimProcess*> workers;
    for (const std::uint32_t pid : {400u, 130u, 220u, 310u}) {
        workers.push_back(&Spawn(pid, L"worker.exe"));
    }
    Spawn(500, L"other.exe");
    Cycles(2);
    EXPECT_EQ(Affinities(workers), (std::vector<std::uint64_t>{0xC0, 0x03, 0x0C, 0x30}));
    EXPECT_EQ(machine().FindProcess(500)->affinity, 0u);

    workers.push_back(&Spawn(600, L"worker.exe"));
    Cycles(2);
    EXPECT_EQ(Affinities(workers), (std::vector<std::uint64_t>{0x08, 0x01, 0x02, 0x04, 0x10}));

    const auto spread = Only(StopAndReadLog(), 86);
    ASSERT_EQ(spread.size(), 2u);  // unchanged instances are not spread again
    EXPECT_EQ(spread[0].info, FormatText(LoadResourceString(1182), 4u, 2u));
    EXPECT_EQ(spread[1].info, FormatText(LoadResourceString(1182), 5u, 1u));
    EXPECT_EQ(spread[0].basename, L"worker.exe");
    EXPECT_EQ(spread[0].pid, 4242u);
    EXPECT_EQ(spread[0].user, L"Tester");
}

TEST_F(InstanceBalancerScenario, AlternateFlagLeavesEveryOtherProcessor) {
    Start({{L"InstanceManagedCPUAffinities", L"worker.exe;0;0;0.00;0;Y"}});
    std::vector<sim::SimProcess*> workers;
    for (const std::uint32_t pid : {100u, 110u, 120u, 130u}) {
        workers.push_back(&Spawn(pid, L"worker.exe"));
    }
    Cycles(1);
    EXPECT_EQ(Affinities(workers), (std::vector<std::uint64_t>{0x01, 0x04, 0x10, 0x40}));
}

TEST_F(InstanceBalancerScenario, ThresholdIgnoresIdleInstances) {
    Start({{L"InstanceManagedCPUAffinities", L"worker.exe;0;0;10.00;0;N"}});
    sim::SimProcess& busy = Spawn(100, L"worker.exe");
    sim::SimProcess& idle = Spawn(110, L"worker.exe");
    Cycles(2);
    EXPECT_EQ(busy.affinity, 0u);
    // A quarter of the 8 processors over the next cycle; the balancer reads it one cycle later.
    machine().AddCpuTime(100, 20'000'000);
    Cycles(2);
    EXPECT_EQ(busy.affinity, 0xFFu);  // the only instance gets every processor
    EXPECT_EQ(idle.affinity, 0u);
    const auto spread = Only(StopAndReadLog(), 86);
    ASSERT_EQ(spread.size(), 1u);
    EXPECT_EQ(spread[0].info, FormatText(LoadResourceString(1182), 1u, 8u));
}

TEST_F(InstanceBalancerScenario, OnlyAChangeOfTheBlockRulesSpreadsAgainOnReload) {
    const struct {
        const char* what;
        std::wstring rule;
        std::size_t spreads;
    } cases[] = {
        {"same rule", L"worker.exe;0;0;0.00;0;N", 1},
        {"first processor and alternate only", L"worker.exe;0;0;0.00;2;Y", 1},
        {"fixed count", L"worker.exe;1;2;0.00;0;N", 2},
        {"another pattern", L"work*.exe;0;0;0.00;0;N", 2},
    };
    for (const auto& c : cases) {
        ResetMachine();
        Start({{L"InstanceManagedCPUAffinities", L"worker.exe;0;0;0.00;0;N"}});
        Spawn(100, L"worker.exe");
        Spawn(110, L"worker.exe");
        Cycles(2);
        WriteConfig({{L"InstanceManagedCPUAffinities", c.rule}});
        Reload();
        Cycles(3);
        EXPECT_EQ(Only(StopAndReadLog(), 86).size(), c.spreads) << c.what;
    }
}

}  // namespace
}  // namespace cv
