// The engine never acts on its own process, nor suspends or ends the System and Idle processes
// and those Windows cannot run without, whatever the rules say: every rule family on the
// simulated machine, with ordinary matching processes beside them to show the rule still acts.
#include <algorithm>
#include <functional>

#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "control/ProcessGuard.h"
#include "platform/ProcessControl.h"
#include "texts/KernelObjectNames.h"
#include "throttle/ProcessThrottles.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

// 8 processors, 1 s cycles: 8 x 10^7 units of 100 ns per cycle are the whole machine.
constexpr std::uint64_t kMachinePerCycle = 8ull * 10'000'000;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint32_t kSpared = CV_ACTION_TOOK_PROTECTED_PROCESS_SPARED;

constexpr std::uint32_t kEngine = 4242;
constexpr std::uint32_t kSystem = 4;
constexpr std::uint32_t kCsrss = 500;
constexpr std::uint32_t kMarkedCritical = 510;
constexpr std::uint32_t kApp = 300;
// Another program of the engine's name, such as "vigilor.exe /exit": not the engine.
constexpr std::uint32_t kNamesake = 600;

TEST(ProcessGuard, WhoIsSparedWhichChange) {
    using enum GuardedChange;
    const struct {
        const char* what;
        GuardFacts facts;
        Protection suspend;
        Protection terminate;
        Protection restrict;
    } cases[] = {
        {"the engine",
         {4242, 4242, L"vigilor.exe", false},
         Protection::kEngine,
         Protection::kEngine,
         Protection::kEngine},
        {"the engine under another name",
         {4242, 4242, L"renamed.exe", false},
         Protection::kEngine,
         Protection::kEngine,
         Protection::kEngine},
        {"another process of the engine's name",
         {600, 4242, L"vigilor.exe", false},
         Protection::kNone,
         Protection::kNone,
         Protection::kNone},
        {"the Idle process",
         {0, 4242, L"", false},
         Protection::kSystem,
         Protection::kSystem,
         Protection::kNone},
        {"the System process",
         {4, 4242, L"System", false},
         Protection::kSystem,
         Protection::kSystem,
         Protection::kNone},
        {"csrss.exe in another case",
         {500, 4242, L"CSRSS.EXE", false},
         Protection::kCritical,
         Protection::kCritical,
         Protection::kNone},
        {"lsass.exe",
         {520, 4242, L"lsass.exe", false},
         Protection::kCritical,
         Protection::kCritical,
         Protection::kNone},
        {"a process marked critical",
         {530, 4242, L"svchost.exe", true},
         Protection::kCritical,
         Protection::kCritical,
         Protection::kNone},
        {"a name that only begins like a critical one",
         {540, 4242, L"csrss.exe.bak", false},
         Protection::kNone,
         Protection::kNone,
         Protection::kNone},
        {"an unknown engine id is no one's",
         {0, 0, L"", false},
         Protection::kSystem,
         Protection::kSystem,
         Protection::kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ProtectionOf(c.facts, kSuspend), c.suspend);
        EXPECT_EQ(ProtectionOf(c.facts, kTerminate), c.terminate);
        EXPECT_EQ(ProtectionOf(c.facts, kRestrict), c.restrict);
    }
}

// What the rules may change of a process, kept to compare after the cycles.
struct Observed {
    bool ended = false;
    int suspendCount = 0;
    std::uint64_t affinity = 0;
    std::uint32_t priorityClass = 0;
    std::uint32_t ioPriority = 0;
    std::uint32_t memoryPriority = 0;
    bool boostDisabled = false;
    std::uint32_t throttleControl = 0;
    std::vector<std::uint32_t> cpuSets;
    int workingSetTrims = 0;
    bool operator==(const Observed&) const = default;
    friend void PrintTo(const Observed& o, std::ostream* out) {
        *out << "ended " << o.ended << ", suspended " << o.suspendCount << ", affinity "
             << o.affinity << ", class " << o.priorityClass << ", I/O " << o.ioPriority
             << ", memory " << o.memoryPriority << ", boost off " << o.boostDisabled
             << ", throttling " << o.throttleControl << ", CPU sets " << o.cpuSets.size()
             << ", trims " << o.workingSetTrims;
    }
};

