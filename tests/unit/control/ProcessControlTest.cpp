// The process control operations on the simulated machine: what each changes, the access it
// opens with, processor groups, CPU sets, termination and the graceful close.
#include <array>
#include <functional>
#include <random>
#include <vector>

#include "SimFixture.h"
#include "control/ProcessControl.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/SystemProcessLayout.h"
#include "processes/HandleCache.h"
#include "processes/ProcessSnapshot.h"
#include "texts/Language.h"

namespace cv {
namespace {

using platform::kIdlePriorityClass;
using platform::kNormalPriorityClass;

class ProcessControlTest : public test::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ResetProcessControlState();
    }
    void TearDown() override { ResetProcessControlState(); }

    sim::SimProcess& process(std::uint32_t pid) { return *machine().FindProcess(pid); }

    // A handle like the engine's cached one: query and read access.
    platform::UniqueHandle QueryHandle(std::uint32_t pid) {
        return platform::OpenProcessHandle(pid, platform::kSynchronize |
                                                    platform::kProcessQueryInformation |
                                                    platform::kProcessVmRead);
    }
};

// Everything a setter may change, to tell whether anything changed.
struct Attributes {
    std::uint32_t priorityClass;
    std::uint16_t group;
    std::uint64_t affinity;
    std::map<std::uint32_t, std::pair<std::uint16_t, std::uint64_t>> threadGroupAffinity;
    std::uint32_t ioPriority;
    std::uint32_t memoryPriority;
    std::uint32_t throttleControl;
    std::uint32_t throttleState;
    bool priorityBoostDisabled;
    std::vector<std::uint32_t> defaultCpuSets;
    bool operator==(const Attributes&) const = default;
};

Attributes AttributesOf(const sim::SimProcess& p) {
    return {p.priorityClass,       p.group,         p.affinity,
            p.threadGroupAffinity, p.ioPriority,    p.memoryPriority,
            p.throttleControl,     p.throttleState, p.priorityBoostDisabled,
            p.defaultCpuSets};
}

struct Setter {
    const char* name;
    std::function<bool(std::uint32_t pid)> call;
};

const std::vector<Setter>& AllSetters() {
    static const std::vector<Setter> setters = {
        {"priority class",
         [](std::uint32_t pid) { return ChangePriorityClass(pid, kIdlePriorityClass); }},
        {"priority class, record form",
         [](std::uint32_t pid) {
             std::uint32_t applied = 0;
             ChangePriorityClass(pid, kIdlePriorityClass, &applied);
             return applied == kIdlePriorityClass;
         }},
        {"affinity", [](std::uint32_t pid) { return ChangeAffinity(pid, 0x3); }},
        {"affinity without group",
         [](std::uint32_t pid) { return ChangeAffinityWithGroup(pid, 0x3, kNoProcessorGroup); }},
        {"affinity with group",
         [](std::uint32_t pid) { return ChangeAffinityWithGroup(pid, 0x3, 1); }},
        {"I/O priority", [](std::uint32_t pid) { return platform::SetIoPriority(pid, 0); }},
        {"memory priority", [](std::uint32_t pid) { return ChangeMemoryPriority(pid, 1); }},
        {"efficiency mode", [](std::uint32_t pid) { return ChangeEfficiencyMode(pid, true); }},
        {"priority boost", [](std::uint32_t pid) { return ChangePriorityBoost(pid, false); }},
        {"default CPU sets",
         [](std::uint32_t pid) {
             return ChangeDefaultCpuSets(pid, {{0, 0x3}});
         }},
        {"clearing CPU sets", [](std::uint32_t pid) { return ChangeDefaultCpuSets(pid, {}); }},
    };
    return setters;
}

class ProcessControlSetterTest : public ProcessControlTest {
  protected:
    void SetUp() override {
        ProcessControlTest::SetUp();
        machine().SetProcessorGroups(
            {std::vector<std::uint8_t>(8, 0), std::vector<std::uint8_t>(8, 0)});
    }
    sim::SimProcess& AddTarget() {
        sim::SimProcess& p = machine().AddProcess(500, L"target.exe");
        p.defaultCpuSets = {0x104};
        return p;
    }
};

TEST_F(ProcessControlSetterTest, EverySetterChangesItsAttribute) {
    for (const Setter& setter : AllSetters()) {
        AddTarget();
        const Attributes before = AttributesOf(process(500));
        EXPECT_TRUE(setter.call(500)) << setter.name;
        EXPECT_NE(AttributesOf(process(500)), before) << setter.name;
    }
}

