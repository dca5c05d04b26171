// Power automation under Wine, seen as the user interface sees it: through the shared named
// events and the action log. Power plans cannot be switched under Wine, so what is checked is
// that the engine raises and drops its signals with the programs that cause them, and that a
// failing plan switch never keeps the signals from following.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::seconds;

constexpr wchar_t kActiveEvent[] = L"Global\\4f90aefd-30ca-4121-afec-106c3903fc0f";
constexpr wchar_t kAutomaticEvent[] = L"Global\\9c224aec-cdc4-4176-abd1-b18a3f68cb75";
constexpr wchar_t kManualEvent[] = L"Global\\a7f0ef70-3b73-4d1f-b9ff-c776d4c37ea7";
constexpr wchar_t kToggleEvent[] = L"Global\\6fe25ac7-8142-404c-8dea-b29d40a4fde9";
constexpr wchar_t kPreventSleepEvent[] = L"Global\\{b91c2f04-fb73-47d0-adb5-02a7a81208ac}";
constexpr wchar_t kPreventDisplaySleepEvent[] = L"Global\\{2faa5a35-5473-4c53-b1b2-1a9acf965e87}";

std::wstring SleeperPath() {
    return TestFolder() + L"\\cv_e2e_sleeper.exe";
}

// An event of the engine, opened as an observer would open it.
class Observed {
  public:
    Observed(const wchar_t* name, DWORD access = SYNCHRONIZE)
        : handle_(OpenEventW(access, FALSE, name)) {}
    Observed(const Observed&) = delete;
    Observed& operator=(const Observed&) = delete;
    ~Observed() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    bool Opened() const { return handle_ != nullptr; }
    // Only for the manual-reset events: a zero wait does not consume them.
    bool IsSet() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }
    bool Set() const { return SetEvent(handle_) != FALSE; }

  private:
    HANDLE handle_;
};

std::wstring RecorderPath() {
    return TestFolder() + L"\\cv_e2e_recorder.exe";
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The position of the first record with this action and text, or -1.
int RecordIndex(const TempFolder& logs, const std::string& action, const std::string& text) {
    const std::vector<std::string> lines = LogLines(logs);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (ActionOf(lines[i]) == action && lines[i].find(text) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

class Power : public EngineFixture {
  protected:
    Power() : EngineFixture(L"power", {L"cv_e2e_sleeper.exe", L"cv_e2e_recorder.exe"}) {}

    std::string Log() { return ReadBytes(logs.File(L"corvane.log")); }

    static std::string PidField(const Program& program) {
        return "\",\"" + std::to_string(program.Id()) + "\",\"";
    }
};

TEST_F(Power, ANamedProgramHoldsAutomaticPerformanceModeWhileItRuns) {
    ASSERT_NO_FATAL_FAILURE(
        StartWith("[GamingMode]\r\nAutomaticGamingModeProcessPaths=cv_e2e_sleeper.exe\r\n"));
    const Observed active(kActiveEvent);
    const Observed automatic(kAutomaticEvent);
    const Observed manual(kManualEvent);
    ASSERT_TRUE(active.Opened() && automatic.Opened() && manual.Opened());
    EXPECT_FALSE(active.IsSet());

    Program game;
    ASSERT_TRUE(game.Start(SleeperPath(), L"60000"));
    ASSERT_TRUE(WaitFor([&] { return active.IsSet() && automatic.IsSet(); }, seconds(10))) << Log();
    EXPECT_FALSE(manual.IsSet());
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "25", PidField(game)); }, seconds(5)))
        << Log();

    const std::string pid = PidField(game);
    game.Kill();
    EXPECT_TRUE(WaitFor([&] { return !active.IsSet() && !automatic.IsSet(); }, seconds(10)))
        << Log();
    EXPECT_FALSE(manual.IsSet());
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "26", pid); }, seconds(5))) << Log();
    EXPECT_LT(RecordIndex(logs, "25", pid), RecordIndex(logs, "26", pid));
}

TEST_F(Power, AProgramInThePreventSleepListKeepsTheMachineAwakeWhileItRuns) {
    ASSERT_NO_FATAL_FAILURE(StartWith("[PowerManagement]\r\nPC=cv_e2e_sleeper.exe\r\n"));
    const Observed preventSleep(kPreventSleepEvent);
    const Observed preventDisplaySleep(kPreventDisplaySleepEvent);
    ASSERT_TRUE(preventSleep.Opened() && preventDisplaySleep.Opened());
    EXPECT_FALSE(preventSleep.IsSet());

    Program render;
    ASSERT_TRUE(render.Start(SleeperPath(), L"60000"));
    ASSERT_TRUE(WaitFor([&] { return preventSleep.IsSet(); }, seconds(10))) << Log();
    // Only the machine is kept awake; the display may sleep.
    EXPECT_FALSE(preventDisplaySleep.IsSet());
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "16", PidField(render)); }, seconds(5)))
        << Log();

    const std::string pid = PidField(render);
    render.Kill();
    EXPECT_TRUE(WaitFor([&] { return !preventSleep.IsSet(); }, seconds(10))) << Log();
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "17", pid); }, seconds(5))) << Log();
}

