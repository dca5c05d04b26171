// Rules that name the engine, or every process, under Wine: the engine refuses to suspend or end
// itself, says so once in its log, keeps running and still answers /exit, while an ordinary
// program the same rule names is acted on.
#include <gtest/gtest.h>

#include <algorithm>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"

namespace cv::e2e {
namespace {

using std::chrono::seconds;

struct GuardCase {
    const char* name;
    std::string lines;
    std::string refusal;  // the refusal's text
    std::string acted;    // the action taken on the ordinary program
    friend void PrintTo(const GuardCase& c, std::ostream* out) { *out << c.name; }
};

class SelfGuard : public EngineFixture, public ::testing::WithParamInterface<GuardCase> {
  protected:
    SelfGuard() : EngineFixture(L"selfguard", {L"cv_e2e_sleeper.exe"}) {}

    // Records of an action about one process.
    int Count(const std::string& action, DWORD pid) {
        const std::string field = "\",\"" + std::to_string(pid) + "\",\"";
        const auto lines = LogLines(logs);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return ActionOf(line) == action && line.find(field) != std::string::npos;
        }));
    }
    std::string Log() { return ReadBytes(logs.File(L"corvane.log")); }
};

TEST_P(SelfGuard, TheEngineKeepsRunningAnswersExitAndSaysWhatItRefused) {
    const GuardCase& c = GetParam();
    StartWith(c.lines);
    Program sleeper;
    ASSERT_TRUE(sleeper.Start(TestFolder() + L"\\cv_e2e_sleeper.exe", L"60000"));
    ASSERT_TRUE(WaitFor([&] { return Count(c.acted, sleeper.Id()) > 0; }, seconds(15))) << Log();
    ASSERT_TRUE(WaitFor([&] { return Count("112", engine.Id()) > 0; }, seconds(10))) << Log();
    // Some more cycles: still running, and told once.
    std::this_thread::sleep_for(seconds(1));
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_EQ(Count("112", engine.Id()), 1) << Log();
    EXPECT_NE(Log().find(c.refusal), std::string::npos) << Log();
    ASSERT_TRUE(RunEngineCommand(L"/exit").has_value());
    EXPECT_TRUE(engine.WaitForExit(10000).has_value()) << "the engine answers /exit";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SelfGuard,
    ::testing::Values(
        GuardCase{"ThrottleOnEveryProcess", "[ProcessAllowances]\r\nProcessThrottles=*;1\r\n",
                  "Throttle not applied to this process: it is the engine itself", "48"},
        // Every process but this test program, its console and the /exit command, which are
        // not what is tested here.
        GuardCase{"EveryProcessDisallowed",
                  "[ProcessAllowances]\r\nDisallowedProcesses=*\r\n"
                  "AllowedProcesses=cv_e2e_tests.exe,conhost.exe,regex: /exit\r\n",
                  "Disallowed-process rule not applied to this process: it is the engine itself",
                  "4"},
        // Idle for two seconds: the /exit command has done its work by then.
        GuardCase{"WatchdogEndingTheEnginesName",
                  "[AdvancedRules]\r\nWatchdogRules2=vigilor.exe;0;0;100;2000;0;0;2;-;-;-;-,"
                  "cv_e2e_sleeper.exe;0;0;100;2000;0;0;2;-;-;-;-\r\n",
                  "Watchdog rule not applied to this process: it is the engine itself", "9"}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cv::e2e
