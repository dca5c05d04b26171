// Nothing left behind, whatever ends the engine: an engine is "killed" while it holds a change
// (the journal and the process are kept exactly as they were at that instant), and the next
// engine, whose configuration no longer has the feature, must put the process back before its
// first cycle. Also the crash filter, a journal torn anywhere, and values that cannot be read.
#include <algorithm>
#include <bit>
#include <functional>

#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "platform/MessageBox.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "platform/sim/SimFiles.h"
#include "runtime/CrashReports.h"
#include "runtime/HeldSuspensions.h"
#include "runtime/RecoveryJournal.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;
using platform::RegistryRoot;

// 8 processors, 1 s cycles: 8 x 10^7 units of 100 ns per cycle are the whole machine.
constexpr std::uint64_t kMachinePerCycle = 8ull * 10'000'000;

// What a process looked like at the kill.
struct ProcessFacts {
    std::uint32_t priorityClass = 0;
    bool boostDisabled = false;
    std::uint64_t affinity = 0;
    std::uint32_t ioPriority = 0;
    std::uint32_t throttleState = 0;
    int suspendCount = 0;
    bool operator==(const ProcessFacts&) const = default;
};

class RecoveryScenario : public test::EngineScenario {
  protected:
    void TearDown() override {
        EngineScenario::TearDown();
        machine().JoinThreads();
        ResetCrashFilter();
    }
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = 4;
        process.user = L"Tester";
        return process;
    }
    static ProcessFacts FactsOf(const sim::SimProcess& process) {
        return {process.priorityClass, process.priorityBoostDisabled, process.affinity,
                process.ioPriority,    process.throttleState,         process.suspendCount};
    }
    static void SetFacts(sim::SimProcess& process, const ProcessFacts& facts) {
        process.priorityClass = facts.priorityClass;
        process.priorityBoostDisabled = facts.boostDisabled;
        process.affinity = facts.affinity;
        process.ioPriority = facts.ioPriority;
        process.throttleState = facts.throttleState;
        process.suspendCount = facts.suspendCount;
    }
    std::wstring JournalValue() const {
        return JournalValueName(false,
                                platform::ProcessSessionId(platform::OwnProcessId()).value_or(0));
    }
    std::optional<std::vector<std::uint8_t>> JournalBytes() const {
        return platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kJournalKey,
                                            JournalValue());
    }
    std::vector<JournalEntry> JournalEntries() const {
        const auto bytes = JournalBytes();
        return bytes ? DecodeJournal(*bytes).entries : std::vector<JournalEntry>();
    }
    // The engine dies at this instant: whatever its stop would put back is set again as it was,
    // the journal too, and the engine is gone.
    void Kill(const std::vector<sim::SimProcess*>& processes) {
        std::vector<ProcessFacts> facts;
        for (const auto* process : processes) {
            facts.push_back(FactsOf(*process));
        }
        const auto journal = JournalBytes();
        loop_->Shutdown();
        loop_.reset();
        machine().JoinThreads();
        for (std::size_t i = 0; i < processes.size(); ++i) {
            SetFacts(*processes[i], facts[i]);
        }
        if (journal) {
            platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, JournalValue(),
                                          *journal);
        }
        RecoveryJournal::Instance().Reset();
    }
    bool WaitSuspended(const sim::SimProcess& process, int atLeast = 1) {
        return machine().WaitUntil([&] { return process.suspendCount >= atLeast; });
    }
    // Cycles of hogging until the restraint begins; false when it has not after ten.
    bool HogUntilRestrained(std::uint32_t pid) {
        for (int cycle = 0; cycle < 10; ++cycle) {
            machine().AddCpuTime(pid, kMachinePerCycle * 40 / 100);
            for (auto& idle : machine().processorIdleTimes) {
                idle += kMachinePerCycle / 8 * 10 / 100;
            }
            Cycles(1);
            const ProcessRecord* record = loop_->Processes().Find(pid);
            if (record != nullptr && record->restraint.restrained) {
                return true;
            }
        }
        return false;
    }
    static Keys Restraint(Keys extra = {}) {
        Keys keys = {{L"OocOn", L"true"},
                     {L"TotalProcessorUsageBeforeRestraint", L"50"},
                     {L"PerProcessUsageBeforeRestraint", L"20"},
                     {L"TimeOverQuotaBeforeRestraint", L"3000"},
                     {L"PerProcessUsageForRestore", L"5"},
                     {L"MinimumTimeOfRestraint", L"5000"},
                     {L"MaximumTimeOfRestraint", L"0"},
                     {L"ExcludeServices", L"false"},
                     {L"TameOnlyNormal", L"true"},
                     {L"RestrainByAffinity", L"true"},
                     {L"RestraintAffinity", L"0-1"},
                     {L"LowerIOPriorityDuringRestraint", L"true"},
                     {L"UseEfficiencyMode", L"true"},
                     {L"LogLevelonBegin", L"true"},
                     {L"LogLevelonEnd", L"true"}};
        for (auto& [key, value] : extra) {
            keys[key] = value;
        }
        return keys;
    }
};

