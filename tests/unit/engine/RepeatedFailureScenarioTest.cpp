// A failure that repeats every cycle is logged once per episode: when it begins, and again only
// after the attempt has succeeded in between. Each case keeps one attempt failing for many
// cycles (ForcedMode, or a watchdog condition that comes and goes, retries it), lets it succeed,
// and makes it fail again.
#include <functional>

#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "platform/ProcessControl.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

constexpr std::uint32_t kPid = 300;
constexpr std::uint32_t kSetRights =
    platform::kProcessSetInformation | platform::kProcessSetLimitedInformation;
// 8 processors, 1 s cycles.
constexpr std::uint64_t kMachinePerCycle = 8ull * 10'000'000;
constexpr wchar_t kSamplePath[] = L"C:\\Samples\\s.csv";

class RepeatedFailureScenario : public test::EngineScenario {
  protected:
    // The log as written so far; the engine keeps running.
    std::vector<test::LoggedAction> LogSoFar() {
        loop_->Log().StopWriter();
        auto log = ReadLog();
        EXPECT_TRUE(loop_->Log().StartWriter());
        return log;
    }
    // A cycle; with `flapping`, the process is busy every other cycle, so that a watchdog
    // condition begins again and again.
    void Cycle(bool flapping, int& count) {
        if (flapping && ++count % 2 == 0) {
            machine().AddCpuTime(kPid, kMachinePerCycle * 40 / 100);
        }
        Cycles(1);
    }
};

std::size_t CountFailures(const std::vector<test::LoggedAction>& log, std::uint32_t actionId,
                          const wchar_t* info) {
    std::size_t count = 0;
    for (const auto& action : log) {
        if (action.actionId == actionId && (info == nullptr || action.info == info)) {
            ++count;
        }
    }
    return count;
}

