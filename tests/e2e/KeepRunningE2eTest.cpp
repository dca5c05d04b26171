// The engine under Wine keeping a program running that lives in a folder with a non-ASCII name:
// the rule and the live process must meet, or the program is started again every cycle.
#include <gtest/gtest.h>

#include <algorithm>

#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr wchar_t kSleeper[] = L"cv_e2e_sleeper.exe";

// Ends every copy of the helper and waits until each has gone, so its folder can be removed.
void EndSleepers() {
    EndProgramsNamed({kSleeper}, 5000);
}

// The configuration as UTF-16 with its byte order mark, the form that keeps non-ASCII paths.
std::string Utf16Config(const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    for (const wchar_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return bytes;
}

class KeepRunning : public ::testing::Test {
  protected:
    TempFolder config{L"cfg-keeprunning"};
    TempFolder logs{L"logs-keeprunning"};
    TempFolder program{L"\u041F\u0420\u041E\u0413"};  // ПРОГ
    Program engine;

    void SetUp() override {
        if (EngineMutexExists()) {
            RunEngineCommand(L"/exit");
            ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, seconds(10)));
        }
        ASSERT_TRUE(CopyFileW((TestFolder() + L"\\" + kSleeper).c_str(),
                              program.File(kSleeper).c_str(), FALSE));
    }
    void TearDown() override {
        if (engine.IsRunning()) {
            RunEngineCommand(L"/exit");
            engine.WaitForExit(5000);
        }
        EndSleepers();
    }

    int Count(const std::string& action) {
        const auto lines = LogLines(logs);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return ActionOf(line) == action;
        }));
    }
};

TEST_F(KeepRunning, AProgramInANonAsciiFolderIsStartedOnceAndThenLeftRunning) {
    // The rule keeps the folder's capitals; the engine reads the live path as the system has it.
    const std::wstring rule = program.File(kSleeper) + L";60000;0";
    WriteBytes(config.File(L"corvex.ini"),
               Utf16Config(L"[Performance]\r\nUpdateSpeedCore=100\r\n"
                           L"[ProcessDefaults]\r\nKeepRunningProcesses=" +
                           rule + L"\r\n"));
    ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "60"); }, seconds(15)));

    // After the grace (at most 30 cycles of 100 ms) the missing program is started once.
    ASSERT_TRUE(WaitFor([&] { return Count("23") > 0; }, seconds(20)))
        << ReadBytes(logs.File(L"corvane.log"));
    // While it runs, every later cycle finds the rule satisfied.
    std::this_thread::sleep_for(seconds(4));
    EXPECT_EQ(Count("23"), 1) << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_EQ(Count("24"), 0);
}

}  // namespace
}  // namespace cv::e2e
