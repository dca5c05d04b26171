// Nothing left behind under Wine, whatever ends the engine: the engine is ended from outside with
// TerminateProcess while it holds a change to a helper, and a new engine whose configuration no
// longer has the feature puts the helper back within 5 s. Also a second engine with the same
// throttle after the kill, and /exit giving back a CPU limit's mask.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "SharedCount.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kPutBackWithin = seconds(5);
constexpr char kThrottle[] = "[ProcessAllowances]\r\nProcessThrottles=cv_e2e_counter.exe;20\r\n";
constexpr char kLimit[] =
    "[ProcessAllowances]\r\nCPULimitRules=cv_e2e_burner.exe;10;1000;1;0\r\n"
    "[OutOfControlProcessRestraint]\r\nOocOn=false\r\n";
constexpr char kRestraint[] =
    "[OutOfControlProcessRestraint]\r\nOocOn=true\r\n"
    "[Logging]\r\nLogLevelonBegin=true\r\nLogLevelonEnd=true\r\n";
// The next engine: none of the features.
constexpr char kNothing[] = "[OutOfControlProcessRestraint]\r\nOocOn=false\r\n";

std::wstring HelperPath(const wchar_t* name) {
    return TestFolder() + L"\\" + name;
}

DWORD_PTR AffinityOf(HANDLE process) {
    DWORD_PTR mask = 0, system = 0;
    return GetProcessAffinityMask(process, &mask, &system) ? mask : 0;
}

DWORD_PTR SystemMask() {
    DWORD_PTR mask = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &mask, &system);
    return system;
}

class Recovery : public EngineFixture {
  protected:
    Recovery() : EngineFixture(L"recovery", {L"cv_e2e_burner.exe", L"cv_e2e_counter.exe"}) {}

