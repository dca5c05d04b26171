// Memory status, the free-memory counter, worker threads and the locale's date under Wine.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Memory.h"
#include "platform/Threads.h"

namespace cv::platform {
namespace {

TEST(MemoryWin, StatusIsConsistentAndTheCounterEitherReadsOrStaysClosed) {
    const auto status = ReadMemoryStatus();
    ASSERT_TRUE(status.has_value());
    EXPECT_LE(status->memoryLoad, 100u);
    EXPECT_GT(status->totalPhysical, 0u);
    EXPECT_LE(status->availablePhysical, status->totalPhysical);
    // Wine's PDH has no such counter; the trimmer then falls back to the status above.
    FreeMemoryCounter counter;
    if (counter.Open()) {
        EXPECT_TRUE(counter.Read().has_value());
    } else {
        EXPECT_FALSE(counter.IsOpen());
        EXPECT_FALSE(counter.Read().has_value());
    }
}

TEST(ThreadsWin, AWorkerRunsAtItsPriorityAndIsJoined) {
    std::atomic<int> priority{THREAD_PRIORITY_ERROR_RETURN};
    WorkerThread worker;
    ASSERT_TRUE(worker.Start([&priority] { priority = GetThreadPriority(GetCurrentThread()); },
                             256 * 1024, kThreadPriorityBelowNormal));
    EXPECT_FALSE(worker.Start([] {}, 256 * 1024, kThreadPriorityNormal));
    worker.Join();
    EXPECT_FALSE(worker.Joinable());
    EXPECT_EQ(priority.load(), THREAD_PRIORITY_BELOW_NORMAL);
}

TEST(DateTimeWin, UtcCalendarAndTheSystemLocaleDate) {
    const CalendarTime now = SystemCalendarTime();
    EXPECT_GE(now.year, 2024);
    const std::wstring text = FormatSystemLocaleDateTime(SystemTimeAsFileTime());
    EXPECT_NE(text.find(std::to_wstring(now.year)), std::wstring::npos) << text;
    EXPECT_NE(text.find(L':'), std::wstring::npos) << text;
}

}  // namespace
}  // namespace cv::platform
