// The engine under Wine acting on helper programs the test starts: defaults, disallowed
// processes, instance limits and keep-running restarts.
#include <gtest/gtest.h>

#include <optional>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::wstring SleeperPath() {
    return TestFolder() + L"\\cv_e2e_sleeper.exe";
}
std::wstring StubbornPath() {
    return TestFolder() + L"\\cv_e2e_stubborn.exe";
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

class Rules : public EngineFixture {
  protected:
    Rules() : EngineFixture(L"rules", {L"cv_e2e_sleeper.exe", L"cv_e2e_stubborn.exe"}) {}

    std::string PidField(const Program& program) {
        return "\",\"" + std::to_string(program.Id()) + "\",\"";
    }
};

TEST_F(Rules, DefaultPriorityAndAffinityAreApplied) {
    StartWith(
        "[ProcessDefaults]\r\nDefaultPriorities=cv_e2e_sleeper.exe,Below Normal\r\n"
        "DefaultAffinitiesEx=cv_e2e_sleeper.exe,0,0\r\n");
    Program helper;
    ASSERT_TRUE(helper.Start(SleeperPath(), L"20000"));
    EXPECT_TRUE(
        WaitFor([&] { return GetPriorityClass(helper.Handle()) == BELOW_NORMAL_PRIORITY_CLASS; },
                seconds(5)));
    EXPECT_TRUE(WaitFor(
        [&] {
            DWORD_PTR mask = 0, system = 0;
            return GetProcessAffinityMask(helper.Handle(), &mask, &system) && mask == 1;
        },
        seconds(5)));
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "22", PidField(helper)); }, seconds(5)));
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "21", PidField(helper)); }, seconds(5)));
}

TEST_F(Rules, DisallowedProcessIsEnded) {
    StartWith("[ProcessAllowances]\r\nDisallowedProcesses=cv_e2e_sleeper.exe\r\n");
    Program helper;
    ASSERT_TRUE(helper.Start(SleeperPath(), L"20000"));
    EXPECT_TRUE(helper.WaitForExit(5000).has_value());
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "4", PidField(helper)); }, seconds(5)));
}

TEST_F(Rules, ThirdCopyOverALimitOfTwoIsClosed) {
    StartWith(
        "[ProcessAllowances]\r\nInstanceLimitedProcesses=cv_e2e_sleeper.exe;2\r\n"
        "[Performance]\r\nGracefulWaitTimeInMs=500\r\n");
    Program first, second, third;
    ASSERT_TRUE(first.Start(SleeperPath(), L"20000"));
    ASSERT_TRUE(second.Start(SleeperPath(), L"20000"));
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(third.Start(SleeperPath(), L"20000"));
    EXPECT_TRUE(third.WaitForExit(8000).has_value());
    EXPECT_TRUE(first.IsRunning());
    EXPECT_TRUE(second.IsRunning());
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "7", PidField(third)); }, seconds(5)));
}

TEST_F(Rules, ExitEndsAGracefulCloseThatWouldWaitForEver) {
    StartWith(
        "[ProcessAllowances]\r\nInstanceLimitedProcesses=cv_e2e_stubborn.exe;1\r\n"
        "[Performance]\r\nGracefulWaitTimeInMs=-1\r\n");
    Program first, second;
    ASSERT_TRUE(first.Start(StubbornPath(), L"30000"));
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(first.IsRunning());
    ASSERT_TRUE(second.Start(StubbornPath(), L"30000"));
    // The second copy is asked to close and refuses; the engine is now in its graceful wait.
    std::this_thread::sleep_for(milliseconds(1500));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(RunEngineCommand(L"/exit", 10000).has_value());
    EXPECT_TRUE(engine.WaitForExit(10000).has_value());
    EXPECT_LE(std::chrono::steady_clock::now() - asked, seconds(10));
    // Terminated, not left with its question open.
    EXPECT_TRUE(second.WaitForExit(5000).has_value());
    EXPECT_TRUE(first.IsRunning());
    EXPECT_TRUE(HasAction(logs, "7", PidField(second))) << ReadBytes(logs.File(L"corvane.log"));
}

TEST_F(Rules, KilledProgramIsRestartedAfterTheGrace) {
    const std::string path = Narrow(SleeperPath());
    StartWith("[ProcessDefaults]\r\nKeepRunningProcesses=" + path + ";3000;0\r\n");
    Program helper;
    ASSERT_TRUE(helper.Start(SleeperPath(), L"3000"));
    std::this_thread::sleep_for(milliseconds(600));
    helper.Kill();
    // Within the first cycles after start (30 on a machine with one or two processors, at most
    // 10 otherwise, of 200 ms) nothing is started again.
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const int grace =
        info.dwNumberOfProcessors <= 2 ? 30 : (info.dwNumberOfProcessors == 3 ? 15 : 10);
    if (grace >= 15) {
        std::this_thread::sleep_for(milliseconds(1000));
        EXPECT_FALSE(HasAction(logs, "23"));
    }
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "23", "cv_e2e_sleeper.exe"); }, seconds(20)))
        << ReadBytes(logs.File(L"corvane.log"));
}

}  // namespace
}  // namespace cv::e2e