    std::string PidField(const Program& program) {
        return "\",\"" + std::to_string(program.Id()) + "\",\"";
    }
    int CountActions(const std::string& action, const std::string& text = "") {
        const auto lines = LogLines(logs);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return ActionOf(line) == action && line.find(text) != std::string::npos;
        }));
    }
    std::string Log() { return ReadBytes(logs.File(L"corvane.log")); }
    // One more engine on these lines, once its first cycle began (the log already holds the
    // begin records of the engines before it).
    void StartNext(const std::string& lines) {
        const int begun = CountActions("60");
        WriteBytes(config.File(L"corvex.ini"), "[Performance]\r\nUpdateSpeedCore=200\r\n" + lines);
        ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
        ASSERT_TRUE(WaitFor([&] { return CountActions("60") > begun; }, seconds(15))) << Log();
    }
    // Ends the engine from outside, as a crash or a task manager would.
    void KillEngine() {
        engine.Kill();
        ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, seconds(5)));
    }
    // The counter's rate, counted over a second.
    LONG64 Rate(const SharedCount& count) { return count.GrowthOver(milliseconds(1000)); }
    // Starts the counter under a level-20 throttle (suspended 2000 ms of every 2010 ms) and kills
    // the engine while it holds the counter suspended; false when that could not be brought
    // about.
    bool KillWhileSuspended(const SharedCount& count, Program& counter, LONG64& freeRate) {
        if (!counter.Start(HelperPath(L"cv_e2e_counter.exe"), count.Name() + L" 60000")) {
            return false;
        }
        WaitFor([&] { return count.Read() > 0; }, seconds(5));
        freeRate = Rate(count);
        // The kill may land in the 10 ms the counter runs: then it is tried again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const int begun = CountActions("48", PidField(counter));
            StartNext(kThrottle);
            if (!WaitFor([&] { return CountActions("48", PidField(counter)) > begun; },
                         seconds(10))) {
                return false;
            }
            std::this_thread::sleep_for(milliseconds(300));
            KillEngine();
            if (count.GrowthOver(milliseconds(500)) == 0) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(Recovery, AKilledEnginesChangeIsPutBackByTheNextEngineWithoutTheFeature) {
    ASSERT_GE(std::popcount(SystemMask()), 2) << "the CPU limit needs two processors";
    SharedCount count(L"Local\\CvE2eRecovery-" + std::to_wstring(GetCurrentProcessId()));
    ASSERT_TRUE(count.Valid());
    const struct Case {
        const char* what;
        // Sets the change up and kills the engine; returns how to see it put back.
        std::function<std::function<bool()>(Program&)> killDuringChange;
    } cases[] = {
        {"a throttled counter counts at its free rate again",
         [&](Program& helper) -> std::function<bool()> {
             LONG64 freeRate = 0;
             if (!KillWhileSuspended(count, helper, freeRate)) {
                 ADD_FAILURE() << "the counter was not left suspended\n" << Log();
                 return [] { return false; };
             }
             return [&, freeRate] { return Rate(count) * 3 >= freeRate; };
         }},
        {"a restrained burner has its class back",
         [&](Program& helper) -> std::function<bool()> {
             StartNext(kRestraint);
             helper.Start(HelperPath(L"cv_e2e_burner.exe"), L"60000");
             if (!WaitFor([&] { return HasAction(logs, "44", PidField(helper)); }, seconds(15))) {
                 ADD_FAILURE() << "not restrained\n" << Log();
             }
             KillEngine();
             EXPECT_EQ(GetPriorityClass(helper.Handle()),
                       static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
             const HANDLE process = helper.Handle();
             return [process] {
                 return GetPriorityClass(process) == static_cast<DWORD>(NORMAL_PRIORITY_CLASS);
             };
         }},
        {"a limited burner has its affinity back",
         [&](Program& helper) -> std::function<bool()> {
             StartNext(kLimit);
             helper.Start(HelperPath(L"cv_e2e_burner.exe"), L"60000");
             if (!WaitFor([&] { return HasAction(logs, "89", PidField(helper)); }, seconds(15))) {
                 ADD_FAILURE() << "not limited\n" << Log();
             }
             KillEngine();
             EXPECT_NE(AffinityOf(helper.Handle()), SystemMask());
             const HANDLE process = helper.Handle();
             return [process] { return AffinityOf(process) == SystemMask(); };
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Program helper;
        const std::function<bool()> putBack = c.killDuringChange(helper);
        StartNext(kNothing);
        EXPECT_TRUE(WaitFor(putBack, kPutBackWithin)) << Log();
        RunEngineCommand(L"/exit");
        engine.WaitForExit(5000);
        helper.Kill();
    }
}

TEST_F(Recovery, ASecondEngineWithTheSameThrottleLeavesTheCounterFreeAfterItsExit) {
    SharedCount count(L"Local\\CvE2eRecovery2-" + std::to_wstring(GetCurrentProcessId()));
    ASSERT_TRUE(count.Valid());
    Program counter;
    LONG64 freeRate = 0;
    ASSERT_TRUE(KillWhileSuspended(count, counter, freeRate)) << Log();
    StartNext(kThrottle);
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_TRUE(RunEngineCommand(L"/exit", 10000).has_value());
    ASSERT_TRUE(engine.WaitForExit(10000).has_value());
    const LONG64 rate = Rate(count);
    EXPECT_GE(rate * 3, freeRate) << "free " << freeRate << " after " << rate;
}

TEST_F(Recovery, ExitGivesTheCpuLimitsMaskBack) {
    ASSERT_GE(std::popcount(SystemMask()), 2) << "the CPU limit needs two processors";
    StartNext(kLimit);
    Program burner;
    ASSERT_TRUE(burner.Start(HelperPath(L"cv_e2e_burner.exe"), L"60000"));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "89", PidField(burner)); }, seconds(15)))
        << Log();
    ASSERT_NE(AffinityOf(burner.Handle()), SystemMask());
    EXPECT_TRUE(RunEngineCommand(L"/exit", 10000).has_value());
    ASSERT_TRUE(engine.WaitForExit(10000).has_value());
    EXPECT_EQ(AffinityOf(burner.Handle()), SystemMask());
}

}  // namespace
}  // namespace cv::e2e