TEST_F(ProcessControlSetterTest, ARefusingProcessKeepsEveryAttributeAndEverySetterFails) {
    const struct {
        const char* what;
        std::function<void(sim::SimProcess&)> refuse;
    } refusals[] = {
        {"set-information access refused",
         [](sim::SimProcess& p) {
             p.deniedAccess =
                 platform::kProcessSetInformation | platform::kProcessSetLimitedInformation;
         }},
        {"cannot be opened at all", [](sim::SimProcess& p) { p.canOpen = false; }},
        {"only limited query access", [](sim::SimProcess& p) { p.fullAccess = false; }},
    };
    for (const auto& refusal : refusals) {
        for (const Setter& setter : AllSetters()) {
            sim::SimProcess& target = AddTarget();
            refusal.refuse(target);
            const Attributes before = AttributesOf(target);
            EXPECT_FALSE(setter.call(500)) << refusal.what << ": " << setter.name;
            EXPECT_EQ(AttributesOf(process(500)), before) << refusal.what << ": " << setter.name;
        }
    }
}

TEST_F(ProcessControlSetterTest, CpuSetsNeedOnlyLimitedSetAccess) {
    sim::SimProcess& target = AddTarget();
    target.deniedAccess = platform::kProcessSetInformation;
    EXPECT_FALSE(ChangePriorityClass(500, kIdlePriorityClass));
    EXPECT_TRUE(ChangeDefaultCpuSets(500, {{0, 0x3}}));
    EXPECT_EQ(process(500).defaultCpuSets, (std::vector<std::uint32_t>{0x100, 0x101}));
}

TEST_F(ProcessControlSetterTest, NoHandleIsLeftOpen) {
    AddTarget();
    const std::size_t before = machine().OpenHandleCount();
    for (const Setter& setter : AllSetters()) {
        setter.call(500);
    }
    QueryPriorityClass(500);
    QueryMemoryPriority(500);
    QueryEfficiencyMode(500);
    QueryProcessGroups(500);
    TerminateById(500);
    EXPECT_EQ(machine().OpenHandleCount(), before);
}

// Display texts.

TEST_F(ProcessControlTest, DisplayTextsInEnglishAndErrorForUnknownValues) {
    const struct {
        std::uint32_t value;
        const wchar_t* text;
    } classes[] = {{256, L"Real Time"},
                   {128, L"High"},
                   {32768, L"Above Normal"},
                   {32, L"Normal"},
                   {16384, L"Below Normal"},
                   {64, L"Idle"},
                   {0, L"ERROR"},
                   {33, L"ERROR"}};
    for (const auto& c : classes) {
        EXPECT_EQ(PriorityClassText(c.value), c.text) << c.value;
    }
    const struct {
        std::int32_t value;
        const wchar_t* text;
    } io[] = {{4, L"Critical"}, {3, L"High"},   {2, L"Normal"}, {1, L"Low"},
              {0, L"Very Low"}, {-1, L"ERROR"}, {5, L"ERROR"}};
    for (const auto& c : io) {
        EXPECT_EQ(IoPriorityText(c.value), c.text) << c.value;
    }
    EXPECT_EQ(MemoryPriorityText(5), L"5");
    EXPECT_EQ(MemoryPriorityText(0), L"0");
    EXPECT_EQ(EfficiencyModeText(true), L"Efficiency mode on");
    EXPECT_EQ(EfficiencyModeText(false), L"Efficiency mode off");
}

TEST_F(ProcessControlTest, DisplayTextsFollowTheLanguageAndAreCutAt80Characters) {
    EXPECT_EQ(PriorityClassText(256), L"Real Time");
    machine().installedModules[L"cv_rsrc_german.dll"].strings = {{243, L"Echtzeit"},
                                                                 {742, std::wstring(100, L'k')}};
    machine().SetDword(platform::RegistryRoot::CurrentUser, L"Software\\Corvane", L"Language",
                       1031);
    SelectLanguage();
    EXPECT_EQ(PriorityClassText(256), L"Echtzeit");
    EXPECT_EQ(IoPriorityText(4), std::wstring(80, L'k'));
    EXPECT_EQ(PriorityClassText(128), L"High");  // missing in the module: English
}

// Priority class and the queries.

