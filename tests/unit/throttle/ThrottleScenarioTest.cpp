// Throttles in running engine cycles on the simulated machine. The throttle threads run beside
// the test, so the test waits (briefly, in real time) for what they do; whatever ends a throttle,
// the process must be left running.
#include "EngineScenario.h"
#include "texts/KernelObjectNames.h"
#include "throttle/ProcessThrottles.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

class ThrottleScenario : public test::EngineScenario {
  protected:
    void TearDown() override {
        machine().hungCalls.clear();
        EngineScenario::TearDown();
        machine().JoinThreads();
    }
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image = L"app.exe") {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        return process;
    }
    bool Suspended(const sim::SimProcess& process) {
        return machine().WaitUntil([&] { return process.suspendCount > 0; });
    }
    void Reload(const Keys& keys) {
        WriteConfig(keys);
        machine().SetNamedEvent(names::kReloadNowEvent);
    }
};

TEST_F(ThrottleScenario, DutyCyclesByLevel) {
    const struct {
        std::int32_t level;
        DutyCycle duty;
    } cases[] = {{0, {500, 1000}}, {1, {500, 1000}}, {3, {500, 500}},
                 {4, {700, 500}},  {6, {1000, 100}}, {10, {1000, 100}},
                 {11, {2000, 10}}, {20, {2000, 10}}, {99, {2000, 10}}};
    for (const auto& c : cases) {
        EXPECT_EQ(DutyCycleFor(c.level), c.duty) << c.level;
    }
}

TEST_F(ThrottleScenario, ANameThrottleStartsForEveryMatchingProcess) {
    Start({{L"ProcessThrottles", L"app.exe;5"}});
    sim::SimProcess& first = Spawn(300);
    Cycles(1);
    EXPECT_TRUE(Suspended(first));
    machine().EndProcess(300);
    Cycles(1);
    EXPECT_EQ(loop_->Throttles().RunningCount(), 0u);
    sim::SimProcess& second = Spawn(301);
    Cycles(1);
    EXPECT_TRUE(Suspended(second));
    const auto log = StopAndReadLog();
    EXPECT_EQ(second.suspendCount, 0);
    EXPECT_EQ(Only(log, 48).size(), 2u);
    EXPECT_EQ(Only(log, 49).size(), 0u) << "a process that ends stops its throttle silently";
}

TEST_F(ThrottleScenario, AOneTimeThrottleEndsForGood) {
    Start({{L"OneTimeProcessThrottles", L"app.exe;300;5"}});
    sim::SimProcess& first = Spawn(300);
    Cycles(1);
    EXPECT_TRUE(Suspended(first));
    machine().EndProcess(300);
    Cycles(1);
    {
        std::lock_guard lock(loop_->Settings().OneTimeThrottleLock);
        EXPECT_TRUE(loop_->Settings().ProcessAllowances.OneTimeProcessThrottles.empty());
    }
    // The id comes back with the same name: no throttle this time.
    Spawn(300);
    Cycles(2);
    EXPECT_EQ(loop_->Throttles().RunningCount(), 0u);
    EXPECT_EQ(Only(StopAndReadLog(), 48).size(), 1u);
}

TEST_F(ThrottleScenario, NoProcessIsLeftSuspended) {
    const struct {
        const char* what;
        bool byReload;  // else by the engine's stop
        std::size_t endRecords;
    } cases[] = {
        {"the rule goes away", true, 3},
        {"the engine stops", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start({{L"ProcessThrottles", L"app.exe;8"}});
        std::vector<sim::SimProcess*> apps = {&Spawn(300), &Spawn(301), &Spawn(302)};
        Cycles(1);
        for (auto* app : apps) {
            ASSERT_TRUE(Suspended(*app));
        }
        if (c.byReload) {
            Reload({});
            Cycles(1);
        } else {
            loop_->Shutdown();
        }
        EXPECT_EQ(loop_->Throttles().RunningCount(), 0u);
        for (auto* app : apps) {
            EXPECT_EQ(app->suspendCount, 0);
        }
        EXPECT_EQ(Only(StopAndReadLog(), 49).size(), c.endRecords);
        TearDown();
        SetUp();
    }
}

TEST_F(ThrottleScenario, AThrottleThatDoesNotStopIsLeftToEndAndItsProcessResumed) {
    Start({{L"ProcessThrottles", L"app.exe;8"}});
    sim::SimProcess& app = Spawn(300);
    Cycles(1);
    ASSERT_TRUE(Suspended(app));
    // The thread will hang in its resume call.
    machine().hungCalls.insert("NtResumeProcess");
    const std::uint64_t before = machine().Now();
    loop_->Shutdown();
    EXPECT_GE(machine().Now() - before, kThrottleStopWaitMs);
    EXPECT_EQ(app.suspendCount, 0);
    EXPECT_EQ(loop_->Throttles().RunningCount(), 0u);
}

}  // namespace
}  // namespace cv
