// Memory status, the free-memory counter, worker threads and the locale's date under Wine.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <pdh.h>

#include <atomic>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Memory.h"
#include "platform/Threads.h"

namespace cv::platform {
namespace {

TEST(MemoryWin, StatusIsConsistentAndAMissingCounterLeavesNothingOpen) {
    const auto status = ReadMemoryStatus();
    ASSERT_TRUE(status.has_value());
    EXPECT_LE(status->memoryLoad, 100u);
    EXPECT_GT(status->totalPhysical, 0u);
    EXPECT_LE(status->availablePhysical, status->totalPhysical);

    // PDH itself works here: a counter Wine has opens and reads.
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER processorTime = nullptr;
    ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &query), static_cast<PDH_STATUS>(ERROR_SUCCESS));
    EXPECT_EQ(PdhAddEnglishCounterW(query, L"\\Processor(_Total)\\% Processor Time", 0,
                                    &processorTime),
              static_cast<PDH_STATUS>(ERROR_SUCCESS));
    EXPECT_EQ(PdhCollectQueryData(query), static_cast<PDH_STATUS>(ERROR_SUCCESS));
    PdhCloseQuery(query);

    // Wine's PDH has no free-and-zero page counter: the counter does not open, nothing is left
    // open, nothing is read, and asking again gives the same answer (the trimmer then takes the
    // available memory of the status above).
    FreeMemoryCounter counter;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(counter.Open()) << attempt;
        EXPECT_FALSE(counter.IsOpen()) << attempt;
        EXPECT_FALSE(counter.Read().has_value()) << attempt;
    }
    counter.Close();
    EXPECT_FALSE(counter.IsOpen());
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
