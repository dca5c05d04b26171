#include <gtest/gtest.h>

#include <optional>

#include "EngineProcessHelpers.h"

namespace cv::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

class EngineLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        // No engine of an earlier, failed run may be left over.
        if (EngineMutexExists()) {
            RunEngineCommand(L"/exit");
            ASSERT_TRUE(WaitFor([] { return !EngineMutexExists(); }, seconds(10)));
        }
    }
};

TEST_F(EngineLifecycle, StartsKeepsRunningAndEndsOnExit) {
    Program engine;
    ASSERT_TRUE(StartEngine(engine));
    std::this_thread::sleep_for(milliseconds(2500));
    EXPECT_TRUE(engine.IsRunning());

    // A second start ends at once with exit code 0 and leaves the first running.
    EXPECT_EQ(RunEngineCommand(L"", 15000), std::optional<DWORD>(0));
    EXPECT_TRUE(engine.IsRunning());

    EXPECT_EQ(RunEngineCommand(L"/exit"), std::optional<DWORD>(0));
    const auto stopped = Clock::now();
    EXPECT_EQ(engine.WaitForExit(2000), std::optional<DWORD>(0));
    EXPECT_LE(Clock::now() - stopped, milliseconds(2000));
    EXPECT_FALSE(EngineMutexExists());
}

TEST_F(EngineLifecycle, ShutdownRequestEventEndsTheEngine) {
    Program engine;
    ASSERT_TRUE(StartEngine(engine));
    HANDLE request = CreateEventW(nullptr, TRUE, FALSE,
                                  L"Global\\{ca662ded-1ba8-4260-8753-2810540ed6dd}");
    ASSERT_NE(request, nullptr);
    SetEvent(request);
    // The engine looks once a second; allow for Wine's slower start-up of threads.
    EXPECT_EQ(engine.WaitForExit(2500), std::optional<DWORD>(0));
    ResetEvent(request);
    CloseHandle(request);
}

TEST_F(EngineLifecycle, ExitWithoutEngineEndsSilently) {
    EXPECT_EQ(RunEngineCommand(L"/exit"), std::optional<DWORD>(0));
}

TEST_F(EngineLifecycle, BadCommandLinesNeitherCrashNorHang) {
    const std::wstring cases[] = {
        L"/unknown /what=ever -x",
        L"/configfolder=\"",
        L"\"/logfolder=",
        L"/restart=abc",
        L"/restart=99999999999999999999",
        L"/configfolder=" + std::wstring(32000, L'a'),
    };
    for (const auto& arguments : cases) {
        Program engine;
        ASSERT_TRUE(StartEngine(engine, arguments)) << arguments.substr(0, 40).c_str();
        EXPECT_EQ(RunEngineCommand(L"/exit"), std::optional<DWORD>(0));
        EXPECT_EQ(engine.WaitForExit(5000), std::optional<DWORD>(0));
    }
}

}  // namespace
}  // namespace cv::e2e