TEST_F(Power, TheToggleEventTurnsManualPerformanceModeOnAndOff) {
    ASSERT_NO_FATAL_FAILURE(StartWith(""));
    const Observed active(kActiveEvent);
    const Observed automatic(kAutomaticEvent);
    const Observed manual(kManualEvent);
    const Observed toggle(kToggleEvent, EVENT_MODIFY_STATE);
    ASSERT_TRUE(active.Opened() && automatic.Opened() && manual.Opened() && toggle.Opened());

    ASSERT_TRUE(toggle.Set());
    ASSERT_TRUE(WaitFor([&] { return active.IsSet() && manual.IsSet(); }, seconds(10))) << Log();
    EXPECT_FALSE(automatic.IsSet());
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "25", "vigilor.exe"); }, seconds(5))) << Log();

    // Toggled again it ends, so that no observer is left believing it is on.
    ASSERT_TRUE(toggle.Set());
    EXPECT_TRUE(WaitFor([&] { return !active.IsSet() && !manual.IsSet(); }, seconds(10))) << Log();
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "26", "vigilor.exe"); }, seconds(5))) << Log();
}

TEST_F(Power, ManualPerformanceModeOutlivesAGameThatEnds) {
    ASSERT_NO_FATAL_FAILURE(
        StartWith("[GamingMode]\r\nAutomaticGamingModeProcessPaths=cv_e2e_sleeper.exe\r\n"));
    const Observed active(kActiveEvent);
    const Observed automatic(kAutomaticEvent);
    const Observed manual(kManualEvent);
    const Observed toggle(kToggleEvent, EVENT_MODIFY_STATE);
    ASSERT_TRUE(active.Opened() && automatic.Opened() && manual.Opened() && toggle.Opened());
    ASSERT_TRUE(toggle.Set());
    ASSERT_TRUE(WaitFor([&] { return active.IsSet() && manual.IsSet(); }, seconds(10))) << Log();

    Program game;
    ASSERT_TRUE(game.Start(SleeperPath(), L"60000"));
    ASSERT_TRUE(WaitFor([&] { return automatic.IsSet(); }, seconds(10))) << Log();
    const std::string pid = PidField(game);
    game.Kill();
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "94", pid); }, seconds(10))) << Log();
    EXPECT_TRUE(WaitFor([&] { return !automatic.IsSet(); }, seconds(5)));
    EXPECT_TRUE(active.IsSet());
    EXPECT_TRUE(manual.IsSet());
    EXPECT_FALSE(HasAction(logs, "26", pid));

    ASSERT_TRUE(toggle.Set());
    EXPECT_TRUE(WaitFor([&] { return !active.IsSet() && !manual.IsSet(); }, seconds(10))) << Log();
}

// Two games hold performance mode; the first to end leaves it on for the second, and the
// configuration is not read again until the last has ended: a watchdog rule's once-per-episode
// launch for the game still running runs once.
TEST_F(Power, TheFirstOfTwoGamesToEndLeavesPerformanceModeAndTheWatchdogEpisodesAlone) {
    // Each idle game gets the recorder launched about it once per episode.
    ASSERT_NO_FATAL_FAILURE(StartWith(
        "[GamingMode]\r\nAutomaticGamingModeProcessPaths=cv_e2e_sleeper.exe\r\n"
        "[AdvancedRules]\r\nWatchdogRules2=cv_e2e_sleeper.exe;8;0;10;2000;0;0;2;" +
        Narrow(RecorderPath()) + ";" + Narrow(config.File(L"launched-%1.txt")) + " %2;-;-\r\n"));
    const Observed active(kActiveEvent);
    const Observed automatic(kAutomaticEvent);
    ASSERT_TRUE(active.Opened() && automatic.Opened());

    Program first, second;
    ASSERT_TRUE(first.Start(SleeperPath(), L"60000"));
    ASSERT_TRUE(second.Start(SleeperPath(), L"60000"));
    const std::string firstPid = PidField(first);
    const std::string secondPid = PidField(second);
    ASSERT_TRUE(WaitFor([&] { return active.IsSet() && automatic.IsSet(); }, seconds(10))) << Log();
    ASSERT_TRUE(
        WaitFor([&] { return HasAction(logs, "77", firstPid) && HasAction(logs, "77", secondPid); },
                seconds(15)))
        << Log();

    first.Kill();
    // Long enough for a reload (half a second) and a new episode's 2 s to have passed.
    std::this_thread::sleep_for(seconds(5));
    EXPECT_TRUE(active.IsSet());
    EXPECT_TRUE(automatic.IsSet());
    EXPECT_FALSE(HasAction(logs, "26", firstPid)) << Log();
    const auto launches = [&](const std::string& pid) {
        const std::vector<std::string> lines = LogLines(logs);
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return ActionOf(line) == "77" && line.find(pid) != std::string::npos;
        });
    };
    EXPECT_EQ(launches(secondPid), 1) << Log();
    EXPECT_TRUE(second.IsRunning());

    // The last game's end leaves performance mode.
    second.Kill();
    EXPECT_TRUE(WaitFor([&] { return !active.IsSet() && !automatic.IsSet(); }, seconds(10)))
        << Log();
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "26", secondPid); }, seconds(5))) << Log();
}

}  // namespace
}  // namespace cv::e2e