TEST_F(ProcessControlTest, PriorityClassQueryFallsBackToLimitedAccess) {
    machine().AddProcess(10, L"full.exe").priorityClass = 0x4000;
    machine().AddProcess(11, L"limited.exe").fullAccess = false;
    machine().AddProcess(12, L"closed.exe").canOpen = false;
    EXPECT_EQ(QueryPriorityClass(10), 0x4000);
    EXPECT_EQ(QueryPriorityClass(11), 0x20);
    EXPECT_EQ(QueryPriorityClass(12), -1);
    EXPECT_EQ(QueryPriorityClass(99), -1);
    machine().FailCall("GetPriorityClass", L"full.exe");
    EXPECT_EQ(QueryPriorityClass(10), -1);
    EXPECT_EQ(platform::GetProcessPriorityClass(nullptr), 0u);
}

TEST_F(ProcessControlTest, RecordFormWritesTheClassOnlyWhenSet) {
    machine().AddProcess(10);
    std::uint32_t applied = 7;
    ChangePriorityClass(10, 0x80, &applied);
    EXPECT_EQ(applied, 0x80u);
    ChangePriorityClass(10, 0x1234, &applied);  // not a class
    EXPECT_EQ(applied, 0x80u);
    ChangePriorityClass(10, kIdlePriorityClass, nullptr);
    EXPECT_EQ(process(10).priorityClass, kIdlePriorityClass);
}

TEST_F(ProcessControlTest, CachedHandleQueries) {
    sim::SimProcess& p = machine().AddProcess(10);
    p.priorityClass = 0x8000;
    p.affinity = 0x0F;
    p.priorityBoostDisabled = true;
    const auto handle = QueryHandle(10);
    EXPECT_EQ(platform::GetProcessPriorityClass(handle.Get()), 0x8000u);
    EXPECT_EQ(platform::GetProcessAffinity(handle.Get()), 0x0Fu);
    EXPECT_FALSE(platform::GetPriorityBoostEnabled(handle.Get()));
    // Unreadable boost counts as enabled, the Windows default.
    machine().FailCall("GetProcessPriorityBoost");
    EXPECT_TRUE(platform::GetPriorityBoostEnabled(handle.Get()));
}

// The queries ask through the cache's handle when it has one and open a handle of their own
// otherwise: over random processes (full, limited or no access, query rights refused), handles
// cached and released and attributes changed, each answer equals the one a handle opened for
// the query alone gives.
TEST_F(ProcessControlTest, QueriesThroughTheCachedHandleAnswerAsAHandleOfTheirOwn) {
    constexpr std::uint32_t kProcesses = 24;
    std::mt19937 random(1211);
    const auto pidOf = [](std::uint32_t i) { return 100 + 4 * i; };
    machine().SetProcessorGroups(
        {std::vector<std::uint8_t>(4, 0), std::vector<std::uint8_t>(4, 1)});
    for (std::uint32_t i = 0; i < kProcesses; ++i) {
        sim::SimProcess& p = machine().AddProcess(pidOf(i));
        p.fullAccess = random() % 4 != 0;
        p.canOpen = random() % 8 != 0;
        p.deniedAccess = random() % 5 == 0 ? platform::kProcessQueryInformation : 0;
    }
    const auto ownHandle = [](std::uint32_t pid, std::uint32_t access) {
        platform::UniqueHandle handle = platform::OpenProcessHandle(pid, access);
        if (!handle && access == platform::kProcessQueryInformation) {
            handle = platform::OpenProcessHandle(pid, platform::kProcessQueryLimitedInformation);
        }
        return handle;
    };
    auto& cache = ProcessHandleCache::Instance();
    for (int step = 0; step < 3000; ++step) {
        const std::uint32_t pid = pidOf(random() % kProcesses);
        sim::SimProcess& p = process(pid);
        switch (random() % 4) {
            case 0:
                cache.Share(pid, 0);
                break;
            case 1:
                cache.ReleaseHandle(pid);
                break;
            case 2:
                p.priorityClass = std::array{0x20u, 0x40u, 0x80u, 0x4000u, 0x8000u}[random() % 5];
                p.memoryPriority = random() % 6;
                p.throttleControl = random() % 2;
                p.throttleState = random() % 2;
                p.group = static_cast<std::uint16_t>(random() % 2);
                break;
            default: {
                const platform::UniqueHandle query =
                    ownHandle(pid, platform::kProcessQueryInformation);
                const std::uint32_t priority =
                    query ? platform::GetProcessPriorityClass(query.Get()) : 0;
                EXPECT_EQ(QueryPriorityClass(pid), priority == 0 ? -1 : std::int32_t(priority))
                    << "step " << step;
                EXPECT_EQ(QueryProcessGroups(pid), query ? platform::GetProcessGroups(query.Get())
                                                         : std::vector<std::uint16_t>())
                    << "step " << step;
                EXPECT_EQ(QueryEfficiencyMode(pid),
                          query ? platform::GetEfficiencyMode(query.Get()) : -1)
                    << "step " << step;
                const platform::UniqueHandle memory =
                    platform::OpenProcessHandle(pid, platform::kProcessQueryInformation);
                EXPECT_EQ(QueryMemoryPriority(pid),
                          memory ? platform::GetMemoryPriority(memory.Get()) : -1)
                    << "step " << step;
                break;
            }
        }
    }
    cache.Clear();
}

