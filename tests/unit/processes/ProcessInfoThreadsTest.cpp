// A thread of its own (as the throttles, the group extender and the memory trimmer have) reads
// a record's process information and works with its handle while the control thread cycles.
// Built with -DCV_SANITIZE=thread, ThreadSanitizer reports any unguarded field.
#include <atomic>
#include <chrono>
#include <thread>

#include "EngineScenario.h"
#include "platform/Processes.h"

namespace cv {
namespace {

class ProcessInfoThreads : public test::EngineScenario {};

TEST_F(ProcessInfoThreads, AWorkerReadsAndUsesTheHandleWhileTheEngineCycles) {
    auto& watched = machine().AddProcess(300, L"watched.exe");
    watched.commandLine = L"watched.exe --serve";
    ControlLoop& loop = Start({{L"ForcedMode", L"true"}});
    Cycles(1);
    ProcessRecord* record = loop.Processes().Find(300);
    ASSERT_NE(record, nullptr);
    ProcessInfo& info = *record->info;

    std::atomic<int> rounds{0};
    std::atomic<int> wrongFacts{0};
    std::atomic<int> deadHandles{0};
    // Joined on every way out, also when an assertion below ends the test early.
    std::jthread worker([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            // Each cached fact is read in a burst, with no other lock taken in between, so a
            // field read or written without the object's lock shows as a race.
            for (int i = 0; i < 32; ++i) {
                if (info.Path() != L"C:\\Programs\\watched.exe" ||
                    info.CommandLine() != L"watched.exe --serve" || info.IsSuspended()) {
                    ++wrongFacts;
                }
            }
            for (int i = 0; i < 32; ++i) {
                info.CpuPercent();
            }
            for (int i = 0; i < 32; ++i) {
                info.ThreadCount();
            }
            info.Times();
            if (const SharedProcessHandle handle = info.Handle()) {
                // Held by this thread: the control thread's release cannot close it.
                if (!platform::GetTimesOfProcess(handle->Get()) ||
                    platform::WaitForObject(handle->Get(), 0) != platform::WaitResult::TimedOut) {
                    ++deadHandles;
                }
            }
            ++rounds;
        }
    });

    for (int cycle = 0; cycle < 100; ++cycle) {
        // Others come and go, and the watched process loses and regains its threads, so the
        // control thread releases handles, the watched one among them.
        machine().AddProcess(1000 + cycle, L"passing.exe");
        if (cycle > 0) {
            machine().EndProcess(1000 + cycle - 1);
        }
        machine().FindProcess(300)->threadCount = cycle % 2;
        const int before = rounds;
        Cycles(1);
        // Let the worker overlap every cycle; it needs well under a millisecond a round.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (rounds < before + 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    }
    worker.request_stop();
    worker.join();
    EXPECT_GE(rounds, 200);
    EXPECT_EQ(wrongFacts, 0);
    EXPECT_EQ(deadHandles, 0);
    EXPECT_NE(loop.Processes().Find(300), nullptr);
}

}  // namespace
}  // namespace cv
