// Levelon in running engine cycles on the simulated machine: CPU use is driven cycle by cycle,
// and the test watches when a hog is restrained, how it is restored, what is logged and counted,
// and that nothing is left restrained when the engine stops.
#include <functional>

#include "EngineScenario.h"
#include "actionlog/Statistics.h"
#include "platform/Power.h"
#include "platform/ProcessControl.h"
#include "platform/Registry.h"
#include "powerplans/PlanGuids.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

// 8 processors, 1 s cycles: 8 x 10^7 units of 100 ns per cycle are the whole machine.
constexpr std::uint64_t kMachinePerCycle = 8ull * 10'000'000;

class LevelonScenario : public test::EngineScenario {
  protected:
    static Keys Thresholds(Keys extra = {}) {
        Keys keys = {{L"OocOn", L"true"},
                     {L"TotalProcessorUsageBeforeRestraint", L"50"},
                     {L"PerProcessUsageBeforeRestraint", L"20"},
                     {L"TimeOverQuotaBeforeRestraint", L"3000"},
                     {L"PerProcessUsageForRestore", L"5"},
                     {L"MinimumTimeOfRestraint", L"5000"},
                     {L"MaximumTimeOfRestraint", L"0"},
                     {L"ExcludeServices", L"false"},
                     {L"TameOnlyNormal", L"true"},
                     {L"LogLevelonBegin", L"true"},
                     {L"LogLevelonEnd", L"true"}};
        for (auto& [key, value] : extra) {
            keys[key] = value;
        }
        return keys;
    }
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        process.user = L"Tester";
        return process;
    }
    // One cycle in which the machine is `total` percent busy and the process `share` percent.
    void Busy(std::uint32_t pid, std::uint64_t share, std::uint64_t total = 90) {
        machine().AddCpuTime(pid, kMachinePerCycle * share / 100);
        for (auto& idle : machine().processorIdleTimes) {
            idle += kMachinePerCycle / 8 * (100 - total) / 100;
        }
        Cycles(1);
    }
    bool Restrained(std::uint32_t pid) {
        const ProcessRecord* record = loop_->Processes().Find(pid);
        return record != nullptr && record->restraint.restrained;
    }
    // Cycles of hogging until the restraint begins; -1 when it has not after `limit`.
    int CyclesUntilRestrained(std::uint32_t pid, int limit, std::uint64_t share = 40) {
        for (int cycle = 1; cycle <= limit; ++cycle) {
            Busy(pid, share);
            if (Restrained(pid)) {
                return cycle;
            }
        }
        return -1;
    }
};