// Affinity and processor groups.

TEST_F(ProcessControlTest, AffinityWithoutGroupKeepsToTheActiveProcessors) {
    machine().SetProcessorGroups({std::vector<std::uint8_t>(4, 0)});
    const struct {
        const char* what;
        bool activeMaskUnreadable;
        std::uint64_t requested;
        bool result;
        std::uint64_t applied;
    } cases[] = {
        {"only the intersection is applied", false, 0xFF, true, 0x0F},
        {"a mask inside the machine", false, 0x06, true, 0x06},
        {"no requested processor exists", false, 0xF0, false, 0},
        {"an unreadable active mask leaves the mask as it is", true, 0x03, true, 0x03},
        {"so processors beyond the machine are refused", true, 0xFF, false, 0},
    };
    for (const auto& c : cases) {
        machine().ClearFailures();
        machine().AddProcess(10);
        if (c.activeMaskUnreadable) {
            machine().FailCall("GetSystemInfo");
        }
        EXPECT_EQ(ChangeAffinityWithGroup(10, c.requested, kNoProcessorGroup), c.result) << c.what;
        EXPECT_EQ(process(10).affinity, c.applied) << c.what;
    }
}

TEST_F(ProcessControlTest, ExplicitGroupOnASingleGroupMachineAppliesTheMaskButFails) {
    machine().AddProcess(10);
    EXPECT_FALSE(ChangeAffinityWithGroup(10, 0x0C, 0));
    EXPECT_EQ(process(10).affinity, 0x0Cu);
    EXPECT_EQ(process(10).group, 0);
}

TEST_F(ProcessControlTest, ExplicitGroupOnAMultiGroupMachine) {
    const struct {
        const char* what;
        bool spansBothGroups;
        bool threadsCannotBeListed;
        std::int32_t group;
        bool result;
        std::uint16_t groupAfter;
        std::uint64_t affinityAfter;
    } cases[] = {
        {"moved to group 1", false, false, 1, true, 1, 0x3},
        {"kept in group 0", false, false, 0, true, 0, 0x3},
        {"threads in both groups are gathered first", true, false, 1, true, 1, 0x3},
        {"without gathering the threads the move fails", true, true, 1, false, 0, 0},
        {"a group the machine lacks", false, false, 2, false, 0, 0x3},
        {"a group number beyond 256", false, false, 300, false, 0, 0x3},
    };
    for (const auto& c : cases) {
        machine().Reset();
        machine().SetProcessorGroups(
            {std::vector<std::uint8_t>(8, 0), std::vector<std::uint8_t>(8, 0)});
        sim::SimProcess& p = machine().AddProcess(10);
        p.threadCount = 3;
        if (c.spansBothGroups) {
            p.threadGroupAffinity[p.ThreadIds()[1]] = {1, 0xF0};
        }
        if (c.threadsCannotBeListed) {
            machine().FailCall("CreateToolhelp32Snapshot");
        }
        EXPECT_EQ(QueryProcessGroups(10).size(), c.spansBothGroups ? 2u : 1u) << c.what;
        EXPECT_EQ(ChangeAffinityWithGroup(10, 0x3, c.group), c.result) << c.what;
        EXPECT_EQ(process(10).group, c.groupAfter) << c.what;
        EXPECT_EQ(process(10).affinity, c.affinityAfter) << c.what;
        if (c.result) {
            EXPECT_EQ(QueryProcessGroups(10), std::vector<std::uint16_t>{c.groupAfter}) << c.what;
        }
    }
}

