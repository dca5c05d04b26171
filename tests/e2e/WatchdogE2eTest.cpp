// Watchdog rules and throttles under Wine, acting on helper programs the test starts: a process
// burning a processor is ended once it has done so for the rule's time, an idle one gets a
// program launched about it, and a throttled one runs only in short bursts until the engine ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "SharedCount.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

std::wstring HelperPath(const wchar_t* name) {
    return TestFolder() + L"\\" + name;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

class Watchdog : public EngineFixture {
  protected:
    Watchdog()
        : EngineFixture(L"watchdog",
                        {L"cv_e2e_burner.exe", L"cv_e2e_sleeper.exe", L"cv_e2e_counter.exe",
                         L"cv_e2e_recorder.exe"},
                        "GracefulWaitTimeInMs=500\r\n") {}

    std::string PidField(const Program& program) {
        return "\",\"" + std::to_string(program.Id()) + "\",\"";
    }
    int CountActions(const std::string& action, const std::string& text) {
        const auto lines = LogLines(logs);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return ActionOf(line) == action && line.find(text) != std::string::npos;
        }));
    }
    std::string Log() { return ReadBytes(logs.File(L"corvane.log")); }
};

TEST_F(Watchdog, ABurnerAboveTheThresholdIsTerminatedAfterTheDurationAndNotBefore) {
    constexpr auto kDuration = milliseconds(4000);
    // The same rule for an idle program, which never crosses the threshold.
    StartWith(
        "[AdvancedRules]\r\nWatchdogRules2=cv_e2e_burner.exe;0;0;20;4000;0;0;1;-;-;-;-,"
        "cv_e2e_sleeper.exe;0;0;20;4000;0;0;1;-;-;-;-\r\n");
    Program burner, idle;
    ASSERT_TRUE(idle.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"60000"));
    const auto started = Clock::now();
    ASSERT_TRUE(burner.Start(HelperPath(L"cv_e2e_burner.exe"), L"60000"));
    ASSERT_TRUE(burner.WaitForExit(30000).has_value()) << Log();
    // The condition can only begin once the burner runs, so it lived at least the duration.
    EXPECT_GE(Clock::now() - started, kDuration);
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "9", PidField(burner)); }, seconds(5)))
        << Log();
    EXPECT_TRUE(idle.IsRunning());
    EXPECT_FALSE(HasAction(logs, "9", PidField(idle)));
}

TEST_F(Watchdog, ABelowRuleLaunchesAProgramToldTheIdleProcessIdNameAndSession) {
    const std::wstring output = config.File(L"launched.txt");
    // The rule list is read in lower case; Windows paths do not mind.
    StartWith("[AdvancedRules]\r\nWatchdogRules2=cv_e2e_sleeper.exe;8;0;10;2000;0;0;2;" +
              Narrow(HelperPath(L"cv_e2e_recorder.exe")) + ";" + Narrow(output) +
              " %1 %2 %sessionid%;-;-\r\n");
    Program idle;
    const auto started = Clock::now();
    ASSERT_TRUE(idle.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"60000"));
    // Wine may show the renamed file a moment before it can be read: wait for its content.
    ASSERT_TRUE(
        WaitFor([&] { return ReadBytes(output).find('\n') != std::string::npos; }, seconds(15)))
        << Log();
    EXPECT_GE(Clock::now() - started, milliseconds(2000));

    std::istringstream lines(ReadBytes(output));
    std::string pid, name, session;
    lines >> pid >> name >> session;
    DWORD sessionId = 0;
    ASSERT_TRUE(ProcessIdToSessionId(idle.Id(), &sessionId));
    EXPECT_EQ(pid, std::to_string(idle.Id()));
    EXPECT_EQ(_stricmp(name.c_str(), "cv_e2e_sleeper.exe"), 0) << name;
    EXPECT_EQ(session, std::to_string(sessionId));
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "77", PidField(idle)); }, seconds(5)))
        << Log();

    // Once for the episode: the process stays idle, and nothing is launched again.
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(CountActions("77", PidField(idle)), 1) << Log();
    EXPECT_TRUE(idle.IsRunning());
}

TEST_F(Watchdog, AThrottledCounterRunsAtMostAFifthAsFastAndExitResumesItForGood) {
    SharedCount count(L"Local\\CvE2eCounter-" + std::to_wstring(GetCurrentProcessId()));
    ASSERT_TRUE(count.Valid());
    // Level 8: suspended 1000 ms, then running 100 ms.
    StartWith("[ProcessAllowances]\r\nProcessThrottles=cv_e2e_counter.exe;8\r\n");
    Program counter;
    ASSERT_TRUE(counter.Start(HelperPath(L"cv_e2e_counter.exe"), count.Name() + L" 60000"));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "48", PidField(counter)); }, seconds(10)))
        << Log();
    // Whole duty cycles, so the share of running time does not depend on where the window starts.
    constexpr auto kThrottledWindow = milliseconds(4400);
    constexpr auto kFreeWindow = milliseconds(2200);
    const LONG64 throttled = count.GrowthOver(kThrottledWindow);

    EXPECT_TRUE(RunEngineCommand(L"/exit", 10000).has_value());
    ASSERT_TRUE(engine.WaitForExit(10000).has_value());
    const LONG64 free = count.GrowthOver(kFreeWindow);
    ASSERT_GT(free, 0) << "left suspended";
    // Rates per window: the throttled one is twice as long.
    EXPECT_LE(throttled * 5, free * 2) << "throttled " << throttled << " free " << free;
    // Still running a while later: nothing suspends it again.
    EXPECT_GT(count.GrowthOver(milliseconds(1100)), free / 4);
    EXPECT_TRUE(counter.IsRunning());
}

}  // namespace
}  // namespace cv::e2e
