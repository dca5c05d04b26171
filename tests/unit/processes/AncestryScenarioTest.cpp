// What a process matched through its parents follows its parents: an ancestor that ends, one
// that the engine learns of late, and an id that another process takes all change the answers
// of the processes below them, and the answers each process keeps are dropped with them.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>

#include "EngineScenario.h"
#include "common/Format.h"
#include "LookUpNow.h"
#include "config/ProcessMatch.h"
#include "platform/ProcessControl.h"
#include "power/PowerAutomation.h"
#include "processes/ParentTree.h"
#include "restraint/LevelonExclusions.h"
#include "texts/Language.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;

class AncestryScenario : public test::EngineScenario {
  protected:
    sim::SimProcess& Spawn(std::uint32_t pid, const std::wstring& image, std::uint32_t parent) {
        auto& process = machine().AddProcess(pid, image);
        process.parentPid = parent;
        process.user = L"Tester";
        return process;
    }
    void Reload() { machine().SetNamedEvent(L"Local\\Corvane777"); }
    void Fresh() {
        loop_.reset();
        ProcessHandleCache::Instance().Clear();
        SetUp();
    }
};

// The five sequences in which a kept answer outlived the ancestry it was found through.
TEST_F(AncestryScenario, KeptAnswersFollowTheParentTree) {
    // The balancer spreads the launcher's workers; once the launcher has ended, its workers are
    // no longer its children, and a worker of another launcher is alone in the set.
    {
        SCOPED_TRACE("a balancer rule on the children of a launcher that ended");
        Start({{L"InstanceManagedCPUAffinities", L"childof:launcher.exe;0;0;0.00;0;N"}});
        Spawn(100, L"launcher.exe", 4);
        Spawn(200, L"worker.exe", 100);
        Spawn(210, L"worker.exe", 100);
        Cycles(1);
        ASSERT_EQ(machine().FindProcess(200)->affinity, 0x0Fu);
        machine().EndProcess(100);
        Cycles(1);
        Spawn(300, L"launcher.exe", 4);
        Spawn(310, L"worker.exe", 300);
        Cycles(1);
        EXPECT_EQ(machine().FindProcess(310)->affinity, 0xFFu);
        const auto spread = Only(StopAndReadLog(), 86);
        ASSERT_EQ(spread.size(), 2u);
        EXPECT_EQ(spread[1].info, FormatText(LoadResourceString(1182), 1u, 8u));
    }
    // A game counts as one while it descends from the launcher, and not after it has ended:
    // the next time rules are judged, performance mode ends.
    {
        SCOPED_TRACE("performance mode through a launcher that ended");
        Fresh();
        Start();
        Spawn(100, L"steam.exe", 4);
        Spawn(200, L"game.exe", 100);
        Cycles(1);
        ASSERT_TRUE(loop_->Power().PerformanceModeActive());
        machine().EndProcess(100);
        Cycles(1);
        Spawn(300, L"notepad.exe", 4);  // rules are judged again
        Cycles(1);
        EXPECT_FALSE(loop_->Power().PerformanceModeActive());
    }
    // The launcher has no name in its first snapshot; the engine learns of it a cycle later.
    {
        SCOPED_TRACE("performance mode through a launcher named late");
        Fresh();
        Start();
        sim::SimProcess& launcher = Spawn(100, L"steam.exe", 4);
        launcher.imageName.clear();
        Spawn(200, L"game.exe", 100);
        Cycles(1);
        ASSERT_EQ(loop_->Processes().Find(100), nullptr);
        ASSERT_FALSE(loop_->Power().PerformanceModeActive());
        launcher.imageName = L"steam.exe";
        Cycles(1);
        EXPECT_TRUE(loop_->Power().PerformanceModeActive());
    }
    // A child of a process named late is closed once its parent is known.
    {
        SCOPED_TRACE("a disallowed rule on the name of a parent named late");
        Fresh();
        // The parent's name is a field of the expression subject.
        Start({{L"DisallowedProcesses", L"/\\x2cinstaller\\.exe\\x2c\\x2c\\x2c\\x2c\\x2c/"}});
        sim::SimProcess& installer = Spawn(100, L"installer.exe", 4);
        installer.imageName.clear();
        sim::SimProcess& helper = Spawn(200, L"helper.exe", 100);
        Cycles(1);
        ASSERT_FALSE(helper.ended);
        installer.imageName = L"installer.exe";
        Cycles(1);
        EXPECT_TRUE(helper.ended);
        EXPECT_FALSE(installer.ended);
    }
    // The parent ends and its id goes to a newcomer: the child has no parent any more, and a
    // rule on the newcomer's children does not take it.
    {
        SCOPED_TRACE("a parent id taken by a newcomer");
        Fresh();
        Start({{L"DefaultPriorities", L"/\\x2cupdater\\.exe\\x2c\\x2c\\x2c\\x2c\\x2c/,Idle"}});
        Spawn(100, L"shell.exe", 4);
        sim::SimProcess& child = Spawn(200, L"tool.exe", 100);
        Cycles(1);
        machine().EndProcess(100);
        Cycles(1);
        Spawn(100, L"updater.exe", 4);
        Cycles(1);
        EXPECT_EQ(loop_->Tree().ParentOf(200), 0u);
        EXPECT_EQ(child.priorityClass, platform::kNormalPriorityClass);
    }
}