TEST_F(ProcessControlTest, ProcessGroupsFromTheCachedHandleOrById) {
    machine().SetProcessorGroups(
        {std::vector<std::uint8_t>(4, 0), std::vector<std::uint8_t>(4, 0)});
    sim::SimProcess& p = machine().AddProcess(10);
    p.threadCount = 2;
    p.threadGroupAffinity[p.ThreadIds()[0]] = {1, 0x1};
    machine().AddProcess(11).fullAccess = false;
    const auto spread = QueryHandle(10);
    EXPECT_TRUE(SpansSeveralGroups(spread.Get()));
    EXPECT_EQ(platform::GetProcessGroups(spread.Get()), (std::vector<std::uint16_t>{0, 1}));
    EXPECT_EQ(platform::GetProcessAffinity(spread.Get()), 0u);         // no single mask to report
    EXPECT_EQ(QueryProcessGroups(11), std::vector<std::uint16_t>{0});  // limited access suffices
    EXPECT_TRUE(QueryProcessGroups(99).empty());
    EXPECT_FALSE(SpansSeveralGroups(nullptr));
}

// I/O and memory priority, efficiency mode.

TEST_F(ProcessControlTest, IoAndMemoryPriority) {
    machine().AddProcess(10);
    EXPECT_EQ(platform::GetIoPriority(10), 2u);
    EXPECT_TRUE(platform::SetIoPriority(10, 1));
    EXPECT_EQ(platform::GetIoPriority(10), 1u);
    EXPECT_FALSE(platform::SetIoPriority(10, 5));
    EXPECT_FALSE(platform::GetIoPriority(99));

    EXPECT_EQ(QueryMemoryPriority(10), 5);
    EXPECT_TRUE(ChangeMemoryPriority(10, 2));
    EXPECT_EQ(QueryMemoryPriority(10), 2);
    EXPECT_FALSE(ChangeMemoryPriority(10, 8));
    EXPECT_EQ(QueryMemoryPriority(99), -1);
}

TEST_F(ProcessControlTest, MemoryPriorityNeedsWindows6) {
    machine().osMajor = 5;
    machine().osMinor = 1;
    machine().AddProcess(10);
    EXPECT_EQ(QueryMemoryPriority(10), -1);
    EXPECT_FALSE(ChangeMemoryPriority(10, 2));
    EXPECT_EQ(process(10).memoryPriority, 5u);
}

TEST_F(ProcessControlTest, EfficiencyMode) {
    machine().AddProcess(10);
    EXPECT_EQ(QueryEfficiencyMode(10), 0);
    EXPECT_TRUE(ChangeEfficiencyMode(10, true));
    EXPECT_EQ(QueryEfficiencyMode(10), 1);
    EXPECT_EQ(process(10).throttleControl, platform::kThrottleExecutionSpeed);
    EXPECT_TRUE(ChangeEfficiencyMode(10, false));
    EXPECT_EQ(QueryEfficiencyMode(10), 0);
    EXPECT_EQ(QueryEfficiencyMode(99), -1);

    machine().AddProcess(11).fullAccess = false;
    EXPECT_EQ(QueryEfficiencyMode(11), 0);  // limited query suffices

    EXPECT_TRUE(platform::HonourOwnTimerResolution());
    EXPECT_EQ(machine().ownThrottleIgnoreTimerResolution, 0u);
}

TEST_F(ProcessControlTest, WithoutPowerThrottlingNothingIsTouched) {
    machine().powerThrottlingSupported = false;
    sim::SimProcess& p = machine().AddProcess(10);
    p.throttleState = 1;
    EXPECT_EQ(QueryEfficiencyMode(10), -1);
    EXPECT_FALSE(ChangeEfficiencyMode(10, false));
    EXPECT_EQ(process(10).throttleState, 1u);
    EXPECT_FALSE(platform::HonourOwnTimerResolution());
}

// CPU sets.

platform::CpuSetInfo CpuSet(std::uint32_t id, std::uint16_t group, std::uint8_t index) {
    platform::CpuSetInfo set;
    set.id = id;
    set.group = group;
    set.logicalProcessorIndex = index;
    return set;
}