TEST_F(LevelonScenario, AHogIsRestrainedOnceBothThresholdsHeldForTheTimeOverQuota) {
    const struct {
        const char* what;
        const wchar_t* image;
        bool foreground;
        Keys keys;
        int cycles;  // of hogging before the restraint
    } cases[] = {
        // The first cycle makes it a candidate (backdated by one interval); 3 s later it is due.
        {"an ordinary program", L"hog.exe", false, {}, 3},
        {"a browser waits 8.1 s longer", L"firefox.exe", false, {}, 12},
        {"the foreground program too", L"hog.exe", true, {}, 12},
        {"not while it is in the foreground",
         L"hog.exe",
         true,
         {{L"ExcludeForegroundProcesses2", L"true"}},
         -1},
        {"a built-in exclusion", L"explorer.exe", false, {}, -1},
        {"an overridden built-in exclusion",
         L"explorer.exe",
         false,
         {{L"OocHardCodedExclusionOverrides", L"explorer.exe"}},
         3},
        {"the user's exclusion", L"hog.exe", false, {{L"OocExclusions", L"hog.exe"}}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(Thresholds(c.keys));
        sim::SimProcess& hog = Spawn(300, c.image);
        Cycles(1);
        if (c.foreground) {
            machine().foregroundWindow = machine().AddWindow(300).window;
        }
        EXPECT_EQ(CyclesUntilRestrained(300, 14), c.cycles);
        if (c.cycles > 0) {
            EXPECT_EQ(hog.priorityClass, platform::kBelowNormalPriorityClass);
            EXPECT_TRUE(hog.priorityBoostDisabled);
            const auto ids = Ids(StopAndReadLog());
            EXPECT_EQ(std::count(ids.begin(), ids.end(), 43u), 1);
            EXPECT_EQ(std::count(ids.begin(), ids.end(), 44u), 1);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(LevelonScenario, AMachineThatIsNotBusyRestrainsNothing) {
    Start(Thresholds());
    Spawn(300, L"hog.exe");
    Cycles(1);
    for (int i = 0; i < 10; ++i) {
        Busy(300, 40, 45);
    }
    EXPECT_FALSE(Restrained(300));
}

TEST_F(LevelonScenario, HowARestraintEnds) {
    const struct {
        const char* what;
        Keys keys;
        std::uint64_t shareAfter;
        bool toForeground;
        int cyclesToRestore;
        std::uint32_t endRecord;  // 0: none besides the common ones
    } cases[] = {
        {"calm again, after the minimum time", {}, 2, false, 5, 0},
        {"still above the restore threshold", {}, 10, false, -1, 0},
        {"ended by the maximum time", {{L"MaximumTimeOfRestraint", L"4000"}}, 40, false, 4, 35},
        {"ended by the foreground", {{L"ExcludeForegroundProcesses2", L"true"}}, 40, true, 1, 34},
        {"the foreground alone ends nothing", {}, 40, true, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(Thresholds(c.keys));
        sim::SimProcess& hog = Spawn(300, L"hog.exe");
        Cycles(1);
        ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
        if (c.toForeground) {
            machine().foregroundWindow = machine().AddWindow(300).window;
        }
        int restored = -1;
        for (int cycle = 1; cycle <= 8 && restored < 0; ++cycle) {
            Busy(300, c.shareAfter);
            if (!Restrained(300)) {
                restored = cycle;
            }
        }
        EXPECT_EQ(restored, c.cyclesToRestore);
        const auto ids = Ids(StopAndReadLog());
        // Whatever ended it, the engine's stop gives the class back.
        EXPECT_EQ(hog.priorityClass, platform::kNormalPriorityClass);
        EXPECT_FALSE(hog.priorityBoostDisabled);
        if (restored > 0) {
            EXPECT_EQ(std::count(ids.begin(), ids.end(), 32u), 1);
            EXPECT_EQ(std::count(ids.begin(), ids.end(), 46u), 1);
            if (c.endRecord != 0) {
                EXPECT_EQ(std::count(ids.begin(), ids.end(), c.endRecord), 1);
            }
        } else {
            EXPECT_EQ(std::count(ids.begin(), ids.end(), 46u), 0);
        }
        TearDown();
        SetUp();
    }
}

TEST_F(LevelonScenario, ClassesThatAreNotNormal) {
    const struct {
        const char* what;
        Keys keys;
        std::uint32_t before;
        std::uint32_t during;  // 0: never restrained
    } cases[] = {
        {"above normal with TameOnlyNormal", {}, 0x8000, 0},
        {"above normal without it",
         {{L"TameOnlyNormal", L"false"}},
         0x8000,
         platform::kBelowNormalPriorityClass},
        {"idle stays idle",
         {{L"TameOnlyNormal", L"false"}},
         platform::kIdlePriorityClass,
         platform::kIdlePriorityClass},
        {"lowered to idle",
         {{L"LowerToIdleInsteadOfBelowNormal", L"true"}},
         platform::kNormalPriorityClass,
         platform::kIdlePriorityClass},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(Thresholds(c.keys));
        sim::SimProcess& hog = Spawn(300, L"hog.exe");
        hog.priorityClass = c.before;
        Cycles(1);
        const int cycles = CyclesUntilRestrained(300, 6);
        EXPECT_EQ(cycles > 0, c.during != 0);
        if (c.during != 0) {
            EXPECT_EQ(hog.priorityClass, c.during);
        }
        loop_->Shutdown();
        EXPECT_EQ(hog.priorityClass, c.before);
        TearDown();
        SetUp();
    }
}

TEST_F(LevelonScenario, DoNotLowerPriorityClassStillCountsAndRecords) {
    Start(Thresholds({{L"DoNotLowerPriorityClass", L"true"}}));
    sim::SimProcess& hog = Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    EXPECT_EQ(hog.priorityClass, platform::kNormalPriorityClass);
    for (int i = 0; i < 6; ++i) {
        Busy(300, 1);
    }
    EXPECT_FALSE(Restrained(300));
    const auto ids = Ids(StopAndReadLog());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 43u), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 32u), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 44u), 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 46u), 0);
    EXPECT_EQ(ReadCounter(L"Levelon"), 1u);
    EXPECT_EQ(ReadCounter(L"hog.exe", L"Levelon_Processes"), 1u);
    EXPECT_GE(ReadCounter(L"TotalRestraintTime"), 5000u);
}

