// Levelon under Wine: a program that burns a processor is restrained while the machine is busy,
// restored when it calms down, and never left restrained when the engine stops.
#include <gtest/gtest.h>

#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::wstring BurnerPath() {
    return TestFolder() + L"\\cv_e2e_burner.exe";
}

void EndBurners() {
    EndProgramsNamed({L"cv_e2e_burner.exe"});
}

class Levelon : public ::testing::Test {
  protected:
    TempFolder config{L"cfg-levelon"};
    TempFolder logs{L"logs-levelon"};
    Program engine;

    void SetUp() override {
        if (EngineMutexExists()) {
            RunEngineCommand(L"/exit");
            ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, seconds(10)));
        }
        // Levelon with the thresholds of this machine's processor count.
        WriteBytes(config.File(L"corvex.ini"),
                   "[OutOfControlProcessRestraint]\r\nOocOn=true\r\n"
                   "[Logging]\r\nLogLevelonBegin=true\r\nLogLevelonEnd=true\r\n");
        ASSERT_TRUE(StartEngine(engine, Switches(config, logs)));
        ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "60"); }, seconds(15)));
    }
    void TearDown() override {
        if (engine.IsRunning()) {
            RunEngineCommand(L"/exit");
            engine.WaitForExit(5000);
        }
        EndBurners();
    }
    std::string PidField(const Program& program) {
        return "\",\"" + std::to_string(program.Id()) + "\",\"";
    }
};

TEST_F(Levelon, ABurnerIsRestrainedAndRestoredWhenItCalmsDown) {
    Program burner;
    ASSERT_TRUE(burner.Start(BurnerPath(), L"9000 30000"));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "44", PidField(burner)); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_TRUE(HasAction(logs, "43", PidField(burner)));
    EXPECT_EQ(GetPriorityClass(burner.Handle()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    // It stops burning; after the minimum time it gets its class back.
    EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "46", PidField(burner)); }, seconds(30)))
        << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_TRUE(HasAction(logs, "32", PidField(burner)));
    EXPECT_EQ(GetPriorityClass(burner.Handle()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    // The engine never restrains itself.
    EXPECT_FALSE(HasAction(logs, "43", "vigilor.exe"));
}

TEST_F(Levelon, ExitGivesARestrainedProcessItsClassBack) {
    Program burner;
    ASSERT_TRUE(burner.Start(BurnerPath(), L"60000"));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "44", PidField(burner)); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    ASSERT_EQ(GetPriorityClass(burner.Handle()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(RunEngineCommand(L"/exit", 10000).has_value());
    EXPECT_TRUE(engine.WaitForExit(10000).has_value());
    EXPECT_EQ(GetPriorityClass(burner.Handle()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

}  // namespace
}  // namespace cv::e2e