TEST(CpuSetConversion, IdentifiersAndMasks) {
    const CpuSetCatalogue catalogue({CpuSet(0x100, 0, 0), CpuSet(0x101, 0, 1), CpuSet(0x102, 0, 2),
                                     CpuSet(0x200, 1, 0), CpuSet(0x201, 1, 3),
                                     CpuSet(0x300, 2, 65)});
    const struct {
        const char* what;
        std::vector<std::uint32_t> ids;
        std::vector<GroupAffinity> masks;
    } toMasks[] = {
        {"one group", {0x100, 0x102}, {{0, 0x5}}},
        {"groups in order whatever the list order", {0x201, 0x101, 0x200}, {{0, 0x2}, {1, 0x9}}},
        {"unknown identifiers are skipped", {0x999, 0x101}, {{0, 0x2}}},
        {"processor index beyond 63 wraps", {0x300}, {{2, 0x2}}},
        {"nothing", {}, {}},
    };
    for (const auto& c : toMasks) {
        EXPECT_EQ(CpuSetsToMasks(c.ids, catalogue), c.masks) << c.what;
    }
    const struct {
        const char* what;
        std::vector<GroupAffinity> masks;
        std::vector<std::uint32_t> ids;
    } toIds[] = {
        {"bits in order", {{0, 0x7}}, {0x100, 0x101, 0x102}},
        {"group -1 is group 0", {{-1, 0x2}}, {0x101}},
        {"bits without a CPU set are skipped", {{1, 0xFF}}, {0x200, 0x201}},
        {"pairs in list order", {{1, 0x1}, {0, 0x1}}, {0x200, 0x100}},
        {"a group without CPU sets", {{5, 0x1}}, {}},
    };
    for (const auto& c : toIds) {
        EXPECT_EQ(MasksToCpuSets(c.masks, catalogue), c.ids) << c.what;
    }
    EXPECT_EQ(catalogue.IdOf(1, 3), 0x201u);
    EXPECT_FALSE(catalogue.IdOf(1, 1));
    ASSERT_NE(catalogue.Find(0x102), nullptr);
    EXPECT_EQ(catalogue.Find(0x102)->logicalProcessorIndex, 2);
    EXPECT_EQ(catalogue.Find(0x103), nullptr);
}

TEST_F(ProcessControlTest, CatalogueComesFromTheSystemOnce) {
    machine().SetProcessorGroups({{1, 1, 0, 0}, {1, 1}});
    const CpuSetCatalogue& catalogue = SystemCpuSetCatalogue();
    ASSERT_EQ(catalogue.Sets().size(), 6u);
    EXPECT_EQ(catalogue.IdOf(1, 1), 0x105u);
    EXPECT_EQ(catalogue.Find(0x102)->efficiencyClass, 0);
    // Filled once: a later change of the machine is not seen.
    machine().SetProcessorGroups({{0}});
    EXPECT_EQ(SystemCpuSetCatalogue().Sets().size(), 6u);
}

TEST_F(ProcessControlTest, DefaultCpuSetsRoundTripAndClear) {
    machine().SetProcessorGroups(
        {std::vector<std::uint8_t>(4, 0), std::vector<std::uint8_t>(4, 0)});
    machine().AddProcess(10);
    const auto handle = QueryHandle(10);
    EXPECT_EQ(QueryDefaultCpuSets(handle.Get()), std::vector<GroupAffinity>());

    const std::vector<GroupAffinity> wanted = {{0, 0x3}, {1, 0xC}};
    EXPECT_TRUE(ChangeDefaultCpuSets(10, wanted));
    EXPECT_EQ(process(10).defaultCpuSets, (std::vector<std::uint32_t>{0x100, 0x101, 0x106, 0x107}));
    EXPECT_EQ(QueryDefaultCpuSets(handle.Get()), wanted);

    EXPECT_TRUE(ChangeDefaultCpuSets(10, {}));
    EXPECT_TRUE(process(10).defaultCpuSets.empty());

    machine().FailCall("GetProcessDefaultCpuSets");
    EXPECT_FALSE(QueryDefaultCpuSets(handle.Get()));
}

TEST_F(ProcessControlTest, ARequestForMissingProcessorsDoesNotClearTheCpuSets) {
    machine().AddProcess(10).defaultCpuSets = {0x101};
    EXPECT_FALSE(ChangeDefaultCpuSets(10, {{3, 0xFF}}));
    EXPECT_FALSE(ChangeDefaultCpuSets(10, {{0, 0}}));
    EXPECT_EQ(process(10).defaultCpuSets, std::vector<std::uint32_t>{0x101});
}

TEST_F(ProcessControlTest, WithoutCpuSetFunctionsNothingIsTouched) {
    machine().cpuSetsSupported = false;
    machine().AddProcess(10).defaultCpuSets = {0x101};
    EXPECT_FALSE(ChangeDefaultCpuSets(10, {}));
    EXPECT_FALSE(ChangeDefaultCpuSets(10, {{0, 0x1}}));
    EXPECT_EQ(process(10).defaultCpuSets, std::vector<std::uint32_t>{0x101});
    EXPECT_FALSE(QueryDefaultCpuSets(QueryHandle(10).Get()));
}

// Suspension, working set, termination.

