#include <algorithm>

// Cullmark on the simulated machine: passes run on the test's thread against an engine's live
// configuration and log, and the worker started by the engine's first cycle.
#include "EngineScenario.h"
#include "common/Format.h"
#include "platform/Threads.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;
constexpr std::uint64_t kMiB = 1024 * 1024;

class CullmarkScenario : public test::EngineScenario {
  protected:
    sim::SimProcess& Large(std::uint32_t pid, const std::wstring& image, std::uint64_t mib) {
        auto& process = machine().AddProcess(pid, image);
        process.workingSet = mib * kMiB;
        return process;
    }
    static Keys CacheKeys(Keys extra = {}) {
        Keys keys = {{L"CullmarkClearStandbyList", L"true"},
                     {L"CullmarkClearFileCache", L"true"},
                     {L"ClearStandbyFreeRAMThresholdMB", L"1024"}};
        keys.merge(extra);
        return keys;
    }
    static Keys TrimKeys(Keys extra = {}) {
        Keys keys = {{L"CullmarkWorkingSetTrims", L"true"},
                     {L"CullmarkAutoMinimumRAMLoad", L"65"},
                     {L"MinimumProcessWSSInMb", L"384"}};
        keys.merge(extra);
        return keys;
    }
    std::vector<std::uint32_t> Trimmed() {
        std::vector<std::uint32_t> pids;
        for (const auto pid : machine().ProcessIds()) {
            if (machine().FindProcess(pid)->workingSetTrims > 0) {
                pids.push_back(pid);
            }
        }
        return pids;
    }
};