// The tree on its own: a parent learned of late is linked, even one that could not be opened
// when its child was added; an id taken by a newcomer is never the parent of an older process;
// and every process below a change is reported once it is asked for.
TEST_F(AncestryScenario, TheTreeComparesCreationTimesWheneverItAnswers) {
    machine().AddProcess(10, L"parent.exe").canOpen = false;
    machine().AdvanceClock(100);
    machine().AddProcess(20, L"child.exe");
    machine().AddProcess(30, L"grandchild.exe");
    machine().AdvanceClock(100);
    ParentTree tree;
    tree.AddProcess(20, L"child.exe", 10);
    tree.AddProcess(30, L"grandchild.exe", 20);
    EXPECT_EQ(tree.ParentOf(20), 0u);  // 10 could not be opened: no parent yet
    tree.TakeChangedAncestry();

    tree.AddProcess(10, L"parent.exe", 4, machine().FindProcess(10)->createTime);
    EXPECT_EQ(tree.ParentOf(20), 10u);
    EXPECT_EQ(tree.NameOf(tree.ParentOf(20)), L"parent.exe");
    auto changed = tree.TakeChangedAncestry();
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::uint32_t>{20, 30}));
    // Only 20's own parent changed; 30's is still 20.
    EXPECT_EQ(tree.TakeChangedParents(), (std::vector<std::uint32_t>{20}));

    tree.RemoveProcess(10);
    changed = tree.TakeChangedAncestry();
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::uint32_t>{20, 30}));
    EXPECT_EQ(tree.TakeChangedParents(), (std::vector<std::uint32_t>{20}));
    EXPECT_EQ(tree.ParentOf(20), 10u);  // still named, without a name
    EXPECT_EQ(tree.NameOf(10), L"");

    machine().EndProcess(10);
    machine().AdvanceClock(100);
    machine().AddProcess(10, L"newcomer.exe");
    tree.AddProcess(10, L"newcomer.exe", 4);
    EXPECT_EQ(tree.ParentOf(20), 0u);
    EXPECT_TRUE(tree.ChildrenOf(10).empty());
    changed = tree.TakeChangedAncestry();
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::uint32_t>{20, 30}));
    tree.RemoveProcess(10);
    EXPECT_EQ(tree.ParentOf(20), 0u);
}

// Random rules in every family that can look at a parent, random process trees that come and
// go (reused ids, names and paths read late, ancestors ending), and reloads: after every cycle,
// every answer a process kept equals the answer of a fresh look-up.
class KeptAnswersDifferential : public AncestryScenario {
  protected:
    std::mt19937 random_{20261210};

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool Chance(int percent) { return Below(100) < percent; }