TEST_F(ProcessControlTest, SuspendAndResumeShowInTheProcessList) {
    machine().AddProcess(10).threadCount = 3;
    machine().AddProcess(11);
    EXPECT_FALSE(IsProcessSuspended(10));
    EXPECT_TRUE(SuspendProcessById(10));
    EXPECT_TRUE(IsProcessSuspended(10));
    EXPECT_FALSE(IsProcessSuspended(11));
    EXPECT_TRUE(ResumeProcessById(10));
    EXPECT_FALSE(IsProcessSuspended(10));
    EXPECT_FALSE(IsProcessSuspended(99));

    machine().FindProcess(11)->deniedAccess = platform::kProcessSuspendResume;
    EXPECT_FALSE(SuspendProcessById(11));
    EXPECT_FALSE(ResumeProcessById(11));
    EXPECT_EQ(process(11).suspendCount, 0);
}

TEST(SuspendedEntry, EveryThreadMustWaitSuspended) {
    namespace layout = platform::layout;
    const auto entryWith = [](std::vector<std::pair<std::uint32_t, std::uint32_t>> threads) {
        std::vector<std::uint8_t> entry(layout::kProcessEntrySize +
                                        threads.size() * layout::kThreadEntrySize);
        layout::Write<std::uint32_t>(entry.data(), layout::kNumberOfThreads,
                                     static_cast<std::uint32_t>(threads.size()));
        for (std::size_t i = 0; i < threads.size(); ++i) {
            std::uint8_t* thread =
                entry.data() + layout::kProcessEntrySize + i * layout::kThreadEntrySize;
            layout::Write<std::uint32_t>(thread, layout::kThreadState, threads[i].first);
            layout::Write<std::uint32_t>(thread, layout::kThreadWaitReason, threads[i].second);
        }
        return entry;
    };
    const struct {
        const char* what;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> threads;
        bool suspended;
    } cases[] = {
        {"all suspended", {{5, 5}, {5, 5}}, true},
        {"one waits for something else", {{5, 5}, {5, 6}}, false},
        {"one is running", {{5, 5}, {2, 5}}, false},
        {"no threads", {}, false},
    };
    for (const auto& c : cases) {
        const auto entry = entryWith(c.threads);
        EXPECT_EQ(IsSuspendedEntry(entry.data(), entry.size()), c.suspended) << c.what;
    }
    const auto entry = entryWith({{5, 5}, {5, 5}});
    EXPECT_FALSE(IsSuspendedEntry(entry.data(), entry.size() - 1)) << "cut short";
}

TEST_F(ProcessControlTest, TrimWorkingSet) {
    machine().AddProcess(10);
    EXPECT_TRUE(TrimWorkingSetById(10));
    EXPECT_EQ(process(10).workingSetTrims, 1);
    EXPECT_EQ(process(10).workingSet, 0u);
    machine().FindProcess(10)->deniedAccess = platform::kProcessSetQuota;
    EXPECT_FALSE(TrimWorkingSetById(10));
    EXPECT_EQ(process(10).workingSetTrims, 1);
}

TEST_F(ProcessControlTest, TerminateReportsWhetherTheProcessCouldBeOpened) {
    machine().AddProcess(10);
    EXPECT_TRUE(TerminateWithExitCode(10, 1));
    EXPECT_EQ(machine().FindProcess(10), nullptr);

    machine().AddProcess(11);
    machine().FailCall("TerminateProcess");
    EXPECT_TRUE(TerminateWithExitCode(11, 1));  // the termination itself is not checked
    EXPECT_NE(machine().FindProcess(11), nullptr);

    machine().AddProcess(12).deniedAccess = platform::kProcessTerminate;
    EXPECT_FALSE(TerminateWithExitCode(12, 1));
    EXPECT_FALSE(TerminateWithExitCode(99, 1));
}

TEST_F(ProcessControlTest, TerminateByIdUsesExitCode9) {
    const struct {
        const char* what;
        std::uint32_t terminationDelayMs;
        bool terminateFails;
        bool result;
    } cases[] = {
        {"ends at once", 0, false, true},
        {"still ending right after the call", 50, false, true},
        {"termination refused", 0, true, false},
    };
    for (const auto& c : cases) {
        machine().Reset();
        auto wait = [&] {
            machine().AddProcess(10).terminationDelayMs = c.terminationDelayMs;
            return platform::OpenProcessHandle(10, platform::kSynchronize);
        }();
        if (c.terminateFails) {
            machine().FailCall("TerminateProcess");
        }
        EXPECT_EQ(TerminateById(10), c.result) << c.what;
        if (c.result) {
            ASSERT_EQ(platform::WaitForObject(wait.Get(), 1000), platform::WaitResult::Signalled)
                << c.what;
            EXPECT_EQ(machine().ProcessOfHandle(wait.Get())->exitCode, kTerminatedExitCode);
        } else {
            EXPECT_FALSE(platform::IsSignalled(wait.Get())) << c.what;
        }
    }
    EXPECT_FALSE(TerminateById(99));
}