TEST_F(LevelonScenario, EveryOptionalMeansIsPutBack) {
    Start(Thresholds({{L"RestrainByAffinity", L"true"},
                      {L"RestraintAffinity", L"0-1"},
                      {L"LowerIOPriorityDuringRestraint", L"true"},
                      {L"UseEfficiencyMode", L"true"}}));
    sim::SimProcess& hog = Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    EXPECT_EQ(hog.affinity, 0x3u);
    EXPECT_EQ(hog.ioPriority, 0u);
    EXPECT_NE(hog.throttleState, 0u);
    // The engine stops while the process is restrained: everything comes back.
    const auto ids = Ids(StopAndReadLog());
    EXPECT_EQ(hog.priorityClass, platform::kNormalPriorityClass);
    EXPECT_EQ(hog.affinity, 0xFFu);
    EXPECT_EQ(hog.ioPriority, 2u);
    EXPECT_EQ(hog.throttleState, 0u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 39u), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 84u), 1);
}

TEST_F(LevelonScenario, AnAffinityTheUserChangedSurvivesTheRestore) {
    Start(Thresholds({{L"RestrainByAffinity", L"true"}, {L"RestraintAffinity", L"0-1"}}));
    sim::SimProcess& hog = Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    hog.affinity = 0x30;  // the user's own choice
    for (int i = 0; i < 6; ++i) {
        Busy(300, 1);
    }
    EXPECT_FALSE(Restrained(300));
    EXPECT_EQ(hog.affinity, 0x30u);
    const auto ids = Ids(StopAndReadLog());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 41u), 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 42u), 0);
}

TEST_F(LevelonScenario, AProcessThatEndsWhileRestrainedIsAccountedFor) {
    Start(Thresholds());
    Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    machine().EndProcess(300);
    Cycles(1);
    const auto ids = Ids(StopAndReadLog());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 33u), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 32u), 1);
}

TEST_F(LevelonScenario, SwitchingLevelonOffRestoresEveryProcess) {
    Start(Thresholds());
    sim::SimProcess& hog = Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    Keys off = Thresholds();
    off[L"OocOn"] = L"false";
    WriteConfig(off);
    machine().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_EQ(hog.priorityClass, platform::kNormalPriorityClass);
    EXPECT_FALSE(Restrained(300));
}

TEST_F(LevelonScenario, RestraintsAreCountedPerDay) {
    Start(Thresholds());
    Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    // The simulated clock starts on 2025-08-18 local time (one hour ahead of UTC).
    const std::wstring today = L"Dates\\8.18.2025";
    EXPECT_EQ(ReadCounter(L"LevelonToday", today), 1u);
    // The next day's first restraint starts its own count.
    for (int i = 0; i < 6; ++i) {
        Busy(300, 1);
    }
    ASSERT_FALSE(Restrained(300));
    machine().AdvanceClock(24ull * 3600 * 1000);
    ASSERT_GT(CyclesUntilRestrained(300, 5), 0);
    EXPECT_EQ(ReadCounter(L"LevelonToday", L"Dates\\8.19.2025"), 1u);
    EXPECT_EQ(ReadCounter(L"LevelonToday", today), 1u);
    EXPECT_EQ(ReadCounter(L"Levelon"), 2u);
}

TEST_F(LevelonScenario, SoundsPlayOnlyWhenWanted) {
    const struct {
        const char* what;
        const wchar_t* soundsOff;
        std::size_t played;
    } cases[] = {{"sounds on", L"false", 2}, {"SoundsOff", L"true", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Start(Thresholds({{L"SoundsOff", c.soundsOff},
                          {L"PlaySoundOnRestraint", L"true"},
                          {L"PlaySoundOnRestore", L"true"},
                          {L"PlayOnRestraint", L"C:\\Sounds\\in.wav"},
                          {L"PlayOnRestore", L"C:\\Sounds\\out.wav"}}));
        EXPECT_EQ(machine().soundLibraryLoaded, c.played != 0);
        Spawn(300, L"hog.exe");
        Cycles(1);
        ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
        for (int i = 0; i < 6; ++i) {
            Busy(300, 1);
        }
        EXPECT_EQ(machine().soundsPlayed.size(), c.played);
        TearDown();
        SetUp();
    }
}

// The balanced plan parks cores (min cores 10 % on AC, 5 % on DC) on this machine.
class CoreParkingScenario : public LevelonScenario {
  protected:
    void SetUp() override {
        LevelonScenario::SetUp();
        auto& plan = machine().AddPowerPlan(ToPowerGuid(kBalancedPlan), L"Balanced");
        for (const PlanGuid& setting : {kCoreParkingMinCores, kCoreParkingMinCoresClass1}) {
            plan.acValues[{ToPowerGuid(kProcessorSubgroup), ToPowerGuid(setting)}] = 10;
            plan.dcValues[{ToPowerGuid(kProcessorSubgroup), ToPowerGuid(setting)}] = 5;
        }
        machine().activePowerPlan = ToPowerGuid(kBalancedPlan);
    }
    static std::uint32_t MinCoresAc(const PlanGuid& scheme = kBalancedPlan) {
        sim::SimPowerPlan* plan = machine().FindPowerPlan(ToPowerGuid(scheme));
        return plan->acValues[{ToPowerGuid(kProcessorSubgroup), ToPowerGuid(kCoreParkingMinCores)}];
    }
    static bool Pending() {
        return platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine,
                                           L"Software\\Corvane", L"CVCPRN")
            .has_value();
    }
};