TEST_F(RecoveryScenario, AKilledEngineIsCleanedUpByTheNextOneWithoutTheFeature) {
    const ProcessFacts untouched = {platform::kNormalPriorityClass, false, 0xFF, 2, 0, 0};
    const struct Case {
        const char* what;
        Keys keys;
        // Brings the change about; false when it did not come.
        std::function<bool(sim::SimProcess&)> change;
        ProcessFacts changed;                // what the process looked like at the kill
        std::vector<std::uint32_t> records;  // what the next engine logs, once each
    } cases[] = {
        {"a throttled process, suspended at the kill",
         {{L"ProcessThrottles", L"app.exe;20"}},
         [this](sim::SimProcess& app) {
             Cycles(1);
             return WaitSuspended(app);
         },
         {platform::kNormalPriorityClass, false, 0xFF, 2, 0, 1},
         {49}},
        {"a restrained process: class, boost, affinity, I/O priority, efficiency mode",
         Restraint(),
         [this](sim::SimProcess& app) {
             Cycles(1);
             return HogUntilRestrained(app.pid);
         },
         {platform::kBelowNormalPriorityClass, true, 0x3, 0, 1, 0},
         {46, 46, 41, 83, 108}},
        {"a process under a CPU limit",
         {{L"CPULimitRules", L"app.exe;10;2000;6;0"}, {L"OocOn", L"false"}},
         [this](sim::SimProcess& app) {
             Cycles(1);
             for (int i = 0; i < 3; ++i) {
                 machine().AddCpuTime(app.pid, kMachinePerCycle / 2);
                 Cycles(1);
             }
             return std::popcount(app.affinity) == 2;
         },
         {platform::kNormalPriorityClass, false, 0, 2, 0, 0},
         {91}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.keys);
        sim::SimProcess& app = Spawn(300, L"app.exe");
        app.affinity = 0xFF;
        ASSERT_TRUE(c.change(app));
        ProcessFacts atKill = FactsOf(app);
        if (c.changed.affinity == 0) {
            // The limit's mask is random: only its size is known.
            EXPECT_EQ(std::popcount(atKill.affinity), 2);
            atKill.affinity = 0;
        }
        EXPECT_EQ(atKill, c.changed);
        EXPECT_FALSE(JournalEntries().empty());
        Kill({&app});
        ASSERT_NE(FactsOf(app), untouched);

        // The next engine runs without the feature: before its first cycle all is back.
        const std::size_t before = ReadLog().size();
        Start({});
        EXPECT_EQ(FactsOf(app), untouched);
        EXPECT_FALSE(JournalBytes().has_value()) << "nothing is left to put back";
        Cycles(2);
        EXPECT_EQ(FactsOf(app), untouched);
        const auto log = StopAndReadLog();
        std::vector<std::uint32_t> logged;
        for (std::size_t i = before; i < log.size(); ++i) {
            if (log[i].pid == 300) {
                logged.push_back(log[i].actionId);
            }
        }
        std::sort(logged.begin(), logged.end());
        std::vector<std::uint32_t> expected = c.records;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(logged, expected);
        TearDown();
        SetUp();
    }
}

