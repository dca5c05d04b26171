// One engine cycle's snapshot refresh and process-table upkeep, without rules, for machines
// running 250 to 4,000 processes. The per-process figure should stay flat as the count grows.
#include <benchmark/benchmark.h>

#include "engine/ControlLoop.h"
#include "platform/sim/SimFiles.h"
#include "platform/sim/SimMachine.h"
#include "processes/HandleCache.h"
#include "runtime/EngineProcess.h"

namespace {

void BM_CycleUpkeep(benchmark::State& state) {
    auto& machine = cv::sim::Machine::Get();
    machine.Reset();
    cv::ResetEngineProcessValues();
    cv::ProcessValues().ConfigFolderOverride = L"C:\\Cfg";
    cv::ProcessValues().LogFolderOverride = L"C:\\Logs";
    cv::sim::PutFolder(L"C:\\Logs");
    const auto count = static_cast<std::uint32_t>(state.range(0));
    for (std::uint32_t i = 0; i < count; ++i) {
        auto& process = machine.AddProcess(1000 + 4 * i, L"process" + std::to_wstring(i) + L".exe");
        process.threadCount = 1 + i % 12;
        process.parentPid = 1000 + 4 * (i / 2);
    }
    {
        cv::ControlLoop loop;
        loop.Startup();
        loop.RunCycle();  // the first cycle judges every process
        loop.RunCycle();
        for (auto _ : state) {
            loop.RunCycle();
        }
        state.counters["processes"] = static_cast<double>(loop.Processes().Count());
        state.counters["ns_per_process"] = benchmark::Counter(
            static_cast<double>(count),
            benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
        loop.Shutdown();
    }
    cv::ProcessHandleCache::Instance().Clear();
}
BENCHMARK(BM_CycleUpkeep)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);

}  // namespace
