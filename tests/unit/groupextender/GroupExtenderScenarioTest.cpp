// The processor-group extender in running engine cycles on simulated machines with one and with
// several processor groups.
#include "EngineScenario.h"
#include "groupextender/GroupExtender.h"
#include "platform/KernelObjects.h"
#include "platform/Threads.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

class GroupExtenderScenario : public test::EngineScenario {
  protected:
    void TearDown() override {
        EngineScenario::TearDown();
        machine().JoinThreads();
    }
    sim::SimProcess& Spawn(std::uint32_t pid, std::uint32_t threads) {
        auto& process = machine().AddProcess(pid, L"wide.exe");
        process.parentPid = 4;
        process.threadCount = threads;
        return process;
    }
    std::size_t Placed(sim::SimProcess& process) {
        std::lock_guard lock(machine().Lock());
        return process.threadGroupAffinity.size();
    }
};

TEST_F(GroupExtenderScenario, IntervalIsTheRefreshIntervalButASecondWhenConfiguredBelow100Ms) {
    // The loop itself never waits less than 100 ms: the configured value decides.
    EXPECT_EQ(GroupExtenderInterval(50, 100), 1000u);
    EXPECT_EQ(GroupExtenderInterval(99, 100), 1000u);
    EXPECT_EQ(GroupExtenderInterval(0, 100), 1000u);
    EXPECT_EQ(GroupExtenderInterval(-5, 100), 1000u);
    EXPECT_EQ(GroupExtenderInterval(100, 100), 100u);
    EXPECT_EQ(GroupExtenderInterval(2000, 2000), 2000u);
}

TEST_F(GroupExtenderScenario, OnOneGroupTheWorkerEndsAtOnceButItsStartIsRecorded) {
    Start({{L"ProcessorGroupExtended", L"wide.exe"}});
    sim::SimProcess& wide = Spawn(300, 6);
    Cycles(3);
    EXPECT_EQ(Placed(wide), 0u);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 92).size(), 1u);
    EXPECT_EQ(Only(log, 93).size(), 0u);
}

TEST_F(GroupExtenderScenario, ThreadsAreSpreadOverTheGroupsUntilTheProcessNoLongerMatches) {
    machine().SetProcessorGroups(
        {std::vector<std::uint8_t>(8, 0), std::vector<std::uint8_t>(4, 0)});
    Start({{L"ProcessorGroupExtended", L"wide.exe"}});
    sim::SimProcess& wide = Spawn(300, 6);
    Cycles(1);
    EXPECT_TRUE(machine().WaitUntil([&] { return Placed(wide) == 6; }));
    {
        std::lock_guard lock(machine().Lock());
        for (const auto& [thread, placement] : wide.threadGroupAffinity) {
            EXPECT_EQ(placement.second, placement.first == 0 ? 0xFFu : 0x0Fu);
        }
    }
    // New threads are placed at the next check.
    {
        std::lock_guard lock(machine().Lock());
        wide.threadCount = 8;
    }
    // The worker runs beside the clock: it may begin its wait only after the next cycle.
    for (int cycle = 0; cycle < 4 && Placed(wide) != 8; ++cycle) {
        Cycles(1);
        machine().WaitUntil([&] { return Placed(wide) == 8; }, 0.5);
    }
    EXPECT_EQ(Placed(wide), 8u);
    WriteConfig({});
    machine().SetNamedEvent(names::kReloadNowEvent);
    Cycles(1);
    EXPECT_EQ(loop_->GroupExtension().WorkerCount(), 0u);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 92).size(), 1u);
    EXPECT_EQ(Only(log, 93).size(), 1u);
}

// A worker asked to stop while it places a thread is given time, then left to finish the pass
// it is in: it lets go of the place lock afterwards. Ended from outside, it would hold the lock
// for good, and every later worker would wait on it.
TEST_F(GroupExtenderScenario, AWorkerSlowToStopIsParkedAndLetsItsLockGo) {
    machine().SetProcessorGroups(
        {std::vector<std::uint8_t>(8, 0), std::vector<std::uint8_t>(4, 0)});
    {
        std::lock_guard lock(machine().Lock());
        machine().hungCalls.insert("SetThreadGroupAffinity");
    }
    Start({{L"ProcessorGroupExtended", L"wide.exe"}});
    Spawn(300, 6);
    Cycles(1);
    std::mutex& placeLock = loop_->GroupExtension().PlaceLock();
    const auto held = [&] {
        if (placeLock.try_lock()) {
            placeLock.unlock();
            return false;
        }
        return true;
    };
    ASSERT_TRUE(machine().WaitUntil(held));
    WriteConfig({});
    machine().SetNamedEvent(names::kReloadNowEvent);
    Cycles(1);
    EXPECT_EQ(loop_->GroupExtension().WorkerCount(), 0u);
    {
        std::lock_guard lock(machine().Lock());
        machine().hungCalls.clear();
        machine().NotifyChange();
    }
    EXPECT_TRUE(machine().WaitUntil([&] { return !held(); }));
}

// The simulated machine ends a thread as Windows does: where it is, unwinding nothing.
TEST_F(GroupExtenderScenario, AThreadEndedFromOutsideKeepsWhatItHolds) {
    std::mutex shared;
    const platform::UniqueHandle never =
        platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    const platform::RawHandle event = never.Get();
    const platform::UniqueHandle thread = platform::StartThread([&shared, event] {
        std::lock_guard lock(shared);
        platform::WaitForObject(event, platform::kInfinite);
    });
    ASSERT_TRUE(machine().WaitUntil([&] {
        if (shared.try_lock()) {
            shared.unlock();
            return false;
        }
        return true;
    }));
    ASSERT_TRUE(platform::TerminateThreadHandle(thread.Get(), 1));
    EXPECT_TRUE(platform::IsSignalled(thread.Get()));
    platform::SetEventObject(event);  // woken, it still goes no further
    EXPECT_FALSE(machine().WaitUntil([&] { return shared.try_lock(); }, 0.3));
    machine().JoinThreads();  // the reset unwinds it
    EXPECT_TRUE(shared.try_lock());
    shared.unlock();
}

}  // namespace
}  // namespace cv