TEST_F(RecoveryScenario, EntriesOfProcessesThatAreGoneAreDroppedUntouched) {
    Start(Restraint());
    sim::SimProcess& app = Spawn(300, L"app.exe");
    sim::SimProcess& other = Spawn(301, L"other.exe");
    app.affinity = 0xFF;
    other.affinity = 0xFF;
    Cycles(1);
    ASSERT_TRUE(HogUntilRestrained(300));
    Kill({&app});
    // 300 ended; its id now names another process, created later.
    machine().EndProcess(300);
    machine().EndProcess(301);
    sim::SimProcess& reused = Spawn(300, L"app.exe");
    reused.createTime = app.createTime + 10'000'000;
    reused.priorityClass = platform::kBelowNormalPriorityClass;
    reused.affinity = 0x3;
    Start({});
    EXPECT_EQ(reused.priorityClass, platform::kBelowNormalPriorityClass);
    EXPECT_EQ(reused.affinity, 0x3u);
    EXPECT_FALSE(JournalBytes().has_value());
    EXPECT_TRUE(Only(StopAndReadLog(), 46).empty());
}

TEST_F(RecoveryScenario, ASecondEngineWithTheSameThrottleLeavesNothingSuspended) {
    Start({{L"ProcessThrottles", L"app.exe;20"}});
    sim::SimProcess& app = Spawn(300, L"app.exe");
    // Someone else holds one suspension of their own: it must stay theirs.
    app.suspendCount = 1;
    Cycles(1);
    ASSERT_TRUE(WaitSuspended(app, 2));
    Kill({&app});
    ASSERT_EQ(app.suspendCount, 2);

    Start({{L"ProcessThrottles", L"app.exe;20"}});
    EXPECT_EQ(app.suspendCount, 1) << "the killed engine's suspension is resumed at the start";
    Cycles(1);
    ASSERT_TRUE(WaitSuspended(app, 2));
    EXPECT_LE(app.suspendCount, 2) << "never more than one suspension of the engine's own";
    loop_->Shutdown();
    EXPECT_EQ(app.suspendCount, 1);
    EXPECT_FALSE(JournalBytes().has_value());
}

TEST_F(RecoveryScenario, ACrashResumesThrottledProcessesAndThreeCrashesLeaveNothingBehind) {
    sim::SetSpecialFolder(platform::SpecialFolder::CommonAppData, L"C:\\ProgramData");
    sim::SimProcess& app = Spawn(300, L"app.exe");
    sim::SimProcess& tool = Spawn(301, L"tool.exe");
    tool.suspendCount = 1;  // held by someone else
    for (int crash = 0; crash < 3; ++crash) {
        SCOPED_TRACE(crash);
        // The first crash writes a dump and asks the user; the others do not.
        machine().SetDword(RegistryRoot::LocalMachine, L"Software\\Corvane", L"NoVigilorDumps",
                           crash == 0 ? 0 : 1);
        machine().messageBoxAnswers.push_back(platform::kIdNo);
        Start({{L"ProcessThrottles", L"app.exe;20,tool.exe;20"}});
        EXPECT_EQ(app.suspendCount, 0);
        EXPECT_EQ(tool.suspendCount, 1);
        Cycles(1);
        ASSERT_TRUE(WaitSuspended(app));
        ASSERT_TRUE(WaitSuspended(tool, 2));
        // Both throttles hold their suspension and wait; the simulated crash does not freeze the
        // engine's threads, so it comes once they are there.
        ASSERT_TRUE(machine().WaitUntil([&] {
            return loop_->Throttles().HoldsConfirmedSuspension(300) &&
                   loop_->Throttles().HoldsConfirmedSuspension(301);
        }));
        InstallCrashFilter();
        const std::size_t launches = machine().launches.size();
        try {
            machine().setup.crashFilter();
            ADD_FAILURE() << "the filter returned";
        } catch (const sim::ProcessExitCalled& exit) {
            EXPECT_EQ(exit.exitCode, 0u);
        }
        EXPECT_EQ(machine().launches.size(), launches + 1) << "restarted";
        EXPECT_EQ(app.suspendCount, 0);
        EXPECT_EQ(tool.suspendCount, 1);
        EXPECT_TRUE(HeldSuspensionsReleased());
        // The throttles of the crashed engine suspend nothing any more.
        machine().AdvanceClock(10'000);
        EXPECT_EQ(app.suspendCount, 0);
        EXPECT_EQ(tool.suspendCount, 1);
        for (const JournalEntry& entry : JournalEntries()) {
            EXPECT_NE(entry.change, JournalChange::Suspension);
        }
        // The process is gone: what it still held dies with it. The restart follows.
        const auto journal = JournalBytes();
        loop_->Shutdown();
        loop_.reset();
        ProcessStopFlag() = false;
        machine().JoinThreads();
        if (journal) {
            platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, JournalValue(),
                                          *journal);
        }
        RecoveryJournal::Instance().Reset();
        ResetCrashFilter();
        EXPECT_EQ(app.suspendCount, 0);
        EXPECT_EQ(tool.suspendCount, 1);
    }
    Start({});
    loop_->Shutdown();
    EXPECT_EQ(app.suspendCount, 0);
    EXPECT_EQ(tool.suspendCount, 1);
    EXPECT_FALSE(JournalBytes().has_value());
}