// Graceful close.

struct CloseCase {
    const char* what;
    std::function<void(sim::Machine&)> arrange;  // process 10 exists
    bool result;
    std::uint32_t exitCode;  // when it ended
    bool closePosted;
    int elapsedMs;  // simulated time the close took; -1: anything up to the grace period
};

TEST_F(ProcessControlTest, CloseGracefully) {
    const CloseCase cases[] = {
        {"its window closes it", [](sim::Machine& m) { m.AddWindow(10); }, true, 0, true, -1},
        {"closes within the grace period",
         [](sim::Machine& m) { m.AddWindow(10).closeDelayMs = 400; }, true, 0, true, -1},
        {"takes longer than the grace period",
         [](sim::Machine& m) { m.AddWindow(10).closeDelayMs = 4000; }, true, 9, true, 1000},
        {"ignores WM_CLOSE", [](sim::Machine& m) { m.AddWindow(10).endsProcessOnClose = false; },
         true, 9, true, 1000},
        {"no window: terminated at once", [](sim::Machine&) {}, true, 9, false, 0},
        {"only invisible and owned windows",
         [](sim::Machine& m) {
             m.AddWindow(10).visible = false;
             m.AddWindow(10).owned = true;
         },
         true, 9, false, 0},
        {"the window of another process is not used",
         [](sim::Machine& m) {
             m.AddProcess(11);
             m.AddWindow(11);
         },
         true, 9, false, 0},
        {"suspended: terminated at once without WM_CLOSE",
         [](sim::Machine& m) {
             m.AddWindow(10);
             m.FindProcess(10)->suspendCount = 1;
         },
         true, 9, false, 0},
        {"the message cannot be posted",
         [](sim::Machine& m) {
             m.AddWindow(10);
             m.FailCall("PostMessage");
         },
         true, 9, false, 0},
        {"cannot be terminated either",
         [](sim::Machine& m) {
             m.AddWindow(10).endsProcessOnClose = false;
             m.FindProcess(10)->deniedAccess = platform::kProcessTerminate;
         },
         false, 0, true, 1000},
    };
    for (const auto& c : cases) {
        machine().Reset();
        machine().AddProcess(10);
        c.arrange(machine());
        const auto wait = platform::OpenProcessHandle(10, platform::kSynchronize);
        const std::uint64_t start = machine().Now();
        EXPECT_EQ(CloseGracefully(10, 1000), c.result) << c.what;
        if (c.elapsedMs < 0) {
            EXPECT_LE(machine().Now() - start, 1000u) << c.what;
        } else {
            EXPECT_EQ(machine().Now() - start, static_cast<std::uint64_t>(c.elapsedMs)) << c.what;
        }
        EXPECT_EQ(!machine().closeMessages.empty(), c.closePosted) << c.what;
        if (c.result) {
            ASSERT_TRUE(platform::IsSignalled(wait.Get())) << c.what;
            EXPECT_EQ(machine().ProcessOfHandle(wait.Get())->exitCode, c.exitCode) << c.what;
        } else {
            EXPECT_FALSE(platform::IsSignalled(wait.Get())) << c.what;
        }
    }
}

TEST_F(ProcessControlTest, CloseGracefullyPostsToTheFirstVisibleUnownedWindow) {
    machine().AddProcess(10);
    machine().AddWindow(10).visible = false;
    machine().AddWindow(10).owned = true;
    const std::uintptr_t main = machine().AddWindow(10).window;
    machine().AddWindow(10);
    EXPECT_TRUE(CloseGracefully(10, 5000));
    EXPECT_EQ(machine().closeMessages, std::vector<std::uintptr_t>{main});
}

TEST_F(ProcessControlTest, AProcessThatIsGoneCountsAsClosed) {
    EXPECT_TRUE(CloseGracefully(99, 5000));
    machine().AddProcess(10).canOpen = false;  // taken as gone, as the caller cannot tell
    EXPECT_TRUE(CloseGracefully(10, 5000));
    EXPECT_TRUE(machine().closeMessages.empty());
}

}  // namespace
}  // namespace cv