class ProcessGuardScenario : public test::EngineScenario {
  public:
    // The table's steps drive the engine.
    using EngineScenario::Cycles;
    using EngineScenario::loop_;

    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = kSystem;
        process.user = L"Tester";
        process.affinity = 0xFF;
        return process;
    }
    // The engine's own process, the System process, two that Windows cannot run without, and
    // two ordinary ones.
    void Populate() {
        Spawn(kSystem, L"System").parentPid = 0;
        Spawn(kCsrss, L"csrss.exe");
        Spawn(kMarkedCritical, L"critical.exe").critical = true;
        Spawn(kApp, L"app.exe");
        Spawn(kNamesake, L"vigilor.exe");
        Spawn(kEngine, L"vigilor.exe").imagePath = machine().ownImagePath;
    }
    Observed Observe(std::uint32_t pid) {
        const sim::SimProcess* process = machine().FindProcess(pid);
        if (process == nullptr) {
            return {true};
        }
        return {process->ended,
                process->suspendCount,
                process->affinity,
                process->priorityClass,
                process->ioPriority,
                process->memoryPriority,
                process->priorityBoostDisabled,
                process->throttleControl,
                process->defaultCpuSets,
                process->workingSetTrims};
    }
    // Cycles in which each process takes `share` percent of the machine, which is 90% busy.
    void Busy(const std::vector<std::uint32_t>& pids, int cycles, std::uint64_t share = 40) {
        for (int i = 0; i < cycles; ++i) {
            for (const std::uint32_t pid : pids) {
                machine().AddCpuTime(pid, kMachinePerCycle * share / 100);
            }
            for (auto& idle : machine().processorIdleTimes) {
                idle += kMachinePerCycle / 8 / 10;
            }
            Cycles(1);
        }
    }
    void ReloadSame(const Keys& keys) {
        WriteConfig(keys);
        machine().SetNamedEvent(names::kReloadNowEvent);
    }
    bool Throttled(std::uint32_t pid) {
        const ProcessRecord* record = loop_->Processes().Find(pid);
        return record != nullptr && record->throttle.level >= 1;
    }
    bool Restrained(std::uint32_t pid) {
        const ProcessRecord* record = loop_->Processes().Find(pid);
        return record != nullptr && record->restraint.restrained;
    }
    bool Ended(std::uint32_t pid) { return Observe(pid).ended; }
};

using Scenario = ProcessGuardScenario;