TEST_F(RecoveryScenario, AJournalTornAtAnyByteIsReadOrDroppedAndTheEngineStarts) {
    sim::SimProcess& first = Spawn(300, L"app.exe");
    sim::SimProcess& second = Spawn(301, L"app.exe");
    sim::SimProcess& third = Spawn(302, L"app.exe");
    const std::vector<sim::SimProcess*> processes = {&first, &second, &third};
    std::vector<JournalEntry> entries;
    for (const auto* process : processes) {
        JournalEntry entry;
        entry.pid = process->pid;
        entry.createTime = process->createTime;
        entry.change = JournalChange::PriorityClass;
        entry.owner = JournalOwner::Restraint;
        entry.value = platform::kNormalPriorityClass;
        entries.push_back(entry);
    }
    const std::vector<std::uint8_t> whole = EncodeJournal(entries);
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        SCOPED_TRACE(size);
        for (auto* process : processes) {
            process->priorityClass = platform::kIdlePriorityClass;
        }
        platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, JournalValue(),
                                      {whole.begin(), whole.begin() + size});
        Start({});
        // Whole entries are put back, a torn one is dropped.
        const std::size_t complete =
            size < kJournalHeaderSize ? 0 : (size - kJournalHeaderSize) / kJournalEntrySize;
        for (std::size_t i = 0; i < processes.size(); ++i) {
            EXPECT_EQ(processes[i]->priorityClass,
                      i < complete ? platform::kNormalPriorityClass : platform::kIdlePriorityClass);
        }
        EXPECT_FALSE(JournalBytes().has_value());
        Cycles(1);
        loop_->Shutdown();
        loop_.reset();
        RecoveryJournal::Instance().Reset();
    }
    // A damaged byte anywhere costs at most its own entry (or, in the header, the journal).
    for (std::size_t at = 0; at < whole.size(); ++at) {
        SCOPED_TRACE(at);
        for (auto* process : processes) {
            process->priorityClass = platform::kIdlePriorityClass;
        }
        std::vector<std::uint8_t> damaged = whole;
        damaged[at] ^= 0x5A;
        platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, JournalValue(),
                                      damaged);
        Start({});
        for (std::size_t i = 0; i < processes.size(); ++i) {
            const bool lost =
                at < kJournalHeaderSize || (at - kJournalHeaderSize) / kJournalEntrySize == i;
            EXPECT_EQ(processes[i]->priorityClass,
                      lost ? platform::kIdlePriorityClass : platform::kNormalPriorityClass)
                << i;
        }
        loop_->Shutdown();
        loop_.reset();
        RecoveryJournal::Instance().Reset();
    }
    // A value of another type is no journal either.
    platform::WriteRegistryDword(RegistryRoot::LocalMachine, kJournalKey, JournalValue(), 7);
    Start({});
}

