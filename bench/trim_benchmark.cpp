// One Cullmark working-set walk over 1,000 processes, a tenth of them large enough to trim. The
// trimmer is a background worker: its walk must stay well below 50 ms of CPU.
#include <benchmark/benchmark.h>

#include "actionlog/ActionLog.h"
#include "config/ConfigSettings.h"
#include "control/FeatureContext.h"
#include "platform/sim/SimMachine.h"
#include "processes/ParentTree.h"
#include "trimming/CullmarkTrimmer.h"

namespace {

void BM_TrimWalk(benchmark::State& state) {
    auto& machine = cv::sim::Machine::Get();
    machine.Reset();
    machine.memoryLoad = 90;
    const auto count = static_cast<std::uint32_t>(state.range(0));
    for (std::uint32_t i = 0; i < count; ++i) {
        auto& process = machine.AddProcess(1000 + 4 * i, L"process" + std::to_wstring(i) + L".exe");
        process.workingSet = (i % 10 == 0 ? 600ull : 40ull) << 20;
    }
    cv::ConfigSettings settings{cv::SettingsEnvironment{}};
    settings.MemoryManagement.CullmarkWorkingSetTrims = true;
    settings.Logging.LogCullmark = false;  // the walk, not the log queue
    cv::ActionLog log;
    cv::ProcessTable table;
    cv::ParentTree tree;
    cv::EngineIdentity engine;
    cv::CycleState cycle;
    const cv::FeatureContext context(settings, log, table, tree, engine, cycle);
    cv::CullmarkTrimmer trimmer(context);
    for (auto _ : state) {
        trimmer.RunPass(false);
    }
    state.counters["processes"] = static_cast<double>(count);
}
BENCHMARK(BM_TrimWalk)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
