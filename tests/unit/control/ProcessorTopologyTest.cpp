// The processor topology on simulated machines of every shape: one group or several, uniform
// or hybrid, with or without efficiency-class information.
#include <bit>
#include <deque>

#include "SimFixture.h"
#include "control/ProcessorTopology.h"

namespace cv {
namespace {

using Classes = std::vector<std::uint8_t>;

Classes Repeat(std::size_t count, std::uint8_t efficiencyClass) {
    return Classes(count, efficiencyClass);
}

Classes Join(Classes a, const Classes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ProcessorTopologyTest : public test::SimTest {};

TEST_F(ProcessorTopologyTest, MachinesOfEveryShape) {
    const struct {
        const char* what;
        std::vector<Classes> groups;
        bool noClassInformation;
        std::uint32_t logical;
        std::uint32_t groupCount;
        std::uint32_t inGroup0;
        bool hybrid;
        std::uint8_t highestClass;
        std::vector<std::uint64_t> efficiencyMasks;
        std::uint32_t performance;
        std::uint64_t fullMaskGroup0;
    } cases[] = {
        {"uniform, one group", {Repeat(8, 0)}, false, 8, 1, 8, false, 0, {0}, 8, 0xFF},
        {"uniform cores all in a higher class",
         {Repeat(4, 2)},
         false,
         4,
         1,
         4,
         false,
         2,
         {0},
         4,
         0xF},
        {"hybrid: 4 performance and 8 efficiency cores",
         {Join(Repeat(4, 1), Repeat(8, 0))},
         false,
         12,
         1,
         12,
         true,
         1,
         {0xFF0},
         4,
         0xFFF},
        {"hybrid with three classes",
         {Classes{2, 2, 1, 1, 0, 0}},
         false,
         6,
         1,
         6,
         true,
         2,
         {0x3C},
         2,
         0x3F},
        {"no class information on a hybrid machine",
         {Join(Repeat(4, 1), Repeat(4, 0))},
         true,
         8,
         1,
         8,
         false,
         0,
         {0},
         8,
         0xFF},
        {"two full groups",
         {Repeat(64, 0), Repeat(64, 0)},
         false,
         128,
         2,
         64,
         false,
         0,
         {0, 0},
         128,
         ~std::uint64_t{0}},
        {"hybrid over two groups: only group 0's efficiency cores are subtracted",
         {Join(Repeat(2, 1), Repeat(6, 0)), Join(Repeat(2, 1), Repeat(2, 0))},
         false,
         12,
         2,
         8,
         true,
         1,
         {0xFC, 0xC},
         6,
         0xFF},
        {"group 0 holds only efficiency cores",
         {Repeat(4, 0), Repeat(2, 1)},
         false,
         6,
         2,
         4,
         true,
         1,
         {0xF, 0},
         2,
         0xF},
    };
    for (const auto& c : cases) {
        machine().Reset();
        machine().SetProcessorGroups(c.groups);
        if (c.noClassInformation) {
            machine().FailCall("GetLogicalProcessorInformationEx");
        }
        const ProcessorTopology topology = BuildProcessorTopology();
        EXPECT_EQ(topology.logicalProcessors, c.logical) << c.what;
        EXPECT_EQ(topology.groupCount, c.groupCount) << c.what;
        EXPECT_EQ(topology.processorsInGroup0, c.inGroup0) << c.what;
        EXPECT_EQ(topology.hybrid, c.hybrid) << c.what;
        EXPECT_EQ(topology.highestEfficiencyClass, c.highestClass) << c.what;
        EXPECT_EQ(topology.efficiencyCoreMasks, c.efficiencyMasks) << c.what;
        EXPECT_EQ(topology.PerformanceProcessorCount(), c.performance) << c.what;
        EXPECT_EQ(topology.FullMaskGroup0(), c.fullMaskGroup0) << c.what;

        const ProcessorFacts facts = topology.Facts();
        EXPECT_EQ(facts.activeProcessors, c.logical) << c.what;
        EXPECT_EQ(facts.hybrid, c.hybrid) << c.what;
        EXPECT_EQ(facts.efficientProcessorsGroup0,
                  static_cast<std::uint32_t>(std::popcount(c.efficiencyMasks[0])))
            << c.what;
    }
}

TEST_F(ProcessorTopologyTest, EfficiencyClassOfEveryProcessor) {
    machine().SetProcessorGroups({Classes{1, 0}, Classes{0, 1, 1}});
    const ProcessorTopology topology = BuildProcessorTopology();
    const std::map<std::pair<std::uint16_t, std::uint8_t>, std::uint8_t> expected = {
        {{0, 0}, 1}, {{0, 1}, 0}, {{1, 0}, 0}, {{1, 1}, 1}, {{1, 2}, 1}};
    EXPECT_EQ(topology.efficiencyClasses, expected);
    EXPECT_EQ(topology.EfficiencyCoreMask(1), 0x1u);
    EXPECT_EQ(topology.EfficiencyCoreMask(7), 0u);
}

TEST(RandomHalfMask, HalfOfGroup0RoundedDown) {
    const struct {
        const char* what;
        std::uint32_t processors;
        std::vector<std::uint32_t> picks;
        std::uint64_t mask;
    } cases[] = {
        {"repeated picks are drawn again", 8, {3, 3, 5, 0, 5, 7}, 0x1 | 0x8 | 0x20 | 0x80},
        {"odd count rounds down", 7, {6, 0, 1}, 0x43},
        {"a single processor gives nothing", 1, {}, 0},
    };
    for (const auto& c : cases) {
        ProcessorTopology topology;
        topology.processorsInGroup0 = c.processors;
        std::deque<std::uint32_t> picks(c.picks.begin(), c.picks.end());
        std::uint32_t bounds = 0;
        const std::uint64_t mask = RandomHalfMask(topology, [&](std::uint32_t bound) {
            bounds = bound;
            const std::uint32_t pick = picks.front();
            picks.pop_front();
            return pick;
        });
        EXPECT_EQ(mask, c.mask) << c.what;
        EXPECT_TRUE(picks.empty()) << c.what;
        if (!c.picks.empty()) {
            EXPECT_EQ(bounds, c.processors) << c.what;
        }
    }
}

TEST(RandomHalfMask, EveryProcessorCanBeChosen) {
    ProcessorTopology topology;
    topology.processorsInGroup0 = 12;
    std::uint64_t seen = 0;
    for (int run = 0; run < 200; ++run) {
        const std::uint64_t mask = RandomHalfMask(topology);
        ASSERT_EQ(std::popcount(mask), 6);
        ASSERT_EQ(mask & ~topology.FullMaskGroup0(), 0u);
        seen |= mask;
    }
    EXPECT_EQ(seen, topology.FullMaskGroup0());
}

}  // namespace
}  // namespace cv
