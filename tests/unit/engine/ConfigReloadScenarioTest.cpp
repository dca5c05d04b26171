#include "EngineScenario.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "config/ConfigDocument.h"
#include "platform/KernelObjects.h"
#include "platform/Threads.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

class ConfigReload : public test::EngineScenario {
  protected:
    // Waits (in real time) for the folder watcher's reload request, without consuming it.
    static bool WatcherSignalled(ControlLoop& loop) {
        auto& machine = sim::Machine::Get();
        return machine.WaitUntil([&] {
            const auto event = machine.FindObject(loop.Storage().ConfigReloadEvent());
            return event != nullptr && event->signalled;
        });
    }
};

TEST_F(ConfigReload, StartupRecordsAndTheFirstLoad) {
    ControlLoop& loop = Start({{L"UpdateSpeedCore", L"250"}});
    EXPECT_EQ(loop.LoadResult(), 0);
    EXPECT_EQ(loop.RefreshInterval(), 250u);
    const auto log = StopAndReadLog();
    // The start records, and the stop record the shutdown makes last.
    ASSERT_EQ(Ids(log), (std::vector<std::uint32_t>{59, 58, 60, 113}));
    EXPECT_EQ(log[0].info, FormatText(LoadResourceString(307), L"C:\\Cfg\\corvex.ini"));
    EXPECT_EQ(log[0].basename, L"vigilor.exe");
    EXPECT_EQ(log[0].pid, 4242u);
    EXPECT_EQ(log[0].path, L"C:\\Program Files\\Corvane\\vigilor.exe");
    EXPECT_EQ(log[1].info, L"Corvane v1.0.0 (5990600) Vigilor process-management engine");
    EXPECT_EQ(log[2].info, FormatText(LoadResourceString(328), LoadResourceString(250)));
    EXPECT_EQ(log[2].path, L"");
    EXPECT_EQ(log[3].info, L"Core engine stopped");
    EXPECT_EQ(log[3].basename, L"vigilor.exe");
}

TEST_F(ConfigReload, MissingFileIsCreatedAndLoggedWithItsCode) {
    StartWithoutFile();
    const auto bytes = sim::FileBytes(ConfigPath());
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, ConfigWith({}));
    const auto log = StopAndReadLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].info, L"ERROR loading configuration - code 2");
    EXPECT_EQ(Ids(log), (std::vector<std::uint32_t>{59, 59, 58, 60, 113}));
}

TEST_F(ConfigReload, AFirstStartOnAHybridMachineWritesTheHybridDefaults) {
    // Four performance cores and four efficiency cores.
    sim::Machine::Get().SetProcessorGroups({{1, 1, 1, 1, 0, 0, 0, 0}});
    ControlLoop& loop = StartWithoutFile();
    const auto& ooc = loop.Settings().OutOfControlProcessRestraint;
    EXPECT_FALSE(ooc.OocOn);
    EXPECT_EQ(ooc.PerProcessUsageBeforeRestraint, 30u);  // twice the four performance cores' 15
    EXPECT_EQ(ooc.TimeOverQuotaBeforeRestraint, 2700u);
    EXPECT_EQ(ooc.MinimumTimeOfRestraint, 3600u);
    // What the file now says is what a later start reads.
    const auto bytes = sim::FileBytes(ConfigPath());
    ASSERT_TRUE(bytes.has_value());
    ConfigDocument written;
    ASSERT_TRUE(ParseConfigBytes(*bytes, written));
    const auto value = [&](const std::wstring& key) {
        for (std::size_t i = 0; i < written.keys.size(); ++i) {
            if (written.keys[i] == key) {
                return written.values[i];
            }
        }
        return std::wstring(L"(missing)");
    };
    EXPECT_EQ(value(L"PerProcessUsageBeforeRestraint"), L"30");
    EXPECT_EQ(value(L"TimeOverQuotaBeforeRestraint"), L"2700");
}

TEST_F(ConfigReload, ManageOnlyCurrentUserNamesTheEngineUser) {
    Start({{L"ManageOnlyCurrentUser", L"true"}});
    const auto log = StopAndReadLog();
    ASSERT_EQ(Only(log, 60).size(), 1u);
    EXPECT_EQ(Only(log, 60)[0].info, FormatText(LoadResourceString(328), L"Tester"));
}