TEST_F(CullmarkScenario, CachesAreClearedAtTheFreeMemoryThresholdAndInPerformanceModeOnly) {
    const struct {
        const char* what;
        std::uint64_t freeMiB;
        bool forced;
        bool performanceMode;
        bool cleared;
        std::vector<std::uint32_t> actions;
    } cases[] = {
        {"free exactly at the threshold", 1024, false, true, true, {110, 87}},
        {"one MiB above it", 1025, false, true, false, {88}},
        {"a periodic pass outside performance mode", 100, false, false, false, {88}},
        {"a forced pass outside performance mode", 100, true, false, true, {110, 87}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        machine().freeMemoryBytes = c.freeMiB * kMiB;
        machine().standbyBytes = 300 * kMiB;
        Start(CacheKeys());
        if (c.performanceMode) {
            machine().SetNamedEvent(names::kPerformanceModeActiveEvent);
        }
        loop_->Trimmer().RunPass(c.forced);
        EXPECT_EQ(machine().fileCacheFlushes, c.cleared ? 1 : 0);
        EXPECT_EQ(machine().standbyPurges, c.cleared ? 1 : 0);
        const auto log = StopAndReadLog();
        const auto cullmark = [&log] {
            std::vector<std::uint32_t> ids;
            for (const auto& action : log) {
                if (action.actionId == 110 || action.actionId == 87 || action.actionId == 88) {
                    ids.push_back(action.actionId);
                }
            }
            return ids;
        }();
        EXPECT_EQ(cullmark, c.actions);
        if (c.cleared) {
            // The purge gave back the standby list: before and after in MiB.
            EXPECT_EQ(Only(log, 87)[0].info, FormatText(L"Free memory %u MB before, %u MB after",
                                                        c.freeMiB, c.freeMiB + 300));
        }
        TearDown();
    }
}

TEST_F(CullmarkScenario, WithoutTheFreeMemoryCounterAvailableMemoryStandsInAndIsNotedOnce) {
    machine().freeMemoryCounterExists = false;
    machine().availablePhysicalBytes = 5000 * kMiB;
    Start(CacheKeys({{L"ClearStandbyOnlyInPerfMode", L"false"}}));
    EXPECT_EQ(loop_->Trimmer().ReadFreeMemoryBytes(), 5000 * kMiB);
    loop_->Trimmer().RunPass(false);
    EXPECT_EQ(machine().standbyPurges, 0);  // 5000 MiB free: nothing to clear
    const auto log = StopAndReadLog();
    ASSERT_EQ(Only(log, 88).size(), 2u);
    EXPECT_NE(Only(log, 88)[0].info.find(L"counter unavailable"), std::wstring::npos);
}

TEST_F(CullmarkScenario, WorkingSetsAboveTheMinimumAreTrimmedExceptTheProtectedOnes) {
    const struct {
        const char* what;
        std::uint32_t load;
        Keys keys;
        std::wstring image;
        std::wstring path;
        std::uint64_t mib;
        bool foreground;
        bool trimmed;
        std::uint32_t summary;
        const char* failingCall = nullptr;
    } cases[] = {
        {"load exactly at the threshold", 65, {}, L"big.exe", L"", 385, false, true, 81},
        {"load one percent below", 64, {}, L"big.exe", L"", 2000, false, false, 82},
        {"working set exactly the minimum", 90, {}, L"big.exe", L"", 384, false, false, 81},
        {"the foreground process", 90, {}, L"big.exe", L"", 2000, true, false, 81},
        {"Memory Compression", 90, {}, L"Memory Compression", L"", 2000, false, false, 81},
        {"excluded by its file name",
         90,
         {{L"CullmarkExclusions", L"note*"}},
         L"notepad.exe",
         L"C:\\Tools\\notepad.exe",
         2000,
         false,
         false,
         81},
        {"excluded by its path in another case",
         90,
         {{L"CullmarkExclusions", L"c:\\TOOLS\\Notepad.exe"}},
         L"notepad.exe",
         L"C:\\Tools\\notepad.exe",
         2000,
         false,
         false,
         81},
        {"another path is not excluded",
         90,
         {{L"CullmarkExclusions", L"c:\\other\\notepad.exe"}},
         L"notepad.exe",
         L"C:\\Tools\\notepad.exe",
         2000,
         false,
         true,
         81},
        {"a trim that fails is not counted", 90, {}, L"big.exe", L"", 2000, false, false, 81,
         "SetProcessWorkingSetSize"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        machine().memoryLoad = c.load;
        auto& process = Large(500, c.image, c.mib);
        if (!c.path.empty()) {
            process.imagePath = c.path;
        }
        if (c.foreground) {
            machine().foregroundWindow = machine().AddWindow(500).window;
        }
        Start(TrimKeys(c.keys));
        if (c.failingCall != nullptr) {
            machine().FailCall(c.failingCall, c.image);
        }
        loop_->Trimmer().RunPass(false);
        machine().ClearFailures();
        EXPECT_EQ(machine().FindProcess(500)->workingSetTrims, c.trimmed ? 1 : 0);
        const auto log = StopAndReadLog();
        EXPECT_EQ(Only(log, 80).size(), c.trimmed ? 1u : 0u);
        ASSERT_EQ(Only(log, c.summary).size(), 1u);
        if (c.summary == 81) {
            EXPECT_EQ(Only(log, 81)[0].info.rfind(c.trimmed ? L"Trimmed 1 of" : L"Trimmed 0 of", 0),
                      0u)
                << Only(log, 81)[0].info;
        }
        EXPECT_EQ(Only(log, c.summary == 81 ? 82 : 81).size(), 0u);
        TearDown();
    }
}

TEST_F(CullmarkScenario, AStopDuringAWalkEndsItBeforeTheNextProcessAndStillWritesTheSummary) {
    machine().memoryLoad = 90;
    Large(500, L"first.exe", 1000);
    Large(501, L"second.exe", 1000);
    Large(502, L"third.exe", 1000);
    Start(TrimKeys());
    // The engine asks to stop while the walk pauses after its first trim.
    machine().Schedule(100, [] { sim::Machine::Get().SetNamedEvent(names::kCullmarkStopEvent); });
    loop_->Trimmer().RunPass(false);
    EXPECT_EQ(Trimmed().size(), 1u);
    const auto log = StopAndReadLog();
    ASSERT_EQ(Only(log, 81).size(), 1u);
    EXPECT_EQ(Only(log, 81)[0].info, L"Trimmed 1 of 1 processes examined");
    EXPECT_TRUE(Only(log, 80).empty());
}

TEST_F(CullmarkScenario, TheWorkerYieldsTheProcessorRunsOnRequestAndEndsWithTheEngine) {
    machine().freeMemoryBytes = 10 * kMiB;
    Start(CacheKeys());
    Cycles(1);
    // The trimmer is the engine's one worker below normal priority.
    const auto& starts = machine().threadStarts;
    const auto trimmer = std::find_if(starts.begin(), starts.end(), [](const auto& start) {
        return start.priority == platform::kThreadPriorityBelowNormal;
    });
    ASSERT_NE(trimmer, starts.end());
    EXPECT_EQ(std::count_if(starts.begin(), starts.end(),
                            [](const auto& start) {
                                return start.priority == platform::kThreadPriorityBelowNormal;
                            }),
              1);
    EXPECT_LE(trimmer->stackReserve, 256u * 1024);
    EXPECT_TRUE(loop_->Trimmer().WorkerRunning());
    // The user interface asks for a pass: forced, so performance mode does not matter.
    ASSERT_TRUE(machine().WaitUntil([] {
        return sim::Machine::Get().FindNamedObject(names::kCullmarkRunNowEvent) != nullptr;
    }));
    machine().SetNamedEvent(names::kCullmarkRunNowEvent);
    EXPECT_TRUE(machine().WaitUntil([] { return sim::Machine::Get().standbyPurges == 1; }));
    loop_->Shutdown();
    EXPECT_FALSE(loop_->Trimmer().WorkerRunning());
}

TEST(CullmarkTimer, PeriodIsWholeMinutesAtLeastOneAndInfiniteWhenOff) {
    const struct {
        bool enabled;
        std::uint32_t minutes;
        std::uint32_t period;
    } cases[] = {
        {false, 15, platform::kInfinite},
        {true, 0, platform::kInfinite},
        {true, 1, 60'000},
        {true, 15, 900'000},
        {true, 71'583, 60'000},  // the product wrapped around
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CullmarkTrimmer::TimerPeriodMs(c.enabled, c.minutes), c.period) << c.minutes;
    }
}

}  // namespace
}  // namespace cv