TEST_F(CoreParkingScenario, TheFirstRestoreUnparksWhileAnotherRestraintContinues) {
    Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
    Spawn(300, L"hog.exe");
    Spawn(310, L"other.exe");
    Cycles(1);
    for (int i = 0; i < 3; ++i) {
        machine().AddCpuTime(310, kMachinePerCycle * 40 / 100);
        Busy(300, 40);
    }
    ASSERT_TRUE(Restrained(300));
    ASSERT_TRUE(Restrained(310));
    EXPECT_EQ(MinCoresAc(), 100u);
    EXPECT_TRUE(Pending());
    // 300 calms down, 310 keeps hogging.
    for (int i = 0; i < 6; ++i) {
        machine().AddCpuTime(310, kMachinePerCycle * 40 / 100);
        Busy(300, 1);
    }
    EXPECT_FALSE(Restrained(300));
    EXPECT_TRUE(Restrained(310));
    EXPECT_EQ(MinCoresAc(), 10u);
    EXPECT_FALSE(Pending());
    const auto ids = Ids(StopAndReadLog());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 36u), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 37u), 1);
}

TEST_F(CoreParkingScenario, AStopPutsParkingBackAndACrashIsRepairedAtTheNextStart) {
    Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
    Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    ASSERT_EQ(MinCoresAc(), 100u);
    loop_->Shutdown();
    EXPECT_EQ(MinCoresAc(), 10u);
    EXPECT_FALSE(Pending());
    loop_.reset();

    // The engine is killed while parking is off: the plan and the registry stay as they are.
    Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    ASSERT_TRUE(Pending());
    const auto registry = machine().registry;
    const auto plans = machine().powerPlans;
    loop_.reset();
    machine().registry = registry;
    machine().powerPlans = plans;
    ASSERT_EQ(MinCoresAc(), 100u);
    StartWithoutFile();
    EXPECT_EQ(MinCoresAc(), 10u);
    EXPECT_FALSE(Pending());
}

// Parking follows the scheme whose settings are in force, by its GUID: a second plan of the same
// name, an overlay over Balanced, or a rename during the restraint change nothing of that.
TEST_F(CoreParkingScenario, ParkingIsChangedAndPutBackOnTheActiveSchemeByItsGuid) {
    static constexpr PlanGuid kCopy{0x12345678, 0x1234, 0x4abc, {0x80, 1, 2, 3, 4, 5, 6, 7}};
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::function<void()> duringRestraint;
        PlanGuid changed;
    } cases[] = {
        {"a copy of the same name is active",
         [] {
             auto& copy = machine().AddPowerPlan(ToPowerGuid(kCopy), L"Balanced");
             copy.acValues[{ToPowerGuid(kProcessorSubgroup), ToPowerGuid(kCoreParkingMinCores)}] =
                 20;
             copy.dcValues[{ToPowerGuid(kProcessorSubgroup), ToPowerGuid(kCoreParkingMinCores)}] =
                 20;
             machine().activePowerPlan = ToPowerGuid(kCopy);
         },
         [] {}, kCopy},
        {"the best-performance overlay is on",
         [] {
             machine().activePowerOverlay = ToPowerGuid(kOverlayBestPerformance);
             machine().EnablePowerOverlays();
         },
         [] {}, kBalancedPlan},
        {"the plan is renamed during the restraint", [] {},
         [] { machine().FindPowerPlan(ToPowerGuid(kBalancedPlan))->friendlyName = L"Renamed"; },
         kBalancedPlan},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        loop_.reset();
        SetUp();
        c.arrange();
        const std::uint32_t before = MinCoresAc(c.changed);
        Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
        Spawn(300, L"hog.exe");
        Cycles(1);
        ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
        EXPECT_EQ(MinCoresAc(c.changed), 100u);
        if (c.changed == kCopy) {
            EXPECT_EQ(MinCoresAc(kBalancedPlan), 10u);  // the other plan of that name
        }
        c.duringRestraint();
        for (int i = 0; i < 6 && Restrained(300); ++i) {
            Busy(300, 1);
        }
        EXPECT_FALSE(Restrained(300));
        EXPECT_EQ(MinCoresAc(c.changed), before);
        EXPECT_FALSE(Pending());
        const auto ids = Ids(StopAndReadLog());
        EXPECT_EQ(std::count(ids.begin(), ids.end(), 36u), 1);
        EXPECT_EQ(std::count(ids.begin(), ids.end(), 37u), 1);
        EXPECT_EQ(std::count(ids.begin(), ids.end(), 38u), 0);
    }
}