    static constexpr const wchar_t* kNames[] = {L"launcher.exe", L"steam.exe",  L"app1.exe",
                                                L"app2.exe",     L"worker.exe", L"game.exe",
                                                L"shell.exe",    L"tool.exe"};

    std::wstring RandomPattern() {
        const std::wstring name = kNames[Below(std::size(kNames))];
        switch (Below(6)) {
            case 0:
                return name;
            case 1:
                return L"childof:" + name;
            case 2:
                return L"childof:" + name.substr(0, 3) + L"*";
            case 3:  // the parent's name in the expression subject
                return L"regex: \\x2c" + name.substr(0, name.size() - 4) +
                       L"\\.exe\\x2c\\x2c\\x2c\\x2c\\x2c";
            case 4:  // no parent at all: the parent id field is 0
                return L"/^\\d+\\x2c[^\\x2c]*\\x2c[^\\x2c]*\\x2c[^\\x2c]*\\x2c0\\x2c/";
            default:
                return name.substr(0, 2) + L"*";
        }
    }
    std::wstring RandomList(const std::wstring& separator, const std::wstring& value) {
        std::wstring list;
        const int count = 1 + Below(4);
        for (int i = 0; i < count; ++i) {
            list += (i == 0 ? L"" : L",") + RandomPattern() + separator + value;
        }
        return list;
    }
    Keys RandomRules() {
        Keys keys;
        keys[L"DefaultPriorities"] = RandomList(L",", L"Below Normal");
        keys[L"DefaultAffinitiesEx"] = RandomList(L",", L"0,0-3");
        keys[L"CPUSets"] = RandomList(L",", L"(0/0-1)");
        keys[L"DefaultIOPriorities"] = RandomList(L",", L"1");
        keys[L"DefaultMemoryPriorities"] = RandomList(L",", L"3");
        keys[L"EfficiencyMode"] = RandomList(L",", L"1");
        keys[L"InstanceManagedCPUAffinities"] = RandomList(L";", L"0;0;0.00;0;N");
        keys[L"AllowedProcesses"] = RandomList(L"", L"");
        keys[L"ProhibitInternetExplorerExceptWhenAny"] = RandomList(L"", L"");
        keys[L"OocExclusions"] = RandomList(L"", L"");
        keys[L"ForegroundBoostExclusions"] = RandomList(L"", L"");
        keys[L"PowerSaver_Exclusions"] = RandomList(L"", L"");
        // Rare, so that the population is not closed away.
        keys[L"DisallowedProcesses"] = Chance(30) ? L"childof:tool.exe" : L"";
        return keys;
    }

    void Churn(std::vector<std::uint32_t>& late) {
        // Processes named or given a path late get them now.
        for (const std::uint32_t pid : late) {
            if (sim::SimProcess* process = machine().FindProcess(pid)) {
                if (process->imageName.empty()) {
                    process->imageName = kNames[pid % std::size(kNames)];
                }
                process->pathReadable = true;
            }
        }
        late.clear();
        const int events = Below(4);
        for (int i = 0; i < events; ++i) {
            // A small range of ids, so that they are taken again soon after they end.
            const auto pid = static_cast<std::uint32_t>(100 + 4 * Below(30));
            sim::SimProcess* existing = machine().FindProcess(pid);
            if (existing != nullptr && !existing->ended) {
                machine().EndProcess(pid);
                continue;
            }
            const auto parent = static_cast<std::uint32_t>(Chance(15) ? 4 : 100 + 4 * Below(30));
            sim::SimProcess& process = Spawn(pid, kNames[pid % std::size(kNames)], parent);
            if (Chance(15)) {
                process.imageName.clear();
                late.push_back(pid);
            } else if (Chance(15)) {
                process.pathReadable = false;
                late.push_back(pid);
            }
        }
    }

