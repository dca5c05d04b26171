#include <map>
#include <string>
#include <thread>
#include <vector>

#include "SimFixture.h"
#include "config/ConfigDocument.h"
#include "config/ConfigSettings.h"
#include "LookUpNow.h"
#include "config/ProcessMatch.h"
#include "processes/ParentTree.h"
#include "processes/ProcessRecord.h"

namespace cv {
namespace {

// A Chrome renderer run by alice, as the process table holds it.
struct Process {
    std::uint32_t pid = 4321;
    std::wstring name = L"chrome.exe";
    std::wstring path = L"c:\\apps\\chrome\\chrome.exe";
    std::wstring commandLine = L"\"c:\\apps\\chrome\\chrome.exe\" --type=renderer --lang=en";
    std::wstring user = L"alice";

    MatchFacts Facts(const ParentTree* parents = nullptr) const {
        return {pid, name, path, commandLine, user, parents};
    }
};

Process Named(std::wstring name, std::wstring user = L"alice") {
    Process process;
    process.name = std::move(name);
    process.path = L"c:\\apps\\" + process.name;
    process.commandLine = process.name;
    process.user = std::move(user);
    return process;
}

TEST(MatchPattern, Wildcards) {
    const std::wstring longText(30000, L'a');
    const struct {
        const wchar_t* pattern;
        std::wstring text;
        bool expected;
    } cases[] = {
        {L"chrome.exe", L"Chrome.EXE", true},
        {L"chrome", L"chrome.exe", false},  // anchored at both ends
        {L"*.exe", L"notepad.exe", true},
        {L"*.exe", L"notepad.com", false},
        {L"note*.exe", L"notepad.exe", true},
        {L"*pad*", L"notepad.exe", true},
        {L"a*", L"a", true},
        {L"*a", L"ab", false},
        {L"*ab", L"aab", true},  // the first 'a' after the star is not the one
        {L"*aab", L"aaab", true},
        {L"a*b*c", L"aXbYc", true},
        {L"a*b*c", L"aXcYb", false},
        {L"?otepad.exe", L"notepad.exe", true},
        {L"?otepad.exe", L"otepad.exe", false},
        {L"?", L"ab", false},
        {L"*?x", L"a?x", true},  // after a star, '?' is a literal
        {L"*?x", L"abx", false},
        {L"**x", L"a*x", true},  // and so is '*'
        {L"**x", L"abx", false},
        {L"*", L"anything at all", true},
        {L"*", L"", false},
        {L"", L"x", false},
        {L"abcdef", L"abc", false},
        {L"c:\\tools\\*", L"c:\\tools\\a.exe", true},
        {L"ÄPFEL.EXE", L"äpfel.exe", true},
        {L"a*a*a*a*a*a*b", longText, false},  // no backtracking blow-up
        {L"*a", longText, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchPattern(c.pattern, c.text), c.expected)
            << c.pattern << " / " << c.text.substr(0, 40);
    }
}

TEST(MatchPattern, Negation) {
    const struct {
        const wchar_t* pattern;
        const wchar_t* text;
        bool expected;
    } cases[] = {
        {L"!*.exe", L"system", true},         {L"!*.exe", L"calc.exe", false},
        {L"~notepad.exe", L"calc.exe", true}, {L"~notepad.exe", L"NOTEPAD.EXE", false},
        {L"!!calc.exe", L"calc.exe", true},   {L"~!calc.exe", L"notepad.exe", false},
        {L"!calc.exe", L"", false},  // an empty text never matches, negated or not
        {L"!", L"calc.exe", false},  // a negation of nothing is not "every process"
        {L"~~", L"calc.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchPattern(c.pattern, c.text), c.expected) << c.pattern << " / " << c.text;
    }
}

// Negation across every fact a list compares: the positive form must match none of them.
TEST(MatchRuleNegation, AppliesToNamePathAndCommandLineTogether) {
    Process notepad = Named(L"notepad.exe");
    notepad.path = L"c:\\windows\\notepad.exe";
    notepad.commandLine = L"notepad.exe c:\\notes.txt";
    Process renderer;
    Process browser;
    browser.commandLine = L"\"c:\\apps\\chrome\\chrome.exe\"";
    Process bobsCalc = Named(L"calc.exe", L"bob");
    const MatchVariant everything{true, true, UserFilter::kWild, CommandLineMatch::kWholePattern,
                                  false};
    const struct {
        const wchar_t* pattern;
        const Process* process;
        bool expected;
    } cases[] = {
        {L"~notepad.exe", &notepad, false},  // not through its path or command line either
        {L"~notepad.exe", &renderer, true},        {L"!*.exe", &notepad, false},
        {L"!*--type=renderer*", &renderer, false}, {L"!*--type=renderer*", &browser, true},
        {L"!c:\\windows\\*", &notepad, false},     {L"!c:\\windows\\*", &renderer, true},
        {L"~notepad.exe:bob", &bobsCalc, true},  // the user part stays a filter
        {L"~notepad.exe:alice", &bobsCalc, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchRule(c.pattern, everything, c.process->Facts()), c.expected)
            << c.pattern << " / " << c.process->name;
    }
}

TEST(MatchUserFilter, Split) {
    const struct {
        const wchar_t* pattern;
        const wchar_t* processPart;
        const wchar_t* userPart;
        bool found;
    } cases[] = {
        {L"game.exe:alice", L"game.exe", L"alice", true},
        {L"c:\\games\\x.exe", L"c:\\games\\x.exe", L"", false},  // a drive is no user
        {L"c:\\games\\x.exe:bob", L"c:\\games\\x.exe", L"bob", true},
        {L"*:\\app.exe", L"*", L"\\app.exe", true},
        {L"!c:\\games\\*", L"!c:\\games\\*", L"", false},
        {L"~c:\\games\\x.exe:bob", L"~c:\\games\\x.exe", L"bob", true},
        {L"a:b", L"a:b", L"", false},
        {L":ab", L"", L"ab", true},
        {L"x:", L"x:", L"", false},  // two characters are never split
        {L"x.exe:", L"x.exe", L"", true},
    };
    for (const auto& c : cases) {
        const UserFilterParts parts = SplitUserFilter(c.pattern);
        EXPECT_EQ(parts.processPart, c.processPart) << c.pattern;
        EXPECT_EQ(parts.userPart, c.userPart) << c.pattern;
        EXPECT_EQ(parts.hasUserPart, c.found) << c.pattern;
    }
}

TEST(MatchUserFilter, WildAndExactVariants) {
    const MatchVariant wild{false, false, UserFilter::kWild, CommandLineMatch::kWholePattern,
                            false};
    const MatchVariant exact{false, false, UserFilter::kExact, CommandLineMatch::kNever, false};
    Process game = Named(L"game.exe");
    // The command line holds the whole pattern, which must not rescue a failed user check.
    game.commandLine = L"game.exe:bob";
    const struct {
        const MatchVariant* variant;
        const wchar_t* pattern;
        const wchar_t* user;
        bool expected;
    } cases[] = {
        {&wild, L"game.exe:alice", L"alice", true},
        {&wild, L"game.exe:alice", L"ALICE", true},
        {&wild, L"game.exe:alice", L"bob", false},
        {&wild, L"game.exe:alice", L"", true},  // no user known: the name decides
        {&wild, L"game.exe:a*", L"anna", true},
        {&wild, L"game.exe:a*", L"bob", false},
        {&wild, L"game.exe:bob", L"alice", false},
        {&wild, L"other.exe:alice", L"alice", false},
        {&exact, L"game.exe:alice", L"Alice", true},
        {&exact, L"game.exe:alice", L"bob", false},
        {&exact, L"game.exe:alice", L"", false},
        {&exact, L"game.exe:a*", L"anna", false},
        {&exact, L"game.exe", L"", true},
    };
    for (const auto& c : cases) {
        game.user = c.user;
        EXPECT_EQ(MatchRule(c.pattern, *c.variant, game.Facts()), c.expected)
            << c.pattern << " / user " << c.user;
    }
}

TEST(MatchRegex, Extraction) {
    const struct {
        const wchar_t* pattern;
        std::optional<std::wstring> expected;
    } cases[] = {
        {L"regex: ^\\d+,system,", L"^\\d+,system,"},
        {L"regex:^\\d+,system,", L"\\d+,system,"},  // seven characters go, not six
        {L"  REGEX: Chrome", L"chrome"},
        {L"regex: \\D+", L"\\d+"},  // lower-cased before it is taken out
        {L"/chrome\\.exe/i", L"chrome\\.exe"},
        {L"/abc", L"abc"},
        {L"//", L""},
        {L"regex:", L""},
        {L"chrome.exe", std::nullopt},
        {L"regex", std::nullopt},
        {L"c:/x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractRegex(c.pattern), c.expected) << c.pattern;
    }
}

class MatchTree : public test::SimTest {
  protected:
    // Processes are created in the order given, each a moment after the one before.
    void Add(std::uint32_t pid, const std::wstring& name, std::uint32_t parent) {
        machine().AddProcess(pid, name.empty() ? std::wstring(L"x.exe") : name);
        machine().AdvanceClock(10);
        tree.AddProcess(pid, name, parent);
    }
    ParentTree tree;
};

TEST_F(MatchTree, SubjectHoldsEveryFieldWithCommasEscaped) {
    Add(100, L"Explorer.exe", 0);
    Add(4321, L"chrome.exe", 100);
    Process chrome;
    chrome.user = L"doe, jane";
    chrome.commandLine = L"chrome.exe --a=1,2";
    EXPECT_EQ(BuildMatchSubject(chrome.Facts(&tree)),
              L"4321,doe\\, jane,chrome.exe,c:\\apps\\chrome\\chrome.exe,100,explorer.exe,,,,,"
              L"chrome.exe --a=1\\,2");
    EXPECT_EQ(BuildMatchSubject(chrome.Facts()),
              L"4321,doe\\, jane,chrome.exe,c:\\apps\\chrome\\chrome.exe,0,,,,,,"
              L"chrome.exe --a=1\\,2");

    // A parent created after the process is a reused id: no parent at all.
    machine().AddProcess(500, L"orphan.exe");
    machine().AdvanceClock(10);
    Add(600, L"newcomer.exe", 0);
    tree.AddProcess(500, L"orphan.exe", 600);
    const MatchFacts orphan{500, L"orphan.exe", {}, {}, {}, &tree};
    EXPECT_EQ(BuildMatchSubject(orphan), L"500,,orphan.exe,,0,,,,,,");
}

TEST_F(MatchTree, RegexSubject) {
    Add(100, L"explorer.exe", 0);
    Add(4321, L"chrome.exe", 100);
    Process chrome;
    chrome.commandLine = L"chrome.exe --type=renderer, --lang=en";
    const MatchFacts facts = chrome.Facts(&tree);
    const MatchVariant variant{true, true, UserFilter::kWild, CommandLineMatch::kWholePattern,
                               false};
    const struct {
        const wchar_t* pattern;
        bool expected;
    } cases[] = {
        {L"regex: ^\\d+,alice,", true},
        {L"regex:^\\d+,alice,", true},  // loses its '^' and still matches
        {L"regex: ^\\d+,bob,", false},
        {L"regex: ^\\d+,[^,]*,chrome\\.exe,", true},
        {L"regex: ^\\d+,[^,]*,firefox\\.exe,", false},
        {L"/,c:\\\\apps\\\\/", true},
        {L"regex: ,100,explorer\\.exe,", true},
        {L"regex: --type=renderer\\\\,", true},  // the command line's comma is escaped
        {L"regex: ^\\D", true},                  // became ^\d
        {L"/ALICE/", true},
        {L"regex: ^4321,alice,chrome\\.exe,c:\\\\apps\\\\chrome\\\\chrome\\.exe,100,"
         L"explorer\\.exe,,,,,chrome\\.exe --type",
         true},
        {L"/(/", false},     // does not compile
        {L"regex:", false},  // empty: would otherwise match everything
        {L"//", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchRule(c.pattern, variant, facts), c.expected) << c.pattern;
    }
}

TEST_F(MatchTree, ChildOf) {
    Add(100, L"explorer.exe", 0);
    Add(200, L"cmd.exe", 100);
    Add(300, L"conhost.exe", 200);
    Add(400, L"boinc.exe", 100);
    Add(500, L"boinc_wrapper.exe", 400);
    Add(600, L"conhost.exe", 400);
    Add(700, L"worker.exe", 400);
    Add(800, L"", 100);  // no recorded name: skipped over
    Add(900, L"game.exe", 800);
    // Two processes created in the same moment that name each other: a loop.
    machine().AddProcess(1000, L"a.exe");
    machine().AddProcess(1001, L"b.exe");
    tree.AddProcess(1000, L"a.exe", 1001);
    tree.AddProcess(1001, L"b.exe", 1000);

    const struct {
        const wchar_t* pattern;
        std::uint32_t pid;
        bool expected;
    } cases[] = {
        {L"childof:explorer.exe", 300, true},  // grandchild
        {L"childof:explorer.exe", 200, true},
        {L"childof:explorer.exe", 100, false},  // not its own child
        {L"childof:cmd.exe", 300, true},
        {L"childof:cmd.exe", 200, false},
        {L"childof: explorer.exe", 300, true},
        {L"CHILDOF:Explorer.EXE", 300, true},
        {L"childof:e*", 300, true},
        {L"childof:boinc.exe", 700, true},
        {L"childof:boinc.exe", 600, false},  // BOINC's console hosts and wrappers are left alone
        {L"childof:boinc.exe", 500, false},
        {L"childof:explorer.exe", 900, true},  // through the unnamed one
        {L"childof:!explorer.exe", 700, false},
        {L"childof:!cmd.exe", 700, true},
        {L"childof:zzz.exe", 1000, false},  // the loop ends
        {L"childof:b.exe", 1000, true},
        {L"x childof:explorer.exe", 300, false},  // only a prefix makes it a parent rule
        {L"childof:", 300, false},
    };
    for (const auto& c : cases) {
        const std::wstring name = tree.NameOf(c.pid);
        const MatchFacts facts{c.pid, name, {}, {}, {}, &tree};
        EXPECT_EQ(MatchRule(c.pattern, kInstanceBalancerVariant, facts), c.expected)
            << c.pattern << " / " << c.pid;
    }
    const MatchFacts withoutTree{300, L"conhost.exe", {}, {}, {}, nullptr};
    EXPECT_FALSE(MatchRule(L"childof:explorer.exe", kInstanceBalancerVariant, withoutTree));
}

TEST_F(MatchTree, ChildOfLooksAtMost256StepsBeyondTheParent) {
    Add(1, L"root.exe", 0);
    for (std::uint32_t pid = 2; pid <= 300; ++pid) {
        Add(pid, L"link.exe", pid - 1);
    }
    const auto matches = [&](std::uint32_t pid) {
        const MatchFacts facts{pid, L"link.exe", {}, {}, {}, &tree};
        return MatchRule(L"childof:root.exe", kInstanceBalancerVariant, facts);
    };
    EXPECT_TRUE(matches(258));   // root is the parent's 256th ancestor
    EXPECT_FALSE(matches(259));  // one step too far
}

// Which facts each list compares, with the settings that decide it.
TEST_F(MatchTree, ListVariants) {
    ConfigSettings paths;
    paths.ProcessDefaults.MatchWildcardsToPathnames = true;
    paths.ProcessDefaults.MatchOnCommandLine = false;
    paths.OutOfControlProcessRestraint.MatchExclusionsByPathnameToo = false;
    ConfigSettings commandLines;
    commandLines.ProcessDefaults.MatchWildcardsToPathnames = false;
    commandLines.ProcessDefaults.MatchOnCommandLine = true;
    commandLines.OutOfControlProcessRestraint.MatchExclusionsByPathnameToo = true;

    const Process renderer;
    Process anonymous;
    anonymous.user.clear();
    const wchar_t* const kPath = L"c:\\apps\\*";
    const wchar_t* const kCommandLine = L"*--type=renderer*";
    const struct {
        const char* list;
        MatchVariant variant;
        const wchar_t* pattern;
        const Process* process;
        bool expected;
    } cases[] = {
        {"DefaultPriorities", DefaultRulesVariant(paths), kPath, &renderer, true},
        {"DefaultPriorities", DefaultRulesVariant(commandLines), kPath, &renderer, false},
        {"DefaultPriorities", DefaultRulesVariant(paths), kCommandLine, &renderer, true},
        {"DefaultPriorities", DefaultRulesVariant(paths), L"*--type=renderer*:bob", &renderer,
         false},  // the whole pattern, user part included
        {"DefaultPriorities", DefaultRulesVariant(paths), L"chrome.exe:bob", &anonymous, true},
        {"DefaultPriorities", DefaultRulesVariant(paths), L"chrome.exe \"c:*", &renderer, true},
        {"DefaultPriorities", DefaultRulesVariant(paths),
         L"\"c:\\apps\\chrome\\chrome.exe\" --type=*", &renderer, true},  // the command line alone
        {"DefaultPriorities", DefaultRulesVariant(paths), L"regex:renderer", &renderer, true},
        {"DefaultAffinitiesEx", DefaultAffinityVariant(paths), kCommandLine, &renderer, false},
        {"DefaultAffinitiesEx", DefaultAffinityVariant(commandLines), kCommandLine, &renderer,
         true},
        {"DefaultAffinitiesEx", DefaultAffinityVariant(commandLines), L"*--type=renderer*:bob",
         &renderer, true},  // the process part only
        {"DefaultAffinitiesEx", DefaultAffinityVariant(paths), kPath, &renderer, true},
        {"DefaultAffinitiesEx", DefaultAffinityVariant(paths), L"chrome.exe:alice", &anonymous,
         false},
        {"OocExclusions", OocExclusionsVariant(paths), kPath, &renderer, false},
        {"OocExclusions", OocExclusionsVariant(commandLines), kPath, &renderer, true},
        {"OocExclusions", OocExclusionsVariant(paths), kCommandLine, &renderer, false},
        {"OocExclusions", OocExclusionsVariant(commandLines), kCommandLine, &renderer, true},
        {"CPULimitRules", kCpuLimitVariant, kPath, &renderer, true},
        {"CPULimitRules", kCpuLimitVariant, kCommandLine, &renderer, true},
        {"CPULimitRules", kCpuLimitVariant, L"chrome.exe:bob", &renderer, false},
        {"WatchdogRules2", kWatchdogVariant, kPath, &renderer, false},
        {"WatchdogRules2", kWatchdogVariant, kCommandLine, &renderer, false},
        {"WatchdogRules2", kWatchdogVariant, L"chrome.exe:alice", &renderer, true},
        {"WatchdogRules2", kWatchdogVariant, L"chrome.exe:a*", &renderer, false},
        {"WatchdogRules2", kWatchdogVariant, L"regex:renderer", &renderer, true},
        {"InstanceManagedCPUAffinities", kInstanceBalancerVariant, kPath, &renderer, true},
        {"InstanceManagedCPUAffinities", kInstanceBalancerVariant, kCommandLine, &renderer, false},
        {"InstanceManagedCPUAffinities", kInstanceBalancerVariant, L"chrome.exe:alice", &renderer,
         false},  // no user filter: the entry is one name pattern
        {"InstanceManagedCPUAffinities", kInstanceBalancerVariant, L"regex:renderer", &renderer,
         true},
        {"ForegroundBoostExclusions", kNameAndUserVariant, L"chrome.exe:alice", &renderer, true},
        {"ForegroundBoostExclusions", kNameAndUserVariant, L"chrome.exe:bob", &renderer, false},
        {"ForegroundBoostExclusions", kNameAndUserVariant, L"chrome.exe:bob", &anonymous, true},
        {"ForegroundBoostExclusions", kNameAndUserVariant, kPath, &renderer, false},
        {"ForegroundBoostExclusions", kNameAndUserVariant, L"regex:chrome", &renderer, false},
        {"DisableThreadPriorityBoost", kNameOnlyVariant, L"chrome.*", &renderer, true},
        {"DisableThreadPriorityBoost", kNameOnlyVariant, L"chrome.exe:alice", &renderer, false},
        {"DisableThreadPriorityBoost", kNameOnlyVariant, kCommandLine, &renderer, false},
        {"DisableThreadPriorityBoost", kNameOnlyVariant, L"/chrome/", &renderer, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchRule(c.pattern, c.variant, c.process->Facts()), c.expected)
            << c.list << ": " << c.pattern << " / user " << c.process->user;
    }
}

class MatchLookups : public test::SimTest {
  protected:
    ConfigSettings settings;
    Process renderer;
};

TEST_F(MatchLookups, FirstMatchingRuleWinsAndIsCopied) {
    settings.ProcessDefaults.DefaultPriorities = {
        {{L"firefox.exe"}, 64}, {{L"chrome.exe"}, 16384}, {{L"*.exe"}, 128}};
    const auto rule = FindDefaultPriority(settings, renderer.Facts());
    ASSERT_TRUE(rule.has_value());
    EXPECT_EQ(rule->priorityClass, 16384u);
    // The copy outlives a reload of the list.
    settings.ProcessDefaults.DefaultPriorities.clear();
    EXPECT_EQ(rule->pattern.text, L"chrome.exe");
    EXPECT_FALSE(FindDefaultPriority(settings, renderer.Facts()).has_value());

    settings.ProcessDefaults.DefaultPriorities = {{{L"*"}, 64}};
    Process unnamed = renderer;
    unnamed.name.clear();
    EXPECT_FALSE(FindDefaultPriority(settings, unnamed.Facts()).has_value());
}

TEST_F(MatchLookups, EachListAnswersThroughItsLookup) {
    settings.ProcessDefaults.DefaultIOPriorities = {{{L"chrome.exe"}, 1}};
    settings.ProcessDefaults.DefaultMemoryPriorities = {{{L"chrome.exe"}, 2}};
    settings.ProcessAllowances.EfficiencyMode = {{{L"chrome.exe"}, 1}};
    settings.ProcessDefaults.CPUSets = {{{L"chrome.exe"}, {GroupAffinity{}}}};
    settings.ProcessDefaults.DefaultAffinitiesEx = {{{L"chrome.exe"}, {}, 5000}};
    settings.ProcessAllowances.CPULimitRules = {{{L"chrome.exe"}, 25, 0, 1, 0}};
    settings.ProcessAllowances.ProcessThrottles = {{{L"firefox.exe"}, 3}, {{L"chrome.exe"}, 5}};
    settings.ProcessAllowances.OneTimeProcessThrottles = {{{L"chrome.exe"}, 1, 7},
                                                          {{L"chrome.exe"}, 4321, 9}};
    settings.ProcessAllowances.AllowedProcesses = {{L"chrome.exe"}};
    settings.ProcessAllowances.DisallowedProcesses = {{L"*.exe"}};
    settings.AdvancedRules.ProhibitInternetExplorerExceptWhenAny = {{L"chrome.exe"}};
    settings.OutOfControlProcessRestraint.OocExclusions = {{L"zzz.exe"}, {L"chrome.exe"}};
    settings.OutOfControlProcessRestraint.OocHardCodedExclusionOverrides = {{L"chrome.exe"}};
    settings.AdvancedRules.ProcessorGroupExtended = {{L"Chrome.exe"}};
    settings.ForegroundBoosting.ForegroundBoostExclusions = {{L"chrome.exe:alice"}};
    settings.PowerSaver.PowerSaver_Exclusions = {{L"chrome.exe:bob"}};
    settings.ProcessDefaults.DisableThreadPriorityBoost = {{L"chrome*"}};
    settings.PowerManagement.Display = {{L"chrome.exe"}};
    settings.PowerManagement.PC = {};

    const MatchFacts facts = renderer.Facts();
    EXPECT_EQ(FindDefaultIoPriority(settings, facts)->value, 1);
    EXPECT_EQ(FindDefaultMemoryPriority(settings, facts)->value, 2);
    EXPECT_EQ(FindEfficiencyMode(settings, facts)->value, 1);
    EXPECT_EQ(FindCpuSets(settings, facts)->sets.size(), 1u);
    EXPECT_EQ(FindDefaultAffinity(settings, facts)->delayMs, 5000u);
    EXPECT_EQ(FindCpuLimitRule(settings, facts)->processors, 1u);
    EXPECT_EQ(FindThrottleLevel(settings, facts), 5);
    EXPECT_EQ(FindOneTimeThrottleLevel(settings, facts), 9);  // only this very process's rule
    EXPECT_TRUE(MatchesAllowedProcesses(settings, facts));
    EXPECT_TRUE(MatchesDisallowedProcesses(settings, facts));
    EXPECT_TRUE(MatchesInternetExplorerExemptions(settings, facts));
    EXPECT_TRUE(MatchesOocExclusions(settings, facts));
    EXPECT_TRUE(MatchesOocHardCodedExclusionOverrides(settings, facts));
    EXPECT_TRUE(MatchesProcessorGroupExtended(settings, facts));
    EXPECT_TRUE(MatchesForegroundBoostExclusions(settings, facts));
    EXPECT_FALSE(MatchesPowerSaverExclusions(settings, facts));
    EXPECT_TRUE(MatchesDisableThreadPriorityBoost(settings, facts));
    EXPECT_TRUE(MatchesPreventDisplaySleep(settings, facts));
    EXPECT_FALSE(MatchesPreventSystemSleep(settings, facts));

    Process other = Named(L"other.exe");
    other.pid = 1;
    EXPECT_FALSE(FindDefaultIoPriority(settings, other.Facts()).has_value());
    EXPECT_FALSE(FindThrottleLevel(settings, other.Facts()).has_value());
    EXPECT_FALSE(FindOneTimeThrottleLevel(settings, other.Facts()).has_value());
    EXPECT_FALSE(MatchesAllowedProcesses(settings, other.Facts()));
}

TEST_F(MatchLookups, WatchdogSearchResumesAfterEachMatch) {
    WatchdogRule rule;
    auto& rules = settings.AdvancedRules.WatchdogRules2;
    for (const wchar_t* pattern : {L"chrome.exe", L"firefox.exe", L"chrome.exe:alice",
                                   L"chrome.exe:bob", L"regex:renderer"}) {
        rule.Pattern.text = pattern;
        rules.push_back(rule);
    }
    std::vector<std::size_t> found;
    for (std::size_t from = 0;;) {
        const auto next = FindNextWatchdogRule(settings, renderer.Facts(), from);
        if (!next) {
            break;
        }
        EXPECT_EQ(next->rule.Pattern.text, rules[next->index].Pattern.text);
        found.push_back(next->index);
        from = next->index + 1;
    }
    EXPECT_EQ(found, (std::vector<std::size_t>{0, 2, 4}));
}

TEST_F(MatchLookups, SortedContainersAreWalkedInOrder) {
    auto& balancer = settings.ProcessAllowances.InstanceManagedCPUAffinities;
    balancer[L"zz*"] = {{L"zz*"}, 1, 2, 0, 0, false};
    balancer[L"chrome*"] = {{L"chrome*"}, 0, 4, 0, 0, false};
    balancer[L"c*"] = {{L"c*"}, 0, 8, 0, 0, false};
    const auto rule = FindInstanceBalancerRule(settings, renderer.Facts());
    ASSERT_TRUE(rule.has_value());
    EXPECT_EQ(rule->index, 0u);  // "c*" sorts first
    EXPECT_EQ(rule->rule.processorsPerInstance, 8);

    const NameSet set = {{L"c*"}, {L"b*"}, {L"chrome.exe"}};
    EXPECT_EQ(FindMatchingRule(set, kCpuLimitVariant, renderer.Facts()), 1u);
}

TEST_F(MatchLookups, PowerSchemesByNameBeforePath) {
    PlanGuid byPath;
    byPath.data1 = 1;
    PlanGuid byName;
    byName.data1 = 2;
    PlanGuid others;
    others.data1 = 3;
    auto& rules = settings.ProcessDefaults.DefaultPowerSchemes;
    rules = {{{L"c:\\apps\\*"}, byPath}, {{L"chrome.exe"}, byName}};
    EXPECT_EQ(FindPowerScheme(settings, renderer.Facts()), byName);
    Process tool = Named(L"tool.exe");
    EXPECT_EQ(FindPowerScheme(settings, tool.Facts()), byPath);

    // "every program but chrome" must not take chrome in through its path.
    rules = {{{L"~chrome.exe"}, others}};
    EXPECT_FALSE(FindPowerScheme(settings, renderer.Facts()).has_value());
    EXPECT_EQ(FindPowerScheme(settings, tool.Facts()), others);
}

TEST_F(MatchLookups, FactsOfARecord) {
    ProcessRecord record;
    record.pid = 77;
    record.name = L"game.exe";
    record.path = L"c:\\games\\game.exe";
    record.user = L"alice";
    record.commandLine = L"game.exe -fast";
    ParentTree tree;
    const MatchFacts facts = FactsOf(record, &tree);
    EXPECT_EQ(facts.pid, 77u);
    EXPECT_EQ(facts.name, record.name);
    EXPECT_EQ(facts.path, record.path);
    EXPECT_EQ(facts.user, record.user);
    EXPECT_EQ(facts.commandLine, record.commandLine);
    EXPECT_EQ(facts.parents, &tree);
}

// Who started whom, as a test says; an id can be handed to a new process.
class ParentTable : public ParentLookup {
  public:
    std::map<std::uint32_t, std::pair<std::uint32_t, std::wstring>> processes;  // parent, name
    std::uint32_t ParentOf(std::uint32_t pid) const override {
        const auto it = processes.find(pid);
        return it == processes.end() ? 0 : it->second.first;
    }
    std::wstring NameOf(std::uint32_t pid) const override {
        const auto it = processes.find(pid);
        return it == processes.end() ? L"" : it->second.second;
    }
};

ProcessRecord Record(std::uint32_t pid, const std::wstring& name) {
    ProcessRecord record;
    record.pid = pid;
    record.name = name;
    record.path = L"c:\\games\\" + name;
    record.user = L"alice";
    record.commandLine = name;
    return record;
}

// A record's answer is kept while the rules stay: a process that starts later, even one that
// takes the id of an earlier one's parent, changes nothing for the others, while the children
// of the new process are matched as what they are.
TEST_F(MatchLookups, ARecordKeepsItsAnswerUntilTheRulesChange) {
    ParentTable parents;
    auto& balancer = settings.ProcessAllowances.InstanceManagedCPUAffinities;
    balancer[L"childof:launcher.exe"] = {{L"childof:launcher.exe"}, 0, 2, 0, 0, false};
    settings.ProcessDefaults.DefaultPriorities = {{{L"regex:,launcher\\.exe,"}, 64}};
    settings.NoteRulesChanged();
    // The game's parent, id 10, has ended and is not known.
    parents.processes[20] = {10, L"game.exe"};
    ProcessRecord game = Record(20, L"game.exe");
    EXPECT_FALSE(FindInstanceBalancerRule(settings, FactsOf(game, &parents)).has_value());
    EXPECT_FALSE(FindDefaultPriority(settings, FactsOf(game, &parents)).has_value());

    // A new launcher gets id 10 and starts a child of its own.
    parents.processes[10] = {4, L"launcher.exe"};
    parents.processes[30] = {10, L"child.exe"};
    ProcessRecord child = Record(30, L"child.exe");
    EXPECT_TRUE(FindInstanceBalancerRule(settings, FactsOf(child, &parents)).has_value());
    EXPECT_EQ(FindDefaultPriority(settings, FactsOf(child, &parents))->priorityClass, 64u);
    EXPECT_FALSE(FindInstanceBalancerRule(settings, FactsOf(game, &parents)).has_value());
    EXPECT_FALSE(FindDefaultPriority(settings, FactsOf(game, &parents)).has_value());

    // New rules are matched afresh, for the game too.
    settings.ProcessDefaults.DefaultPriorities = {{{L"*.exe"}, 128},
                                                  {{L"regex:,launcher\\.exe,"}, 16384}};
    settings.NoteRulesChanged();
    EXPECT_TRUE(FindInstanceBalancerRule(settings, FactsOf(game, &parents)).has_value());
    EXPECT_EQ(FindDefaultPriority(settings, FactsOf(game, &parents))->priorityClass, 128u);
    EXPECT_EQ(FindDefaultPriority(settings, FactsOf(child, &parents))->priorityClass, 128u);

    // A path that becomes known may match a rule it did not before.
    settings.ProcessDefaults.DefaultPriorities = {{{L"c:\\tools\\*"}, 128}};
    settings.ProcessDefaults.MatchWildcardsToPathnames = true;
    settings.NoteRulesChanged();
    ProcessRecord tool = Record(40, L"tool.exe");
    tool.path.clear();
    EXPECT_FALSE(FindDefaultPriority(settings, FactsOf(tool, &parents)).has_value());
    tool.path = L"c:\\tools\\tool.exe";
    EXPECT_FALSE(FindDefaultPriority(settings, FactsOf(tool, &parents)).has_value());
    tool.matches.Forget();
    EXPECT_EQ(FindDefaultPriority(settings, FactsOf(tool, &parents))->priorityClass, 128u);
}

// A loaded list carries each pattern prepared, its expression compiled: matching compiles
// nothing, however many distinct expressions there are, and the prepared form is no part of
// what the rule is.
TEST_F(MatchLookups, LoadedPatternsArePreparedOnce) {
    std::wstring rules;
    for (int i = 0; i < 5000; ++i) {
        rules += L"regex:^\\d+\\,alice\\,tool" + std::to_wstring(i) + L"\\.exe,High,";
    }
    rules += L"/--type=renderer/,Idle";
    ConfigDocument document;
    AddEntry(document, L"ProcessDefaults", L"DefaultPriorities", rules);
    settings.ReadSettings(document);
    ASSERT_EQ(settings.ProcessDefaults.DefaultPriorities.size(), 5001u);
    ClearRegexCache();
    const auto rule = FindDefaultPriority(settings, renderer.Facts());
    ASSERT_TRUE(rule.has_value());
    EXPECT_EQ(rule->priorityClass, 64u);
    EXPECT_EQ(RegexCacheSize(), 0u);

    Process tool = Named(L"tool4999.exe");
    EXPECT_EQ(FindDefaultPriority(settings, tool.Facts())->priorityClass, 128u);
    EXPECT_EQ(RegexCacheSize(), 0u);

    RulePattern plain{L"/--type=renderer/"};
    EXPECT_EQ(plain, rule->pattern);
    EXPECT_NE(rule->pattern.prepared, nullptr);
}

// Expressions are the user's and the subject may be a 32 K command line: nothing may crash
// or run away, and nothing that compiles badly may match.
TEST(MatchRegexSafety, HostileExpressions) {
    const std::wstring as(32000, L'a');
    const std::wstring asThenB = std::wstring(2000, L'a') + L"cb";
    const std::wstring commandLine =
        L"\"c:\\apps\\chrome.exe\" " + std::wstring(32000, L'x') + L" --type=renderer";
    const std::wstring doubledThenLong = L"xx" + std::wstring(32000, L'a') + L"y";
    const std::wstring tooDeep = std::wstring(40, L'(') + L"a" + std::wstring(40, L')');
    const struct {
        std::wstring expression;
        const std::wstring* subject;
        RegexOutcome expected;
    } cases[] = {
        // Runaway backtracking is searched again in one breadth-first pass: the exact answer.
        {L"(a+)+b", &as, RegexOutcome::kNotFound},
        {L"(a+)+b", &asThenB, RegexOutcome::kNotFound},
        {L"(.*a){20}b", &asThenB, RegexOutcome::kNotFound},
        {L"(.*a){3}c", &asThenB, RegexOutcome::kFound},
        {L"(a|aa)+$b", &asThenB, RegexOutcome::kNotFound},
        {L".*nomatch", &commandLine, RegexOutcome::kNotFound},
        {L".*renderer", &commandLine, RegexOutcome::kFound},  // deeper than the stack allows
        // Only back-references can be cut: runaway, or a subject beyond the depth-first limit.
        {L"(a+)+\\1b", &asThenB, RegexOutcome::kAborted},
        {L"(x)\\1.*y", &doubledThenLong, RegexOutcome::kAborted},
        {L"--type=renderer", &commandLine, RegexOutcome::kFound},
        {L"chrome\\.exe.*--type=renderer", &commandLine, RegexOutcome::kFound},
        {L"zzz", &commandLine, RegexOutcome::kNotFound},
        {L"(", &as, RegexOutcome::kUnusable},
        {L"[z-a]", &as, RegexOutcome::kUnusable},
        {L"", &as, RegexOutcome::kUnusable},
        {L"(?:a{1000}){1000}", &as, RegexOutcome::kUnusable},
        {L"a{99999999999999999999}", &as, RegexOutcome::kUnusable},
        // Numbers the library would overflow on while reading them (the sanitizer build sees it).
        {L"a{99999999999999999999", &as, RegexOutcome::kUnusable},
        {L"a{1,99999999999999999999", &as, RegexOutcome::kUnusable},
        {L"(a)\\99999999999999999999", &as, RegexOutcome::kUnusable},
        {L"a{1,999999999}", &as, RegexOutcome::kUnusable},
        {L"\\{12345678901\\}", &as, RegexOutcome::kNotFound},  // escaped braces hold no count
        {L"(?:|b){600}x", &as, RegexOutcome::kUnusable},
        {tooDeep, &as, RegexOutcome::kUnusable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SearchRegex(c.expression, *c.subject), c.expected) << c.expression.substr(0, 40);
    }
}

// Patterns users write, whose cost grows with a power of the subject's length, give the right
// answer on subjects of up to 2,000 characters, and look-aheads on command lines of 4,000.
TEST(MatchRegexSafety, PolynomialPatternsGiveTheRightAnswer) {
    std::wstring line = L"\"c:\\program files\\app\\app.exe\" --type=renderer";
    while (line.size() < 273) {
        line += L" --flag=value";
    }
    const std::wstring withBoth = line + L" zzz --qqq";
    std::wstring text;
    while (text.size() < 2000) {
        text += L"a quick brown fox jumps over a lazy dog, ";
    }
    const std::wstring doubled100 = L"xx" + std::wstring(100, L'a') + L"y";
    const std::wstring doubled1000 = L"xx" + std::wstring(1000, L'a') + L"y";
    const std::wstring doubled2000 = L"xx" + std::wstring(2000, L'a') + L"y";
    // A browser's renderer, as the subject holds it (commas escaped), of some 300 and 4,000
    // characters.
    std::wstring renderer =
        L"4321,alice,chrome.exe,c:\\program files\\google\\chrome\\application\\chrome.exe,"
        L"100,explorer.exe,,,,,\"c:\\program files\\google\\chrome\\application\\chrome.exe\" "
        L"--type=renderer --video-capture-use-gpu-memory-buffer --lang=en-us "
        L"--device-scale-factor=1 --num-raster-threads=4 --renderer-client-id=7 "
        L"--launch-time-ticks=123456789 --field-trial-handle=1234\\,i\\,5678\\,262144 "
        L"/prefetch:1";
    const std::wstring renderer300 = renderer;
    while (renderer.size() < 4000) {
        renderer += L" --enable-features=backforwardcache\\,webuitabstrip";
    }
    const std::wstring& renderer4000 = renderer;
    const struct {
        std::wstring expression;
        const std::wstring* subject;
        bool found;
    } cases[] = {
        {L".*zzz.*qqq", &line, false},
        {L".*zzz.*qqq", &withBoth, true},
        {L".*a.*q", &text, true},   // "quick"
        {L".*a.*#", &text, false},  // many a's, no '#'
        {L"(.*o){3}.*g,", &text, true},
        {L"(x)\\1.*y", &doubled100, true},
        {L"(x)\\1.*y", &doubled1000, true},
        {L"(x)\\1.*y", &doubled2000, true},
        {L"^.*dog, $", &text, true},
        // Look-aheads, each a search to the end, tried where the rest of the expression could
        // start.
        {L"(?!.*--type=renderer)--type=", &renderer300, false},
        {L"(?!.*--type=renderer)--type=", &renderer4000, false},
        {L"(?!.*--type=gpu)--type=", &renderer4000, true},
        {L"(?=.*gpu)--type=", &renderer300, true},
        {L"(?=.*gpu)--type=", &renderer4000, true},
        {L"(?=.*zzz)--type=", &renderer4000, false},
        {L"(?=.*prefetch)(?!.*--type=gpu)--type=\\w+", &renderer4000, true},
        {L"^(?=.*gpu)(?=.*chrome)", &renderer4000, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SearchRegex(c.expression, *c.subject),
                  c.found ? RegexOutcome::kFound : RegexOutcome::kNotFound)
            << c.expression << " on " << c.subject->size() << " characters";
    }
}

// The required literal and the start anchor are read from the expression's top level; what
// they cannot tell, the matcher decides.
TEST(MatchRegexSafety, ShortcutsNeverChangeAnAnswer) {
    const struct {
        const wchar_t* expression;
        const wchar_t* subject;
        bool found;
    } cases[] = {
        {L"a{0}b", L"b", true},        {L"ab?c", L"AC", true},      {L"colou?r", L"color", true},
        {L"x\\.y", L"X.Y", true},      {L"x\\.y", L"xzy", false},   {L"\\x41b", L"ab", true},
        {L"\\u0041b", L"Ab", true},    {L"a{2,3}b", L"aab", true},  {L"(?:a|b)c", L"BC", true},
        {L"a|zzz", L"a", true},        {L"^abc|x", L"zx", true},    {L"^abc", L"zabc", false},
        {L"[abc]+def", L"cdef", true}, {L"\\bfoo", L"a foo", true}, {L"(a)\\1b", L"aab", true},
        {L"(a)\\1b", L"ab", false},    {L"x(?=y)", L"xy", true},    {L"x(?!y)y", L"xy", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SearchRegex(c.expression, c.subject),
                  c.found ? RegexOutcome::kFound : RegexOutcome::kNotFound)
            << c.expression << " in " << c.subject;
    }
}

TEST(MatchRegexSafety, ACutExpressionIsReportedOnce) {
    ForgetCutExpressions();
    static_cast<void>(TakeCutExpressions());
    const std::wstring subject = std::wstring(2000, L'a') + L"cb";
    EXPECT_EQ(SearchRegex(L"(a+)+\\1b", subject), RegexOutcome::kAborted);
    EXPECT_EQ(SearchRegex(L"(a+)+\\1b", subject), RegexOutcome::kAborted);
    EXPECT_EQ(TakeCutExpressions(), (std::vector<std::wstring>{L"(a+)+\\1b"}));
    EXPECT_EQ(SearchRegex(L"(a+)+\\1b", subject), RegexOutcome::kAborted);
    EXPECT_TRUE(TakeCutExpressions().empty());
    EXPECT_FALSE(RegexCutRisk(L"(a+)+\\1b").empty());
    EXPECT_TRUE(RegexCutRisk(L"(a+)+b").empty());
    EXPECT_FALSE(RegexCutRisk(L"(?!.*--type=renderer)--type=").empty());
}

TEST(MatchRegexSafety, HostileRuleOnALongCommandLineMatchesNothing) {
    Process process;
    process.commandLine = std::wstring(32000, L'a');
    const MatchVariant variant{true, true, UserFilter::kWild, CommandLineMatch::kWholePattern,
                               false};
    EXPECT_FALSE(MatchRule(L"regex: (a+)+b", variant, process.Facts()));
    EXPECT_FALSE(MatchRule(L"regex: (a+)+\\1b", variant, process.Facts()));
    EXPECT_TRUE(MatchRule(L"regex: a{5}$", variant, process.Facts()));
}

TEST(MatchRegexCache, EachExpressionIsCompiledOnce) {
    ClearRegexCache();
    EXPECT_EQ(RegexCacheSize(), 0u);
    EXPECT_EQ(SearchRegex(L"chrome", L"chrome.exe"), RegexOutcome::kFound);
    EXPECT_EQ(SearchRegex(L"chrome", L"firefox.exe"), RegexOutcome::kNotFound);
    EXPECT_EQ(RegexCacheSize(), 1u);
    EXPECT_EQ(SearchRegex(L"(", L"x"), RegexOutcome::kUnusable);  // kept as unusable too
    EXPECT_EQ(SearchRegex(L"(", L"x"), RegexOutcome::kUnusable);
    EXPECT_EQ(RegexCacheSize(), 2u);
    ClearRegexCache();
    EXPECT_EQ(RegexCacheSize(), 0u);
}

// A full cache lets go of the expression used longest ago, one at a time.
TEST(MatchRegexCache, TheLeastRecentlyUsedExpressionGoesFirst) {
    ClearRegexCache();
    constexpr int kCapacity = 4096;
    for (int i = 0; i < kCapacity; ++i) {
        SearchRegex(L"x" + std::to_wstring(i), L"x");
        SearchRegex(L"x0", L"x");  // kept in use
    }
    EXPECT_EQ(RegexCacheSize(), static_cast<std::size_t>(kCapacity));
    SearchRegex(L"y", L"x");
    EXPECT_EQ(RegexCacheSize(), static_cast<std::size_t>(kCapacity));
    // "x1" went; "x0" is still there, so using it adds nothing.
    SearchRegex(L"x0", L"x");
    EXPECT_EQ(RegexCacheSize(), static_cast<std::size_t>(kCapacity));
    ClearRegexCache();
}

TEST(MatchRegexCache, SharedByThreads) {
    ClearRegexCache();
    const auto work = [](bool* allRight) {
        for (int i = 0; i < 200; ++i) {
            const std::wstring expression = L"^\\d+,x" + std::to_wstring(i % 20);
            *allRight &=
                SearchRegex(expression, L"1,x" + std::to_wstring(i % 20)) == RegexOutcome::kFound;
            *allRight &= SearchRegex(expression, L"1,y") == RegexOutcome::kNotFound;
        }
    };
    bool results[4] = {true, true, true, true};
    std::vector<std::thread> threads;
    for (bool& result : results) {
        threads.emplace_back(work, &result);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const bool result : results) {
        EXPECT_TRUE(result);
    }
    EXPECT_EQ(RegexCacheSize(), 20u);
}

}  // namespace
}  // namespace cv