// A value that cannot be read is not changed, and one that cannot be written back stays in
// the recovery values for the next start.
TEST_F(CoreParkingScenario, NothingIsChangedBlindAndNothingForgottenBeforeItIsBack) {
    machine().FailCall("PowerReadACValueIndex");
    Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
    Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    EXPECT_EQ(MinCoresAc(), 10u);
    EXPECT_FALSE(Pending());
    auto ids = Ids(StopAndReadLog());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 36u), 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 38u), 1);

    machine().ClearFailures();
    Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    ASSERT_EQ(MinCoresAc(), 100u);
    machine().FailCall("PowerWriteACValueIndex");
    loop_->Shutdown();
    EXPECT_TRUE(Pending());
    loop_.reset();
    machine().ClearFailures();
    StartWithoutFile();
    EXPECT_EQ(MinCoresAc(), 10u);
    EXPECT_FALSE(Pending());
}

// Levelon switched off by a reload gives every core back at once, not at the engine's stop.
TEST_F(CoreParkingScenario, SwitchingLevelonOffRestoresParkingAtOnce) {
    Start(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}}));
    Spawn(300, L"hog.exe");
    Cycles(1);
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    ASSERT_EQ(MinCoresAc(), 100u);
    WriteConfig(Thresholds({{L"OocDisableCoreParkingWhileIn", L"true"}, {L"OocOn", L"false"}}));
    machine().SetNamedEvent(L"Local\\Corvane777");
    Cycles(1);
    EXPECT_FALSE(Restrained(300));
    EXPECT_EQ(MinCoresAc(), 10u);
    EXPECT_FALSE(Pending());
}

// Each time a process starts hogging it waits the whole time over quota, however long ago an
// earlier, shorter spell of hogging was.
TEST_F(LevelonScenario, EachSpellOfHoggingWaitsTheWholeTimeOverQuota) {
    Start(Thresholds());
    Spawn(300, L"hog.exe");
    Cycles(1);
    Busy(300, 40);  // a candidate now
    for (int i = 0; i < 20; ++i) {
        Busy(300, 1);
    }
    EXPECT_EQ(CyclesUntilRestrained(300, 6), 3);
}

// The tick clock wraps every 49.7 days. A restraint across the wrap ends on time, and a user
// who keeps working after the wrap is not taken for idle by the idle veto.
TEST_F(LevelonScenario, ARestraintAcrossTheTickWrapEndsOnTimeAndInputStillCounts) {
    const auto input = [] {
        machine().lastInputTick = static_cast<std::uint32_t>(machine().Now());
    };
    machine().AdvanceClock((std::uint64_t{1} << 32) - 4'000 - machine().Now());
    input();
    Start(Thresholds({{L"MaximumTimeOfRestraint", L"6000"},
                      {L"DisableLevelonWhenSysIdle", L"true"},
                      {L"DisableLevelonIfSysIdleThisManyMS", L"30000"}}));
    Spawn(300, L"hog.exe");
    Cycles(1);
    input();
    ASSERT_EQ(CyclesUntilRestrained(300, 5), 3);
    int restored = -1;
    for (int cycle = 1; cycle <= 10 && restored < 0; ++cycle) {
        input();
        Busy(300, 40);
        if (!Restrained(300)) {
            restored = cycle;
        }
    }
    ASSERT_LT(static_cast<std::uint32_t>(machine().Now()), 60'000u) << "the clock wrapped";
    EXPECT_EQ(restored, 6);
    // Working on well past the idle veto's time since the wrap: a new spell is restrained.
    for (int i = 0; i < 40; ++i) {
        input();
        Busy(300, 1);
    }
    input();
    EXPECT_EQ(CyclesUntilRestrained(300, 5), 3);
}

}  // namespace
}  // namespace cv
