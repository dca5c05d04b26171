#include "EngineScenario.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "platform/KernelObjects.h"
#include "services/KernelObjectNames.h"

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
    ASSERT_EQ(Ids(log), (std::vector<std::uint32_t>{59, 58, 60}));
    EXPECT_EQ(log[0].info, FormatText(LoadResourceString(307), L"C:\\Cfg\\corvex.ini"));
    EXPECT_EQ(log[0].basename, L"vigilor.exe");
    EXPECT_EQ(log[0].pid, 4242u);
    EXPECT_EQ(log[0].path, L"C:\\Program Files\\Corvane\\vigilor.exe");
    EXPECT_EQ(log[1].info, L"Corvane v1.0.0 (5990600) Vigilor process-management engine");
    EXPECT_EQ(log[2].info, FormatText(LoadResourceString(328), LoadResourceString(250)));
    EXPECT_EQ(log[2].path, L"");
}

TEST_F(ConfigReload, MissingFileIsCreatedAndLoggedWithItsCode) {
    StartWithoutFile();
    const auto bytes = sim::FileBytes(ConfigPath());
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, ConfigWith({}));
    const auto log = StopAndReadLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0].info, L"ERROR loading configuration - code 2");
    EXPECT_EQ(Ids(log), (std::vector<std::uint32_t>{59, 59, 58, 60}));
}

TEST_F(ConfigReload, ManageOnlyCurrentUserNamesTheEngineUser) {
    Start({{L"ManageOnlyCurrentUser", L"true"}});
    const auto log = StopAndReadLog();
    EXPECT_EQ(log.back().info, FormatText(LoadResourceString(328), L"Tester"));
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
    ASSERT_TRUE(sim::Machine::Get().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    WriteConfig({{L"UpdateSpeedCore", L"300"}});
    ASSERT_TRUE(WatcherSignalled(loop));
    Cycles(2);
    EXPECT_EQ(loop.RefreshInterval(), 300u);
}

TEST_F(ConfigReload, NewRefreshIntervalIsLoggedOnceAndTakesEffectAtTheNextWait) {
    ControlLoop& loop = Start();
    Cycles(1);
    ASSERT_TRUE(sim::Machine::Get().WaitUntil([] { return !sim::Machine::Get().folderWatches.empty(); }));
    WriteConfig({{L"UpdateSpeedCore", L"0"}});
    sim::Machine::Get().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_EQ(loop.RefreshInterval(), 0u);  // not clamped: the loop runs back to back
    // The folder watcher saw the rewrite too and asks for one more reload; let it pass.
    ASSERT_TRUE(WatcherSignalled(loop));
    Cycles(2);
    const std::uint64_t before = sim::Machine::Get().Now();
    Cycles(3);
    EXPECT_EQ(sim::Machine::Get().Now(), before);
    const auto log79 = Only(StopAndReadLog(), 79);
    ASSERT_EQ(log79.size(), 1u);
    EXPECT_EQ(log79[0].info, FormatText(LoadResourceString(937), 0u));
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

}  // namespace
}  // namespace cv