TEST_F(RecoveryScenario, AValueThatCannotBeReadIsLeftAloneAndTheFailureLoggedOnce) {
    const struct Case {
        const char* what;
        const char* failing;  // the read that fails
        std::function<bool(const sim::SimProcess&)> untouched;
        std::uint32_t notWritten;  // a record that would claim the change
    } cases[] = {
        {"priority class", "GetPriorityClass",
         [](const sim::SimProcess& app) {
             return app.priorityClass == platform::kNormalPriorityClass;
         },
         44},
        {"priority boost", "GetProcessPriorityBoost",
         [](const sim::SimProcess& app) { return !app.priorityBoostDisabled; }, 0},
        {"affinity", "GetProcessAffinityMask",
         [](const sim::SimProcess& app) { return app.affinity == 0xFF; }, 39},
        {"efficiency mode", "GetProcessInformation",
         [](const sim::SimProcess& app) { return app.throttleState == 0; }, 0},
        {"I/O priority", "ZwQueryInformationProcess",
         [](const sim::SimProcess& app) { return app.ioPriority == 2; }, 84},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(Restraint({{L"TameOnlyNormal", L"false"}}));
        sim::SimProcess& app = Spawn(300, L"app.exe");
        app.affinity = 0xFF;
        Cycles(1);
        machine().FailCall(c.failing, L"app.exe");
        ASSERT_TRUE(HogUntilRestrained(300));
        EXPECT_TRUE(c.untouched(app));
        // Nothing was journalled that was not changed.
        for (int i = 0; i < 3; ++i) {
            machine().AddCpuTime(300, kMachinePerCycle * 40 / 100);
            Cycles(1);
        }
        EXPECT_TRUE(c.untouched(app));
        machine().ClearFailures();
        const auto log = StopAndReadLog();
        EXPECT_TRUE(c.untouched(app));
        EXPECT_EQ(Only(log, CV_ACTION_TOOK_PROCESS_CHANGE_ERROR).size(), 1u);
        if (c.notWritten != 0) {
            EXPECT_TRUE(Only(log, c.notWritten).empty());
        }
        TearDown();
        SetUp();
    }
}

TEST_F(RecoveryScenario, ARestoreThatFailsIsNotRecordedAsDoneAndIsRetriedAtTheNextStart) {
    Start(Restraint({{L"RestrainByAffinity", L"false"}, {L"UseEfficiencyMode", L"false"}}));
    sim::SimProcess& app = Spawn(300, L"app.exe");
    Cycles(1);
    ASSERT_TRUE(HogUntilRestrained(300));
    ASSERT_EQ(app.ioPriority, 0u);
    machine().FailCall("ZwSetInformationProcess", L"app.exe");
    const auto log = StopAndReadLog();
    machine().ClearFailures();
    EXPECT_EQ(app.ioPriority, 0u);
    EXPECT_TRUE(Only(log, 83).empty()) << "the restore failed: no record says it was done";
    EXPECT_EQ(Only(log, CV_ACTION_TOOK_PROCESS_CHANGE_ERROR).size(), 1u);
    EXPECT_EQ(app.priorityClass, platform::kNormalPriorityClass);
    // What could not be put back stays journalled: the next start puts it back.
    ASSERT_EQ(JournalEntries().size(), 1u);
    EXPECT_EQ(JournalEntries()[0].change, JournalChange::IoPriority);
    RecoveryJournal::Instance().Reset();
    Start({});
    EXPECT_EQ(app.ioPriority, 2u);
    EXPECT_EQ(Only(StopAndReadLog(), 83).size(), 1u);
}

TEST_F(RecoveryScenario, ANormalStopGivesBackTheCpuLimitsMasks) {
    Start({{L"CPULimitRules", L"app.exe;10;2000;6;0"}, {L"OocOn", L"false"}});
    sim::SimProcess& app = Spawn(300, L"app.exe");
    app.affinity = 0xFF;
    Cycles(1);
    for (int i = 0; i < 3; ++i) {
        machine().AddCpuTime(300, kMachinePerCycle / 2);
        Cycles(1);
    }
    ASSERT_EQ(std::popcount(app.affinity), 2);
    loop_->Shutdown();
    EXPECT_EQ(app.affinity, 0xFFu);
    EXPECT_FALSE(JournalBytes().has_value());
}

}  // namespace
}  // namespace cv