TEST_F(ConfigReload, LogDisableSuppressesTheStartupRecords) {
    Start({{L"LogDisable", L"true"}});
    EXPECT_TRUE(StopAndReadLog().empty());
}

TEST_F(ConfigReload, ChangeSignalsReloadAfterAPause) {
    ControlLoop& loop = Start();
    Cycles(1);
    const struct {
        const char* what;
        std::function<void()> signal;
    } signals[] = {
        {"Corvane777", [] { sim::Machine::Get().SetNamedEvent(L"Local\\Corvane777"); }},
        {"reload now", [] { sim::Machine::Get().SetNamedEvent(names::kReloadNowEvent); }},
    };
    for (const auto& signal : signals) {
        signal.signal();
        const std::uint64_t before = sim::Machine::Get().Now();
        Cycles(1);
        EXPECT_TRUE(loop.ReloadedThisCycle()) << signal.what;
        // The wait for the interval, then the pause that lets the writer finish.
        EXPECT_EQ(sim::Machine::Get().Now() - before, 1000u + 500u) << signal.what;
        Cycles(1);
        EXPECT_FALSE(loop.ReloadedThisCycle()) << signal.what;
    }
}

TEST_F(ConfigReload, FolderWatcherPicksUpARewriteWithinTwoCycles) {
    ControlLoop& loop = Start();
    Cycles(1);
    // The watcher thread arms its notification.
    ASSERT_TRUE(
        sim::Machine::Get().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    WriteConfig({{L"UpdateSpeedCore", L"300"}});
    ASSERT_TRUE(WatcherSignalled(loop));
    Cycles(2);
    EXPECT_EQ(loop.RefreshInterval(), 300u);
}

TEST_F(ConfigReload, NewRefreshIntervalIsLoggedOnceAndTakesEffectAtTheNextWait) {
    ControlLoop& loop = Start();
    Cycles(1);
    ASSERT_TRUE(
        sim::Machine::Get().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    WriteConfig({{L"UpdateSpeedCore", L"2500"}});
    sim::Machine::Get().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_EQ(loop.RefreshInterval(), 2500u);
    // The folder watcher saw the rewrite too and asks for one more reload; let it pass.
    ASSERT_TRUE(WatcherSignalled(loop));
    Cycles(2);
    const std::uint64_t before = sim::Machine::Get().Now();
    Cycles(3);
    EXPECT_EQ(sim::Machine::Get().Now(), before + 3 * 2500);
    const auto log79 = Only(StopAndReadLog(), 79);
    ASSERT_EQ(log79.size(), 1u);
    EXPECT_EQ(log79[0].info, FormatText(LoadResourceString(937), 2500u));
}

// An edit that could only be read at a later retry changes the interval as a reload does.
TEST_F(ConfigReload, ANewRefreshIntervalReadAtARetryIsLoggedOnce) {
    ControlLoop& loop = Start();
    Cycles(1);
    ASSERT_TRUE(
        sim::Machine::Get().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    sim::Machine::Get().FailCall("ReadFile", ConfigPath());
    WriteConfig({{L"UpdateSpeedCore", L"2500"}});
    ASSERT_TRUE(WatcherSignalled(loop));
    sim::Machine::Get().SetNamedEvent(L"Local\\Corvane777");
    Cycles(3);  // both requests are taken, and a retry fails
    ASSERT_EQ(loop.RefreshInterval(), 1000u);
    sim::Machine::Get().ClearFailures();
    Cycles(2);
    EXPECT_EQ(loop.RefreshInterval(), 2500u);
    const auto log79 = Only(StopAndReadLog(), 79);
    ASSERT_EQ(log79.size(), 1u);
    EXPECT_EQ(log79[0].info, FormatText(LoadResourceString(937), 2500u));
}

TEST_F(ConfigReload, TheRefreshIntervalIsBoundedButTheFileKeepsItsValue) {
    const struct {
        const wchar_t* configured;
        std::uint32_t used;
    } cases[] = {{L"0", 100},   {L"-1", 100},      {L"99", 100},
                 {L"100", 100}, {L"60000", 60000}, {L"3600000", 60000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.configured)));
        ControlLoop& loop = Start({{L"UpdateSpeedCore", c.configured}});
        EXPECT_EQ(loop.RefreshInterval(), c.used);
        const std::uint64_t before = sim::Machine::Get().Now();
        Cycles(2);
        EXPECT_EQ(sim::Machine::Get().Now() - before, 2u * c.used);
        EXPECT_EQ(loop.Settings().Performance.UpdateSpeedCore, WideToLong(c.configured));
        loop_.reset();
    }
}

TEST_F(ConfigReload, AFileThatCannotBeReadKeepsTheRulesInForceUntilItLoadsAgain) {
    const struct {
        const char* what;
        std::string operation;
    } cases[] = {{"another program holds it", "CreateFile"},
                 {"a read that fails", "ReadFile"},
                 {"its attributes cannot be read", "GetFileAttributes"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ControlLoop& loop = Start({{L"DisallowedProcesses", L"miner.exe"}});
        Cycles(1);
        // An edit arrives while the file cannot be read.
        WriteConfig({{L"DisallowedProcesses", L"miner.exe,digger.exe"}});
        sim::Machine::Get().FailCall(c.operation, ConfigPath());
        sim::Machine::Get().SetNamedEvent(L"Local\\Corvane777");
        Cycles(3);
        auto& miner = sim::Machine::Get().AddProcess(500, L"miner.exe");
        miner.user = L"Tester";
        Cycles(1);
        EXPECT_TRUE(miner.ended) << "the rules from before still apply";
        // Read again: the edit applies too.
        sim::Machine::Get().ClearFailures();
        Cycles(2);
        auto& digger = sim::Machine::Get().AddProcess(510, L"digger.exe");
        digger.user = L"Tester";
        Cycles(1);
        EXPECT_TRUE(digger.ended) << "the edit applies once the file can be read";
        (void)loop;
        const auto log = Only(StopAndReadLog(), 59);
        const auto count = [&](const std::wstring& text) {
            return std::count_if(log.begin(), log.end(), [&](const test::LoggedAction& action) {
                return action.info.find(text) != std::wstring::npos;
            });
        };
        EXPECT_EQ(count(L"cannot be loaded"), 1);
        EXPECT_EQ(count(L"loaded again"), 1);
        TearDown();
        SetUp();
    }
}

TEST_F(ConfigReload, NetworkConfigurationIsReadEvery21stCycle) {
    sim::AddDrive(L'N', false);
    ProcessValues().ConfigFolderOverride = L"N:\\Cfg";
    sim::PutFile(L"N:\\Cfg\\corvex.ini", ConfigWith({}));
    ControlLoop& loop = StartWithoutFile();
    std::vector<int> reloads;
    for (int cycle = 1; cycle <= 45; ++cycle) {
        ASSERT_TRUE(loop.RunCycle());
        if (loop.ReloadedThisCycle()) {
            reloads.push_back(cycle);
        }
    }
    EXPECT_EQ(reloads, (std::vector<int>{21, 42}));
}

TEST_F(ConfigReload, MissingChangeEventAlsoForcesPeriodicReloads) {
    sim::Machine::Get().FailCall("CreateEvent", L"Corvane777");
    ControlLoop& loop = Start();
    int reloads = 0;
    for (int cycle = 1; cycle <= 21; ++cycle) {
        ASSERT_TRUE(loop.RunCycle());
        reloads += loop.ReloadedThisCycle() ? 1 : 0;
    }
    EXPECT_EQ(reloads, 1);
}

TEST_F(ConfigReload, ReloadForgetsIgnoredProcesses) {
    sim::Machine::Get().AddProcess(700, L"other.exe").user = L"someone";
    ControlLoop& loop = Start({{L"ManageOnlyCurrentUser", L"true"}});
    Cycles(1);
    EXPECT_EQ(loop.IgnoredProcesses().count(700), 1u);
    EXPECT_EQ(loop.Processes().Find(700), nullptr);
    WriteConfig({{L"ManageOnlyCurrentUser", L"false"}});
    sim::Machine::Get().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_NE(loop.Processes().Find(700), nullptr);
}

// Workers reserve small stacks; only a thread that matches rules gets room for a
// regular-expression search.
TEST_F(ConfigReload, EveryWorkerReservesASmallStack) {
    Start();
    Cycles(1);
    const auto& starts = sim::Machine::Get().threadStarts;
    ASSERT_GE(starts.size(), 3u);  // the log writer, the configuration and shutdown watchers
    for (const auto& start : starts) {
        EXPECT_TRUE(start.stackReserve <= platform::kWorkerStackReserve ||
                    start.stackReserve == platform::kMatchingThreadStackReserve)
            << start.stackReserve;
    }
}

}  // namespace
}  // namespace cv