TEST_F(RepeatedFailureScenario, EachFailureIsLoggedOncePerEpisode) {
    const auto deny = [](sim::SimProcess& app) { app.deniedAccess = kSetRights; };
    const auto allow = [](sim::SimProcess& app) { app.deniedAccess = 0; };
    const auto failLaunches = [](sim::SimProcess&) {
        sim::Machine::Get().FailCall("CreateProcess");
        sim::Machine::Get().FailCall("CreateProcessAsUser");
    };
    const auto clearFailures = [](sim::SimProcess&) { sim::Machine::Get().ClearFailures(); };
    platform::PowerGuid firstPlan{};  // the plan active before the engine started
    const struct {
        const char* name;
        std::uint32_t actionId;
        const wchar_t* info;  // only records with this text count; null: every record
        Keys keys;
        bool flapping;
        std::function<void(sim::SimProcess&)> fail;  // also undoes what a success changed
        std::function<void(sim::SimProcess&)> heal;  // none: the attempt never succeeds
    } cases[] = {
        {"default affinity",
         CV_ACTION_TOOK_AFFINITY_ERROR,
         nullptr,
         {{L"DefaultAffinitiesEx", L"app.exe,0,0-1"}, {L"LogDefaultAffinityAdjustments", L"true"}},
         false,
         [&](sim::SimProcess& app) {
             deny(app);
             app.affinity = 0xFF;
         },
         allow},
        {"default memory priority",
         CV_ACTION_TOOK_DEFAULT_MEMORY_PRIORITY_CHANGE_ERROR,
         nullptr,
         {{L"DefaultMemoryPriorities", L"app.exe,2"}},
         false,
         [&](sim::SimProcess& app) {
             deny(app);
             app.memoryPriority = 5;
         },
         allow},
        {"default CPU sets",
         CV_ACTION_TOOK_DEFAULT_CPU_SET_CHANGE_ERROR,
         nullptr,
         {{L"CPUSets", L"app.exe,(0-1)"}, {L"LogCPUSets", L"true"}},
         false,
         [&](sim::SimProcess& app) {
             deny(app);
             app.defaultCpuSets.clear();
         },
         allow},
        {"efficiency mode off, set every cycle",
         CV_ACTION_TOOK_EFFICIENCY_MODE_CHANGE_ERROR,
         nullptr,
         {{L"EfficiencyMode", L"app.exe,0"}, {L"LogEfficiencyMode", L"true"}},
         false,
         deny,
         allow},
        {"disallowed process that cannot be ended",
         CV_ACTION_TOOK_DISALLOWED_TERMINATE_ERROR,
         nullptr,
         {{L"DisallowedProcesses", L"app.exe"}},
         false,
         [](sim::SimProcess& app) { app.deniedAccess = platform::kProcessTerminate; },
         nullptr},
        {"watchdog affinity",
         CV_ACTION_TOOK_AFFINITY_ERROR,
         nullptr,
         {{L"WatchdogRules2", L"app.exe;2;0;20;0;3;0;1;-;-;-;-"}},
         true,
         [&](sim::SimProcess& app) {
             deny(app);
             app.affinity = 0xFF;
         },
         allow},
        {"watchdog priority",
         CV_ACTION_TOOK_WATCHDOG_GENERAL_PRIORITY,
         L"ERROR",
         {{L"WatchdogRules2", L"app.exe;4;0;20;0;64;0;1;-;-;-;-"}},
         true,
         deny,
         allow},
        {"watchdog launch",
         CV_ACTION_TOOK_WATCHDOG_ACTION_LAUNCH_ERROR,
         nullptr,
         {{L"WatchdogRules2", L"app.exe;8;0;20;0;0;0;1;c:\\tools\\report.exe;%1;-;-"}},
         true,
         failLaunches,
         clearFailures},
        {"start-with power plan",
         CV_ACTION_TOOK_START_WITH_POWER_PLAN_ERROR,
         nullptr,
         {{L"StartWithPowerPlan", L"Power saver"}},
         false,
         [&](sim::SimProcess&) {
             sim::Machine::Get().FailCall("PowerSetActiveScheme");
             sim::Machine::Get().activePowerPlan = firstPlan;
         },
         clearFailures},
        {"sampling output",
         CV_ACTION_TOOK_SAMPLING_ERROR,
         nullptr,
         {{L"SamplingEnabled", L"true"},
          {L"SamplingIntervalSeconds", L"1"},
          {L"SamplingOutputPath", kSamplePath},
          {L"SamplingIncludePattern", L"*"}},
         false,
         [](sim::SimProcess&) { sim::Machine::Get().FailCall("CreateFile", kSamplePath); },
         clearFailures},
    };
    bool first = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!first) {
            TearDown();
            SetUp();
        }
        first = false;
        sim::PutFolder(L"C:\\Samples");
        firstPlan = machine().activePowerPlan;
        Keys keys = c.keys;
        keys[L"ForcedMode"] = L"true";
        Start(keys);
        sim::SimProcess& app = machine().AddProcess(kPid, L"app.exe");
        app.parentPid = 4;
        c.fail(app);
        int count = 0;
        for (int i = 0; i < 30; ++i) {
            Cycle(c.flapping, count);
        }
        EXPECT_EQ(CountFailures(LogSoFar(), c.actionId, c.info), 1u) << "while it fails";
        if (!c.heal) {
            continue;
        }
        c.heal(app);
        for (int i = 0; i < 4; ++i) {
            Cycle(c.flapping, count);
        }
        EXPECT_EQ(CountFailures(LogSoFar(), c.actionId, c.info), 1u) << "while it succeeds";
        c.fail(app);
        for (int i = 0; i < 30; ++i) {
            Cycle(c.flapping, count);
        }
        EXPECT_EQ(CountFailures(StopAndReadLog(), c.actionId, c.info), 2u) << "it failed again";
    }
}

// The default priority has no failure record: a class that cannot be set is not logged as set,
// however often ForcedMode tries it.
TEST_F(RepeatedFailureScenario, ADefaultPriorityThatCannotBeSetIsNeverLoggedAsSet) {
    Start({{L"DefaultPriorities", L"app.exe,Idle"}, {L"ForcedMode", L"true"}});
    sim::SimProcess& app = machine().AddProcess(kPid, L"app.exe");
    app.parentPid = 4;
    app.deniedAccess = kSetRights;
    Cycles(10);
    EXPECT_EQ(CountFailures(LogSoFar(), CV_ACTION_TOOK_DEFAULT_PRIORITY, nullptr), 0u);
    app.deniedAccess = 0;
    Cycles(2);
    EXPECT_EQ(app.priorityClass, platform::kIdlePriorityClass);
    EXPECT_EQ(CountFailures(StopAndReadLog(), CV_ACTION_TOOK_DEFAULT_PRIORITY, nullptr), 1u);
}

}  // namespace
}  // namespace cv