    // Every family's kept answer against a fresh one, for every record.
    void CompareEveryKeptAnswer(std::uint32_t cycle) {
        ControlLoop& loop = *loop_;
        EngineIdentity engine;
        CycleState state;
        FeatureContext context(loop.Settings(), loop.Log(), loop.Processes(), loop.Tree(), engine,
                               state);
        const ConfigSettings& settings = loop.Settings();
        using Lookup = std::function<std::wstring(const MatchFacts&)>;
        const auto text = [](const auto& found) {
            return found ? PatternText(*found) : std::wstring(L"(none)");
        };
        const auto yes = [](bool answer) { return std::wstring(answer ? L"yes" : L"no"); };
        const std::pair<const char*, Lookup> families[] = {
            {"priorities",
             [&](const MatchFacts& f) { return text(FindDefaultPriority(settings, f)); }},
            {"I/O priorities",
             [&](const MatchFacts& f) { return text(FindDefaultIoPriority(settings, f)); }},
            {"memory priorities",
             [&](const MatchFacts& f) { return text(FindDefaultMemoryPriority(settings, f)); }},
            {"CPU sets", [&](const MatchFacts& f) { return text(FindCpuSets(settings, f)); }},
            {"efficiency mode",
             [&](const MatchFacts& f) { return text(FindEfficiencyMode(settings, f)); }},
            {"affinities",
             [&](const MatchFacts& f) { return text(FindDefaultAffinity(settings, f)); }},
            {"balancer",
             [&](const MatchFacts& f) {
                 const auto found = FindInstanceBalancerRule(settings, f);
                 return found ? std::to_wstring(found->index) : std::wstring(L"(none)");
             }},
            {"allowed",
             [&](const MatchFacts& f) { return yes(MatchesAllowedProcesses(settings, f)); }},
            {"disallowed",
             [&](const MatchFacts& f) { return yes(MatchesDisallowedProcesses(settings, f)); }},
            {"exemptions",
             [&](const MatchFacts& f) {
                 return yes(MatchesInternetExplorerExemptions(settings, f));
             }},
            {"Levelon exclusions",
             [&](const MatchFacts& f) { return yes(MatchesOocExclusions(settings, f)); }},
            {"boost exclusions",
             [&](const MatchFacts& f) {
                 return yes(MatchesForegroundBoostExclusions(settings, f));
             }},
            {"power saver exclusions",
             [&](const MatchFacts& f) { return yes(MatchesPowerSaverExclusions(settings, f)); }},
        };
        for (auto& [pid, record] : loop.Processes()) {
            const MatchFacts kept = context.Facts(*record);
            MatchFacts fresh = kept;
            fresh.memo = nullptr;
            for (const auto& [family, lookup] : families) {
                ASSERT_EQ(lookup(kept), lookup(fresh))
                    << family << ", process " << pid << ", cycle " << cycle;
            }
            ASSERT_EQ(PowerAutomation::JudgeTrigger(context, *record),
                      loop.Power().Triggers(context, *record))
                << "performance mode, process " << pid << ", cycle " << cycle;
            ASSERT_EQ(JudgeExcludedByRules(context, *record), IsExcludedByRules(context, *record))
                << "Levelon exclusion, process " << pid << ", cycle " << cycle;
            record->matches.ReleaseSubject();
        }
    }
};

TEST_F(KeptAnswersDifferential, EveryKeptAnswerEqualsAFreshLookUpAfterEveryCycle) {
    // CV_ANCESTRY_CYCLES runs it longer by hand.
    const char* configured = std::getenv("CV_ANCESTRY_CYCLES");
    const int cycles = configured != nullptr ? std::atoi(configured) : 1500;
    Start(RandomRules());
    std::vector<std::uint32_t> late;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        Churn(late);
        if (Chance(3)) {
            WriteConfig(RandomRules());
            Reload();
        }
        ASSERT_TRUE(loop_->RunCycle());
        CompareEveryKeptAnswer(static_cast<std::uint32_t>(cycle));
        if (HasFatalFailure()) {
            return;
        }
    }
}

}  // namespace
}  // namespace cv
