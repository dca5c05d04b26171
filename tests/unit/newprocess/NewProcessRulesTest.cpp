// The decisions of the new-process rules on literal inputs: which copies count against an
// instance limit, which limits a new copy exceeds, how the balancer cuts the machine into blocks
// and when a reload makes it spread again.
#include <gtest/gtest.h>

#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "newprocess/NewProcessRules.h"

namespace cv {
namespace {

std::set<std::uint32_t> Pids(std::uint32_t count, std::uint32_t first = 100) {
    std::set<std::uint32_t> pids;
    for (std::uint32_t i = 0; i < count; ++i) {
        pids.insert(first + 10 * i);
    }
    return pids;
}

InstanceBalancerRule Rule(std::int32_t fixedCount, std::int32_t perInstance,
                          std::int32_t firstProcessor, bool alternate) {
    InstanceBalancerRule rule;
    rule.pattern.text = L"worker.exe";
    rule.fixedCount = fixedCount;
    rule.processorsPerInstance = perInstance;
    rule.firstProcessor = firstProcessor;
    rule.alternate = alternate;
    return rule;
}

std::vector<std::uint64_t> Masks(const BalancePlan& plan) {
    std::vector<std::uint64_t> masks;
    for (const auto& instance : plan.instances) {
        masks.push_back(instance.block.mask);
    }
    return masks;
}

TEST(InstanceBalancer, EightProcessorsSplitEvenlyByAscendingPid) {
    // Pids given out of order: blocks still go by ascending pid.
    const std::set<std::uint32_t> pids = {430, 120, 310, 205};
    const BalancePlan plan = PlanInstanceBalance(Rule(0, 0, 0, false), pids, 8, {8});
    EXPECT_EQ(plan.processorsPerInstance, 2u);
    ASSERT_EQ(plan.instances.size(), 4u);
    const std::vector<BalancedInstance> expected = {
        {120, {0, 0x03}}, {205, {0, 0x0C}}, {310, {0, 0x30}}, {430, {0, 0xC0}}};
    EXPECT_EQ(plan.instances, expected);
}

TEST(InstanceBalancer, BlockLayouts) {
    const struct {
        const char* what;
        InstanceBalancerRule rule;
        std::uint32_t instances;
        std::uint32_t processors;
        std::uint64_t perInstance;
        std::vector<std::uint64_t> masks;
    } cases[] = {
        {"alternate: the even processor of each block",
         Rule(0, 0, 0, true),
         4,
         8,
         2,
         {0x01, 0x04, 0x10, 0x40}},
        {"a fifth instance: one processor each",
         Rule(0, 0, 0, false),
         5,
         8,
         1,
         {0x01, 0x02, 0x04, 0x08, 0x10}},
        {"alternate with blocks of one",
         Rule(0, 0, 0, true),
         5,
         8,
         1,
         {0x01, 0x04, 0x10, 0x40, 0x01}},
        {"first processor 2 leaves 6 for 3", Rule(0, 0, 2, false), 3, 8, 2, {0x0C, 0x30, 0xC0}},
        {"more instances than processors",
         Rule(0, 0, 0, false),
         10,
         8,
         1,
         {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x01, 0x02}},
        {"fixed blocks of 3 start over at the first processor",
         Rule(1, 3, 0, false),
         3,
         8,
         3,
         {0x07, 0x38, 0x07}},
        {"fixed, alternate blocks of 3 take every other processor",
         Rule(1, 3, 0, true),
         2,
         8,
         3,
         {0x05, 0x50}},
        {"a fixed block that does not fit wraps round",
         Rule(1, 4, 6, false),
         2,
         8,
         4,
         {0xC3, 0x3C}},
        {"fixed count 0 processors is still one", Rule(1, 0, 0, false), 2, 8, 1, {0x01, 0x02}},
        {"a first processor past the end is the last one", Rule(0, 0, 20, false), 1, 8, 1, {0x80}},
        {"a negative first processor is processor 0", Rule(0, 0, -3, false), 2, 8, 4, {0x0F, 0xF0}},
        {"a block larger than the machine is the whole machine",
         Rule(1, 100, 0, false),
         2,
         8,
         100,
         {0xFF, 0xFF}},
        {"64 processors: the top block reaches bit 63",
         Rule(0, 0, 0, false),
         2,
         64,
         32,
         {0x00000000FFFFFFFFull, 0xFFFFFFFF00000000ull}},
    };
    for (const auto& c : cases) {
        const BalancePlan plan =
            PlanInstanceBalance(c.rule, Pids(c.instances), c.processors, {c.processors});
        EXPECT_EQ(plan.processorsPerInstance, c.perInstance) << c.what;
        EXPECT_EQ(Masks(plan), c.masks) << c.what;
        for (const auto& instance : plan.instances) {
            EXPECT_EQ(instance.block.group, 0) << c.what;
        }
    }
}

TEST(InstanceBalancer, SeveralGroupsTakeTheNextGroupWhenABlockDoesNotFit) {
    // Two groups of 4; blocks of 3 from processor 0.
    const BalancePlan plan = PlanInstanceBalance(Rule(1, 3, 0, false), Pids(3), 8, {4, 4});
    const std::vector<BalancedInstance> expected = {
        {100, {0, 0x07}}, {110, {1, 0x07}}, {120, {0, 0x07}}};
    EXPECT_EQ(plan.instances, expected);

    // Even split over 8: two blocks fill group 0, the third moves on.
    const BalancePlan even = PlanInstanceBalance(Rule(0, 0, 0, false), Pids(4), 8, {4, 4});
    const std::vector<BalancedInstance> spread = {
        {100, {0, 0x03}}, {110, {0, 0x0C}}, {120, {1, 0x03}}, {130, {1, 0x0C}}};
    EXPECT_EQ(even.instances, spread);
}

TEST(InstanceBalancer, NoInstancesNoPlan) {
    EXPECT_TRUE(PlanInstanceBalance(Rule(0, 0, 0, false), {}, 8, {8}).instances.empty());
}

TEST(InstanceBalancer, OnlyPatternFixedCountAndBlockSizeMeanNewRules) {
    const auto map = [](std::vector<InstanceBalancerRule> rules) {
        InstanceBalancerMap result;
        for (auto& rule : rules) {
            result[rule.pattern.text] = rule;
        }
        return result;
    };
    InstanceBalancerRule base = Rule(1, 2, 0, false);
    base.cpuThreshold = 10;
    const InstanceBalancerMap before = map({base});
    const auto with = [&](auto change) {
        InstanceBalancerRule changed = base;
        change(changed);
        return map({changed});
    };
    const struct {
        const char* what;
        InstanceBalancerMap after;
        bool changed;
    } cases[] = {
        {"same rules", before, false},
        {"threshold", with([](auto& r) { r.cpuThreshold = 50; }), false},
        {"first processor", with([](auto& r) { r.firstProcessor = 4; }), false},
        {"alternate", with([](auto& r) { r.alternate = true; }), false},
        {"fixed count stays set", with([](auto& r) { r.fixedCount = 2; }), false},
        {"fixed count cleared", with([](auto& r) { r.fixedCount = 0; }), true},
        {"processors per instance", with([](auto& r) { r.processorsPerInstance = 3; }), true},
        {"pattern", with([](auto& r) { r.pattern.text = L"other.exe"; }), true},
        {"a rule more", map({base, Rule(0, 0, 0, false)}), true},
        {"no rules", InstanceBalancerMap{}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BalancerRulesChanged(before, c.after), c.changed) << c.what;
    }
}

TEST(InstanceLimits, CopiesCountPerUserOrForEveryUser) {
    const std::vector<RunningInstance> running = {
        {L"editor.exe", L"alice"}, {L"Editor.EXE", L"ALICE"},  {L"editor.exe", L"bob"},
        {L"other.exe", L"alice"},  {L"editor.exe2", L"alice"},
    };
    EXPECT_EQ(CountInstances(running, L"editor.exe", L"Alice", false), 2u);
    EXPECT_EQ(CountInstances(running, L"editor.exe", L"bob", false), 1u);
    EXPECT_EQ(CountInstances(running, L"editor.exe", L"carol", false), 0u);
    EXPECT_EQ(CountInstances(running, L"editor.exe", L"carol", true), 3u);
    EXPECT_EQ(CountInstances({}, L"editor.exe", L"alice", true), 0u);
}

TEST(InstanceLimits, LimitsReachedByTheRunningCopies) {
    const std::vector<InstanceLimitRule> limits = {
        {{L"editor.exe"}, 2}, {{L"*.exe"}, 5}, {{L"edit*"}, 0}, {{L"viewer.exe"}, 1}};
    const struct {
        const wchar_t* name;
        std::size_t running;
        std::vector<std::size_t> exceeded;
    } cases[] = {
        {L"editor.exe", 1, {2}},        // a limit of 0 closes every copy
        {L"editor.exe", 2, {0, 2}},     // the third copy of a limit-2 program
        {L"editor.exe", 5, {0, 1, 2}},  // list order
        {L"viewer.exe", 0, {}},        {L"viewer.exe", 1, {3}},
        {L"notes.txt", 9, {}},         {L"", 9, {}},  // no name, no match
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExceededInstanceLimits(limits, c.name, c.running), c.exceeded)
            << c.name << " " << c.running;
    }
}

TEST(DisallowedProcesses, AllowedWinsOverDisallowed) {
    ConfigSettings settings;
    ConfigDocument document;
    AddEntry(document, L"ProcessAllowances", L"DisallowedProcesses", L"game*.exe,miner.exe");
    AddEntry(document, L"ProcessAllowances", L"AllowedProcesses", L"gamebar.exe");
    settings.ReadSettings(document);
    const struct {
        const wchar_t* name;
        bool disallowed;
    } cases[] = {
        {L"miner.exe", true},    {L"gameone.exe", true}, {L"gamebar.exe", false},
        {L"notepad.exe", false}, {L"", false},
    };
    for (const auto& c : cases) {
        MatchFacts facts;
        facts.pid = 50;
        facts.name = c.name;
        EXPECT_EQ(IsDisallowedProcess(*settings.BuildRules(), facts), c.disallowed) << c.name;
    }
}

}  // namespace
}  // namespace cv