TEST_F(ProcessGuardScenario, NoRuleFamilyActsOnTheEngineOrEndsWhatWindowsNeeds) {
    const Keys levelon = {{L"OocOn", L"true"},
                          {L"TotalProcessorUsageBeforeRestraint", L"50"},
                          {L"PerProcessUsageBeforeRestraint", L"20"},
                          {L"TimeOverQuotaBeforeRestraint", L"2000"},
                          {L"ExcludeServices", L"false"},
                          {L"TameOnlyNormal", L"true"}};
    const auto with = [](Keys keys, const Keys& more) {
        keys.insert(more.begin(), more.end());
        return keys;
    };
    const struct {
        const char* what;
        Keys keys;
        std::function<void(Scenario&)> run;
        std::function<bool(Scenario&, std::uint32_t)> actedOn;
        std::vector<std::uint32_t> acted;    // ordinary processes the rule must act on
        std::vector<std::uint32_t> refused;  // one refusal record each, and left as they were
        const wchar_t* family;               // the refusal's text begins with it
    } cases[] = {
        {"a throttle on every process",
         {{L"ProcessThrottles", L"*;1"}},
         [](Scenario& t) { t.Cycles(3); },
         [](Scenario& t, std::uint32_t pid) { return t.Throttled(pid); },
         {kApp, kNamesake},
         {kEngine, kSystem, kCsrss, kMarkedCritical},
         L"Throttle"},
        {"a throttle on the engine's name",
         {{L"ProcessThrottles", L"vigilor.exe;1"}},
         [](Scenario& t) { t.Cycles(3); },
         [](Scenario& t, std::uint32_t pid) { return t.Throttled(pid); },
         {kNamesake},
         {kEngine},
         L"Throttle"},
        {"every process disallowed, told once across a reload",
         {{L"DisallowedProcesses", L"*"}},
         [](Scenario& t) {
             t.Cycles(2);
             t.ReloadSame({{L"DisallowedProcesses", L"*"}});
             t.Cycles(2);
         },
         [](Scenario& t, std::uint32_t pid) { return t.Ended(pid); },
         {kApp, kNamesake},
         {kEngine, kSystem, kCsrss, kMarkedCritical},
         L"Disallowed-process rule"},
        {"the engine's name disallowed",
         {{L"DisallowedProcesses", L"vigilor.exe"}},
         [](Scenario& t) { t.Cycles(3); },
         [](Scenario& t, std::uint32_t pid) { return t.Ended(pid); },
         {kNamesake},
         {kEngine},
         L"Disallowed-process rule"},
        {"a watchdog ending the engine's name when idle",
         {{L"WatchdogRules2", L"vigilor.exe;0;0;1;0;0;0;2;-;-;-;-"}},
         [](Scenario& t) { t.Cycles(4); },
         [](Scenario& t, std::uint32_t pid) { return t.Ended(pid); },
         {kNamesake},
         {kEngine},
         L"Watchdog rule"},
        {"a watchdog restarting every idle process",
         {{L"WatchdogRules2", L"*;1;0;1;0;0;0;2;-;-;-;-"}},
         [](Scenario& t) { t.Cycles(4); },
         [](Scenario& t, std::uint32_t pid) { return t.Ended(pid); },
         {kApp, kNamesake},
         {kEngine, kSystem, kCsrss, kMarkedCritical},
         L"Watchdog rule"},
        {"a watchdog lowering every idle process's class",
         {{L"WatchdogRules2", L"*;4;0;1;0;64;0;2;-;-;-;-"}},
         [](Scenario& t) { t.Cycles(3); },
         [](Scenario& t, std::uint32_t pid) {
             return t.Observe(pid).priorityClass == platform::kIdlePriorityClass;
         },
         {kApp, kNamesake},
         {kEngine},
         L"Watchdog rule"},
        {"instance limits on the engine's name and on csrss.exe",
         {{L"InstanceLimitedProcesses", L"vigilor.exe;1,csrss.exe;1"},
          {L"ApplyInstanceCountLimitsToAllUsers", L"true"}},
         [](Scenario& t) {
             // A second csrss.exe, as in a second session, and the engine come after a namesake.
             t.Spawn(kCsrss + 20, L"csrss.exe");
             t.Cycles(1);
             t.Spawn(700, L"vigilor.exe");
             t.Cycles(2);
         },
         [](Scenario& t, std::uint32_t pid) { return t.Ended(pid); },
         {700},
         {kEngine, kCsrss + 20},
         L"Instance limit"},
        {"a CPU limit on every busy process",
         {{L"CPULimitRules", L"*;10;1000;1;0"}},
         [](Scenario& t) {
             t.Busy({kEngine, kApp}, 5);
         },
         [](Scenario& t, std::uint32_t pid) { return t.Observe(pid).affinity != 0xFF; },
         {kApp},
         {kEngine},
         L"CPU limit"},
        {"Levelon on a busy engine that its exclusions do not spare",
         with(levelon, {{L"OocHardCodedExclusionOverrides", L"vigilor.exe"}}),
         [](Scenario& t) {
             t.Busy({kEngine, kApp}, 6);
         },
         [](Scenario& t, std::uint32_t pid) { return t.Restrained(pid); },
         {kApp},
         {kEngine},
         L"Levelon restraint"},
        {"Levelon on a busy engine, which it always excluded quietly",
         levelon,
         [](Scenario& t) {
             t.Busy({kEngine, kApp}, 6);
         },
         [](Scenario& t, std::uint32_t pid) { return t.Restrained(pid); },
         {kApp},
         {},
         L""},
        {"defaults for every process",
         {{L"DefaultPriorities", L"*,Idle"}, {L"DefaultAffinitiesEx", L"*,0,0-1"}},
         [](Scenario& t) { t.Cycles(3); },
         [](Scenario& t, std::uint32_t pid) {
             return t.Observe(pid).priorityClass == platform::kIdlePriorityClass &&
                    t.Observe(pid).affinity == 0x3;
         },
         {kApp, kNamesake},
         {kEngine},
         L"Process default"},
        {"trimming every large process, told once over two passes",
         {{L"CullmarkWorkingSetTrims", L"true"},
          {L"CullmarkAutoMinimumRAMLoad", L"65"},
          {L"MinimumProcessWSSInMb", L"384"}},
         [](Scenario& t) {
             t.loop_->Trimmer().RunPass(false);
             t.loop_->Trimmer().RunPass(false);
         },
         [](Scenario& t, std::uint32_t pid) { return t.Observe(pid).workingSetTrims > 0; },
         {kApp},
         {kEngine},
         L"Cullmark trimming"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        Populate();
        machine().memoryLoad = 90;
        for (const std::uint32_t pid : {kEngine, kApp}) {
            machine().FindProcess(pid)->workingSet = 1000 * kMiB;
        }
        // The engine, and each process the rule would have suspended or ended.
        std::map<std::uint32_t, Observed> before;
        before[kEngine] = Observe(kEngine);
        for (const std::uint32_t pid : c.refused) {
            if (machine().FindProcess(pid) != nullptr) {
                before[pid] = Observe(pid);
            }
        }
        Start(c.keys);
        c.run(*this);
        for (const std::uint32_t pid : c.acted) {
            EXPECT_TRUE(c.actedOn(*this, pid)) << "ordinary process " << pid;
        }
        for (const auto& [pid, observed] : before) {
            EXPECT_EQ(Observe(pid), observed) << "spared process " << pid;
            EXPECT_FALSE(Throttled(pid)) << pid;
        }
        for (const std::uint32_t pid : c.refused) {
            EXPECT_FALSE(Ended(pid)) << pid;
        }
        const auto log = StopAndReadLog();
        std::vector<std::uint32_t> told;
        for (const auto& action : Only(log, kSpared)) {
            told.push_back(action.pid);
            EXPECT_EQ(action.info.rfind(c.family, 0), 0u) << action.info;
        }
        std::sort(told.begin(), told.end());
        std::vector<std::uint32_t> expected = c.refused;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(told, expected);
        TearDown();
        machine().JoinThreads();
    }
}

TEST_F(ProcessGuardScenario, AMarkThatCannotBeReadIsReadAgainAndOneReadIsKept) {
    Populate();
    sim::SimProcess& critical = *machine().FindProcess(kMarkedCritical);
    // Windows refuses to end it, so the cycle in which its mark cannot be read ends nothing.
    critical.deniedAccess = platform::kProcessTerminate;
    machine().FailCall("ProcessBreakOnTermination", L"critical.exe", 1);
    Start({{L"DisallowedProcesses", L"critical.exe"}, {L"ForcedMode", L"true"}});
    Cycles(1);
    const ProcessRecord* record = loop_->Processes().Find(kMarkedCritical);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->criticalMark, -1);
    Cycles(1);
    EXPECT_EQ(record->criticalMark, 1);
    // Read once, the mark is the process's for life.
    critical.critical = false;
    critical.deniedAccess = 0;
    Cycles(2);
    EXPECT_FALSE(Ended(kMarkedCritical));
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 5).size(), 1u) << "the one attempt Windows refused";
    EXPECT_EQ(Only(log, kSpared).size(), 1u);
}

}  // namespace
}  // namespace cv
