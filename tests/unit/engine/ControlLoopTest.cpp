#include "SimFixture.h"
#include "engine/ControlLoop.h"
#include "platform/KernelObjects.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

using platform::ObjectSecurity;
using platform::RegistryRoot;

class ControlLoopTest : public test::SimTest {
  protected:
    void InstallService() {
        machine().CreateKey(RegistryRoot::LocalMachine,
                            L"SYSTEM\\CurrentControlSet\\Services\\Vigilor");
    }
};

TEST_F(ControlLoopTest, CyclesAtTheRefreshIntervalUntilTheExitEvent) {
    ControlLoop loop;
    ASSERT_EQ(loop.Startup(), 0);
    // Start-up created the missing configuration file, so the first cycle reloads it.
    ASSERT_TRUE(loop.RunCycle());
    EXPECT_TRUE(loop.ReloadedThisCycle());
    const std::uint64_t start = machine().Now();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(loop.RunCycle());
        EXPECT_FALSE(loop.ReloadedThisCycle());
    }
    EXPECT_EQ(loop.CycleCounter(), 6u);
    EXPECT_EQ(machine().Now() - start, 5u * loop.RefreshInterval());

    platform::SetEventObject(loop.ExitEvent());
    EXPECT_FALSE(loop.RunCycle());
    EXPECT_EQ(loop.CycleCounter(), 6u);
    EXPECT_EQ(loop.Shutdown(), 0);
    // The single-instance mutex is gone, so a new engine may start.
    EXPECT_EQ(machine().FindNamedObject(L"Local\\CVVigilorExists"), nullptr);
}

TEST_F(ControlLoopTest, SessionEngineUsesLocalNamesAndTheLoopEvents) {
    ControlLoop loop;
    ASSERT_EQ(loop.Startup(), 0);
    EXPECT_FALSE(loop.IsService());
    const auto mutex = machine().FindNamedObject(L"Local\\CVVigilorExists");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(mutex->recursion, 1);  // created owned
    EXPECT_NE(machine().FindNamedObject(L"Local\\VigilorExitEvent"), nullptr);
    EXPECT_NE(machine().FindNamedObject(L"Local\\cvre99A12"), nullptr);
    EXPECT_EQ(machine().FindNamedObject(L"Global\\CVVigilorExists"), nullptr);
    for (const wchar_t* name :
         {names::kLevelonNotifyEvent, names::kEquiloEvent, names::kPreventSleepEvent,
          names::kPreventDisplaySleepEvent, names::kReloadNowEvent}) {
        const auto event = machine().FindNamedObject(name);
        ASSERT_NE(event, nullptr) << name;
        EXPECT_EQ(event->security, ObjectSecurity::Open) << name;
    }
    EXPECT_TRUE(machine().FindNamedObject(names::kPreventSleepEvent)->manualReset);
    EXPECT_FALSE(machine().FindNamedObject(names::kReloadNowEvent)->manualReset);
}

TEST_F(ControlLoopTest, ServiceEngineUsesGlobalNamesWithLocalFallback) {
    InstallService();
    {
        ControlLoop loop;
        ASSERT_EQ(loop.Startup(), 0);
        EXPECT_TRUE(loop.IsService());
        const auto mutex = machine().FindNamedObject(L"Global\\CVVigilorExists");
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(mutex->security, ObjectSecurity::Open);
        EXPECT_NE(machine().FindNamedObject(L"Global\\VigilorExitEvent"), nullptr);
        EXPECT_NE(machine().FindNamedObject(L"Global\\cvre99A12"), nullptr);
    }
    machine().Reset();
    InstallService();
    machine().FailCall("CreateMutex", L"Global\\CVVigilorExists");
    machine().FailCall("CreateEvent", L"Global\\VigilorExitEvent");
    ControlLoop loop;
    ASSERT_EQ(loop.Startup(), 0);
    EXPECT_NE(machine().FindNamedObject(L"Local\\CVVigilorExists"), nullptr);
    EXPECT_NE(machine().FindNamedObject(L"Local\\VigilorExitEvent"), nullptr);
}

TEST_F(ControlLoopTest, StartupFailures) {
    {
        machine().FailCall("CreateMutex");
        ControlLoop loop;
        EXPECT_EQ(loop.Run(), ControlLoop::kNoSingleInstanceMutex);
    }
    {
        machine().Reset();
        machine().FailCall("CreateEvent", L"Local\\VigilorExitEvent");
        ControlLoop loop;
        EXPECT_EQ(loop.Run(), ControlLoop::kNoExitEvent);
    }
    {
        machine().Reset();
        machine().osMajor = 4;
        ControlLoop loop;
        EXPECT_EQ(loop.Run(), ControlLoop::kOldSystem);
    }
}

TEST_F(ControlLoopTest, KeepRunningGraceFollowsTheProcessorCount) {
    const struct {
        std::uint32_t processors;
        std::uint32_t grace;
    } cases[] = {{1, 30}, {2, 30}, {3, 15}, {4, 10}, {64, 10}};
    for (const auto& c : cases) {
        machine().Reset();
        machine().processorCount = c.processors;
        ControlLoop loop;
        ASSERT_EQ(loop.Startup(), 0);
        EXPECT_EQ(loop.KeepRunning().Grace(), c.grace) << c.processors;
    }
}

TEST_F(ControlLoopTest, ShutdownRequestFromAnotherProgramEndsTheLoop) {
    ControlLoop loop;
    ASSERT_EQ(loop.Startup(), 0);
    ASSERT_TRUE(loop.RunCycle());
    machine().SetNamedEvent(names::kShutdownRequestEvent);
    bool running = true;
    for (int cycle = 0; cycle < 20 && running; ++cycle) {
        running = loop.RunCycle();
        machine().WaitUntil([&] { return platform::IsSignalled(loop.ExitEvent()); }, 1.0);
    }
    EXPECT_FALSE(running);
    EXPECT_EQ(loop.Shutdown(), 0);
}

TEST_F(ControlLoopTest, ShutdownWithoutExitEventStillEndsItsThreads) {
    // A test (or a failed start) may stop the loop without the exit event being set first.
    ControlLoop loop;
    ASSERT_EQ(loop.Startup(), 0);
    ASSERT_TRUE(loop.RunCycle());
    EXPECT_EQ(loop.Shutdown(), 0);
    EXPECT_TRUE(platform::IsSignalled(loop.ExitEvent()));
}

}  // namespace
}  // namespace cv
