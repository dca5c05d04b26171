#include "SimFixture.h"
#include "platform/KernelObjects.h"
#include "runtime/PerformanceModeState.h"
#include "runtime/SessionAgent.h"
#include "runtime/ShutdownWatcher.h"
#include "texts/KernelObjectNames.h"

namespace cv {
namespace {

TEST(SessionAgent, ParsesTheAgentsCommandLine) {
    const struct {
        const wchar_t* text;
        bool result;
        std::int32_t session;
        std::uint32_t foreground;
        std::uint32_t lastInput;
    } cases[] = {
        {L"ipc0 si=1 fpid=1a2b litm=12ab34", true, 1, 6699, 1223476},
        {L"agent.exe si=1 fpid=1a2b", true, -1, 0xFFFFFFFF, 0},  // no "ipc0": defaults
        {L"ipc0 si=2 litm=10", true, 2, 0, 16},                  // a missing tag gives 0
        {L"ipc0 fpid=FF", true, 0, 255, 0},
        {L"ipc0 si=", true, 0, 0, 0},                            // value past the end
        // The agent's own path still in front: "si" is first found inside "session".
        {L"C:\\Tarvel\\session\\tarvelsessionagent.exe ipc0 si=3 fpid=10 litm=20", true, 0, 16,
         32},
        {L"ipc0 si=7fffffff fpid=ffffffffff", true, 0x7fffffff, 0xffffffff, 0},
    };
    for (const auto& c : cases) {
        SessionAgentReport report;
        EXPECT_EQ(ParseSessionAgentCommandLine(c.text, report), c.result) << c.text;
        EXPECT_EQ(report.SessionId, c.session) << c.text;
        EXPECT_EQ(report.ForegroundProcessId, c.foreground) << c.text;
        EXPECT_EQ(report.LastInputTick, c.lastInput) << c.text;
    }
    SessionAgentReport unchanged{5, 6, 7};
    EXPECT_FALSE(ParseSessionAgentCommandLine(L"", unchanged));
    EXPECT_EQ(unchanged.SessionId, 5);
}

class PerformanceModeTest : public test::SimTest {
protected:
    bool On(const wchar_t* name) { return machine().IsNamedObjectSignalled(name); }
};

TEST_F(PerformanceModeTest, ManualAndAutomaticCausesInteract) {
    PerformanceModeState state(true);
    PerformanceModeState observer(false);
    EXPECT_FALSE(observer.IsActive());

    state.SetActive(true, true);
    EXPECT_TRUE(observer.IsActive());
    EXPECT_FALSE(observer.IsManualOn());
    EXPECT_TRUE(On(names::kPerformanceModeAutomaticEvent));

    state.SetActive(true, false);
    EXPECT_TRUE(observer.IsManualOn());
    // Ending the automatic cause while the manual switch is on keeps performance mode.
    state.SetActive(false, true);
    EXPECT_TRUE(observer.IsActive());
    EXPECT_TRUE(observer.IsManualOn());
    EXPECT_FALSE(On(names::kPerformanceModeAutomaticEvent));

    // Ending the manual cause resets all three, even with a program still triggering it.
    state.SetActive(true, true);
    state.SetActive(false, false);
    EXPECT_FALSE(On(names::kPerformanceModeActiveEvent));
    EXPECT_FALSE(On(names::kPerformanceModeAutomaticEvent));
    EXPECT_FALSE(On(names::kPerformanceModeManualEvent));
}

TEST_F(PerformanceModeTest, ToggleRequestIsConsumedOnce) {
    PerformanceModeState state(true);
    EXPECT_FALSE(state.TakeToggleRequest());
    machine().SetNamedEvent(names::kPerformanceModeToggleEvent);
    EXPECT_TRUE(state.TakeToggleRequest());
    EXPECT_FALSE(state.TakeToggleRequest());
}

TEST_F(PerformanceModeTest, ObjectsUseOpenSecurityAndReopenAfterAFailure) {
    PerformanceModeState state(true);
    const auto active = machine().FindNamedObject(names::kPerformanceModeActiveEvent);
    ASSERT_NE(active, nullptr);
    EXPECT_EQ(active->security, platform::ObjectSecurity::Open);
    EXPECT_TRUE(active->manualReset);
    EXPECT_FALSE(machine().FindNamedObject(names::kPerformanceModeToggleEvent)->manualReset);

    state.SetActive(true, false);
    machine().FailCall("WaitForObject", names::kPerformanceModeActiveEvent);
    EXPECT_FALSE(state.IsActive());
    machine().ClearFailures();
    EXPECT_TRUE(state.IsActive());
}

TEST_F(PerformanceModeTest, ObserverWithoutCreatorSeesNothing) {
    PerformanceModeState observer(false);
    EXPECT_FALSE(observer.IsActive());
    EXPECT_FALSE(observer.IsManualOn());
    EXPECT_FALSE(observer.TakeToggleRequest());
    observer.SetActive(true, false);  // nothing to set: no crash, no effect
    EXPECT_EQ(machine().FindNamedObject(names::kPerformanceModeActiveEvent), nullptr);
}

class ShutdownWatcherTest : public test::SimTest {};

TEST_F(ShutdownWatcherTest, RequestEventEndsTheEngineWithinASecond) {
    auto exitEvent = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    ShutdownRequestWatcher watcher(exitEvent.Get());
    machine().AdvanceClock(1000);
    machine().AdvanceClock(1000);
    EXPECT_FALSE(platform::IsSignalled(exitEvent.Get()));

    machine().SetNamedEvent(names::kShutdownRequestEvent);
    // The watcher thread may still be starting, so move the clock a second at a time.
    bool ended = false;
    for (int second = 0; second < 20 && !ended; ++second) {
        machine().AdvanceClock(1000);
        ended = machine().WaitUntil([&] { return platform::IsSignalled(exitEvent.Get()); }, 1.0);
    }
    EXPECT_TRUE(ended);
}

TEST_F(ShutdownWatcherTest, AResetRequestIsCancelled) {
    auto exitEvent = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    auto request = platform::CreateEventObject(names::kShutdownRequestEvent, true, false,
                                               platform::ObjectSecurity::Open);
    {
        ShutdownRequestWatcher watcher(exitEvent.Get());
        platform::SetEventObject(request.Get());
        platform::ResetEventObject(request.Get());
        machine().AdvanceClock(1000);
        machine().AdvanceClock(1000);
        // Give the watcher a moment of real time to look at the event.
        machine().WaitUntil([] { return false; }, 0.2);
        EXPECT_FALSE(platform::IsSignalled(exitEvent.Get()));
        platform::SetEventObject(exitEvent.Get());  // ends the watcher
    }
}

}  // namespace
}  // namespace cv
