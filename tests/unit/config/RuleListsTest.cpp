#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "common/WideString.h"
#include "config/AffinityText.h"
#include "config/RuleListText.h"
#include "config/RuleLists.h"

namespace cv {
namespace {

std::vector<std::wstring> Texts(const NameList& names) {
    std::vector<std::wstring> texts;
    for (const auto& name : names) {
        texts.push_back(name.text);
    }
    return texts;
}

std::vector<std::wstring> Texts(const NameSet& names) {
    std::vector<std::wstring> texts;
    for (const auto& name : names) {
        texts.push_back(name.text);
    }
    return texts;
}

const PriorityClassNames kEnglishNames = {L"Real Time", L"High",         L"Above Normal",
                                          L"Normal",    L"Below Normal", L"Idle"};

TEST(RuleListText, NumberConversions) {
    EXPECT_EQ(ScanUnsigned(L"0x10", 0, UINT32_MAX), 16u);
    EXPECT_EQ(ScanUnsigned(L"010", 0, UINT32_MAX), 8u);
    EXPECT_EQ(ScanUnsigned(L" 7", 0, UINT32_MAX), 7u);
    EXPECT_EQ(ScanUnsigned(L"08", 0, UINT32_MAX), 0u);  // octal stops at the 8
    EXPECT_EQ(ScanUnsigned(L"0xg", 0, UINT32_MAX), 0u);
    EXPECT_EQ(ScanUnsigned(L"-1", 10, UINT32_MAX), 4294967295u);
    EXPECT_EQ(ScanUnsigned(L"99999999999", 10, UINT32_MAX), 4294967295u);
    EXPECT_EQ(ScanUnsigned(L"99999999999999999999999", 10, UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(ScanUnsigned(L"18446744073709551615", 10, UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(ScanUnsigned(L"ff", 16, UINT32_MAX), 255u);
    EXPECT_EQ(ScanUnsigned(L"0x0x10", 16, UINT32_MAX), 0u);
    EXPECT_FALSE(ScanUnsigned(L"", 10, UINT32_MAX));
    EXPECT_FALSE(ScanUnsigned(L"fast", 10, UINT32_MAX));
    EXPECT_FALSE(ScanUnsigned(L"-", 0, UINT32_MAX));

    // Unsigned fields convert as the INI document does: clamped to the signed range, the bits of
    // a negative value kept; and every value read is written in a form that reads back alike.
    EXPECT_EQ(DecimalToUnsigned(L"4294967295"), 2147483647u);
    EXPECT_EQ(DecimalToUnsigned(L"3000000000"), 2147483647u);
    EXPECT_EQ(DecimalToUnsigned(L"-1"), 4294967295u);
    EXPECT_EQ(DecimalToUnsigned(L"99999999999999"), 2147483647u);
    EXPECT_EQ(DecimalToUnsigned(L"12ms"), 12u);
    EXPECT_EQ(DecimalToUnsigned(L"x"), 0u);
    for (const std::uint32_t value : {0u, 7u, 2147483647u, 2147483648u, 4294967295u}) {
        EXPECT_EQ(DecimalToUnsigned(FormatUnsignedDecimal(value)), value) << value;
    }
    EXPECT_EQ(FormatUnsignedDecimal(4294967295u), L"-1");

    EXPECT_EQ(ScanDouble(L"25"), 25.0);
    EXPECT_EQ(ScanDouble(L" 12.5%"), 12.5);
    EXPECT_EQ(ScanDouble(L"-.5"), -0.5);
    EXPECT_EQ(ScanDouble(L"1e3"), 1000.0);
    EXPECT_EQ(ScanDouble(L"2e"), 2.0);
    EXPECT_FALSE(ScanDouble(L"nan"));
    EXPECT_FALSE(ScanDouble(L"."));
    EXPECT_FALSE(ScanDouble(L""));
}

TEST(RuleListText, EscapesSurviveSplittingAndWriting) {
    const auto pieces = SplitTokens(HideEscapes(L"a\\,b,,c\\;d;e\\", true), L",;");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(RestoreEscapes(pieces[0]), L"a,b");
    EXPECT_EQ(RestoreEscapes(pieces[1]), L"c;d");
    EXPECT_EQ(RestoreEscapes(pieces[2]), L"e\\");  // a lone backslash at the end stays
    EXPECT_EQ(EscapeName(L"a,b;c", false, false), L"a\\,b;c");
    EXPECT_EQ(EscapeName(L"a,b;c", true, false), L"a\\,b\\;c");
    EXPECT_EQ(EscapeName(L"c:\\x\\", false, true), L"c:\\x\\ ");
    EXPECT_EQ(AsciiLower(L"ABC\u00C4z"), L"abc\u00C4z");
}

TEST(AffinityText, ParsesAndFormats) {
    const struct {
        const wchar_t* text;
        std::uint64_t mask;
    } cases[] = {
        {L"0-3;5", 0x2F},
        {L"all", ~std::uint64_t{0}},
        {L"ALL", ~std::uint64_t{0}},
        {L"install", ~std::uint64_t{0}},  // "all" anywhere
        {L"70", 0},
        {L"63", std::uint64_t{1} << 63},
        {L"0-63", ~std::uint64_t{0}},
        {L"0-64", 0},
        {L"-3", 0},
        {L"3-1", 0},
        {L"x", 1},  // no digits: processor 0
        {L"1 ;2  ", 6},
        {L"", 0},
        {L";;", 0},
        {L"99999999999-2", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseAffinityText(c.text), c.mask) << ToUtf8(c.text);
    }
    EXPECT_EQ(FormatAffinityText(0x2F), L"0-3;5");
    EXPECT_EQ(FormatAffinityText(0), L"");
    EXPECT_EQ(FormatAffinityText(~std::uint64_t{0}), L"0-63");
    EXPECT_EQ(FormatAffinityText(0x8000000000000005), L"0;2;63");
    EXPECT_EQ(FormatAffinityText(0xC000000000000000), L"62-63");
    for (const std::uint64_t mask : {0x1ull, 0x2Full, 0xF0F0ull, 0x8000000000000001ull}) {
        EXPECT_EQ(ParseAffinityText(FormatAffinityText(mask)), mask);
    }
}

TEST(AffinityText, GroupsAndCpuSets) {
    EXPECT_EQ(ParseGroupAffinity(L"1/0-7"), (GroupAffinity{1, 0xFF}));
    EXPECT_EQ(ParseGroupAffinity(L"0-7"), (GroupAffinity{-1, 0xFF}));
    EXPECT_EQ(ParseGroupAffinity(L"x/2"), (GroupAffinity{0, 4}));
    EXPECT_EQ(FormatGroupAffinity({1, 0xFF}), L"1/0-7");
    EXPECT_EQ(FormatGroupAffinity({-1, 0xFF}), L"0-7");
    EXPECT_EQ(FormatGroupAffinity({2, 0}), L"2/");
    // Never empty, and it reads back as the same value.
    EXPECT_EQ(FormatGroupAffinity({-1, 0}), L"-1/");
    EXPECT_EQ(ParseGroupAffinity(L"-1/"), (GroupAffinity{-1, 0}));

    EXPECT_EQ(ParseCpuSetText(L"(0/0-1)(1/4)"), (std::vector<GroupAffinity>{{0, 0x3}, {1, 0x10}}));
    EXPECT_EQ(ParseCpuSetText(L"((2))"), (std::vector<GroupAffinity>{{-1, 0x4}}));
    EXPECT_EQ(ParseCpuSetText(L"0-3"), (std::vector<GroupAffinity>{{-1, 0xF}}));
    EXPECT_TRUE(ParseCpuSetText(L"()").empty());
    EXPECT_TRUE(ParseCpuSetText(L"").empty());
    EXPECT_EQ(FormatCpuSetText({{0, 0x3}, {-1, 0x10}}), L"(0/0-1)(4)");
}

TEST(RuleListNames, ReadingAndWritingPerFormat) {
    const struct {
        const char* what;
        NameListFormat format;
        const wchar_t* value;
        std::vector<std::wstring> entries;
        const wchar_t* written;
    } cases[] = {
        {"runs of separators give no entries",
         kDisallowedProcessesFormat,
         L"a.exe,,b.exe,",
         {L"a.exe", L"b.exe"},
         L"a.exe,b.exe"},
        {"escaped comma",
         kAllowedProcessesFormat,
         L"My\\, App.exe",
         {L"my, app.exe"},
         L"my\\, app.exe"},
        {"unescaped list takes the backslash literally",
         kCullmarkExclusionsFormat,
         L"a\\,B.exe",
         {L"a\\", L"b.exe"},
         L"a\\,b.exe"},
        {"case kept",
         kProhibitInternetExplorerFormat,
         L" Corp.EXE , Tool.exe",
         {L"Corp.EXE", L"Tool.exe"},
         L"Corp.EXE,Tool.exe"},
        {"lower-cased as live names are, beyond A to Z too",
         kDisplayFormat,
         L"\u00C4PP.EXE,C:\\\u041F\u0420\u041E\u0413\\APP.EXE",
         {L"\u00E4pp.exe", L"c:\\\u043F\u0440\u043E\u0433\\app.exe"},
         L"\u00E4pp.exe,c:\\\u043F\u0440\u043E\u0433\\app.exe"},
        {"unterminated escape", kAutomaticGamingModeFormat, L"game\\", {L"game\\"}, L"game\\ "},
        {"blank entries are dropped, as writing would",
         kForegroundBoostExclusionsFormat,
         L"a, ,b",
         {L"a", L"b"},
         L"a,b"},
        {"empty value", kPcFormat, L"", {}, L""},
    };
    for (const auto& c : cases) {
        NameList names;
        ReadNameList(c.value, c.format, names);
        EXPECT_EQ(Texts(names), c.entries) << c.what;
        EXPECT_EQ(WriteNameList(names, c.format), c.written) << c.what;
    }
}

TEST(RuleListNames, SetsAndDuplicates) {
    const NameSet set = ReadNameSet(L"b.exe, A.exe,a.exe,my\\,x", kOocExclusionsFormat);
    EXPECT_EQ(Texts(set), (std::vector<std::wstring>{L"a.exe", L"b.exe", L"my,x"}));
    EXPECT_EQ(WriteNameSet(set, kOocExclusionsFormat), L"a.exe,b.exe,my\\,x");
    const NameSet kept = ReadNameSet(L"Zeta.exe,alpha.exe,Zeta.exe", kProcessorGroupExtendedFormat);
    EXPECT_EQ(Texts(kept), (std::vector<std::wstring>{L"Zeta.exe", L"alpha.exe"}));

    NameList names = {{L"A.exe"}, {L""}, {L"b.exe"}, {L"a.EXE"}, {L""}, {L"B.exe"}};
    RemoveDuplicateNames(names);
    EXPECT_EQ(Texts(names), (std::vector<std::wstring>{L"A.exe", L"", L"b.exe", L""}));
    // The saver de-duplicates where the format says so, and leaves the list alone.
    const NameList twice = {{L"a.exe"}, {L"a.exe"}};
    EXPECT_EQ(WriteNameList(twice, kPowerSaverExclusionsFormat), L"a.exe");
    EXPECT_EQ(WriteNameList(twice, kForegroundBoostExclusionsFormat), L"a.exe,a.exe");
}

TEST(RuleListNames, NameEndingInBackslashDoesNotSwallowTheNextOne) {
    NameList names;
    ReadNameList(L"c:\\games\\ ,b.exe", kDisallowedProcessesFormat, names);
    ASSERT_EQ(Texts(names), (std::vector<std::wstring>{L"c:\\games\\", L"b.exe"}));
    NameList again;
    ReadNameList(WriteNameList(names, kDisallowedProcessesFormat), kDisallowedProcessesFormat,
                 again);
    EXPECT_EQ(again, names);
}

TEST(RuleListSemicolon, InstanceLimitsAndThrottles) {
    EXPECT_EQ(ReadInstanceLimits(L";3,a.exe;2,b.exe"),
              (std::vector<InstanceLimitRule>{{{L"a.exe"}, 2}}));
    EXPECT_EQ(ReadInstanceLimits(L" A.EXE ;x, b.exe;1;2"),
              (std::vector<InstanceLimitRule>{{{L"a.exe "}, 0}, {{L"b.exe"}, 1}}));
    EXPECT_EQ(WriteInstanceLimits({{{L"a.exe"}, 2}, {{L"B.exe"}, -1}}), L"a.exe;2,b.exe;-1");

    EXPECT_TRUE(ReadThrottles(L"a.exe;0").empty());
    EXPECT_TRUE(ReadThrottles(L"a.exe;-2,;5,c.exe").empty());
    EXPECT_EQ(ReadThrottles(L"a.exe;5"), (std::vector<ThrottleRule>{{{L"a.exe"}, 5}}));
    EXPECT_EQ(WriteThrottles({{{L"A.exe"}, 5}}), L"a.exe;5");

    const struct {
        const wchar_t* value;
        std::vector<OneTimeThrottleRule> rules;
    } oneTime[] = {
        {L"a.exe;10", {}},
        {L"a.exe;10;", {}},
        {L"a.exe;;3", {}},
        {L";10;3", {}},
        {L"a.exe;10;0", {}},
        {L"a.exe;10;3", {{{L"a.exe"}, 10, 3}}},
        {L"A.exe;x;2;9", {{{L"a.exe"}, 0, 2}}},
    };
    for (const auto& c : oneTime) {
        EXPECT_EQ(ReadOneTimeThrottles(c.value), c.rules) << ToUtf8(c.value);
    }
    EXPECT_EQ(WriteOneTimeThrottles({{{L"a.exe"}, 10, 3}, {{L"b.exe"}, 7, 1}}),
              L"a.exe;10;3,b.exe;7;1");
}

TEST(RuleListSemicolon, KeepRunning) {
    std::size_t missing = 0;
    const auto rules = ReadKeepRunning(
        L"app.exe;c:\\app\\app.exe, C:\\B.exe;-x\\;y\\,z;7;9, bad, c:\\c.exe;", &missing);
    EXPECT_EQ(missing, 1u);
    EXPECT_EQ(rules, (std::vector<KeepRunningRule>{{{L"app.exe"}, L"c:\\app\\app.exe", 0},
                                                   {{L"c:\\b.exe"}, L"-x;y,z", 7},
                                                   {{L"c:\\c.exe"}, L"", 0}}));
    const std::wstring written = WriteKeepRunning(rules);
    EXPECT_EQ(written, L"app.exe;c:\\app\\app.exe;0,c:\\b.exe;-x\\;y\\,z;7,c:\\c.exe;;0");
    EXPECT_EQ(ReadKeepRunning(written, nullptr), rules);

    // A command ending in a backslash keeps its separator.
    const std::vector<KeepRunningRule> folder = {{{L"c:\\a.exe"}, L"/dir c:\\data\\", 2}};
    const auto back = ReadKeepRunning(WriteKeepRunning(folder), &missing);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(Trim(back[0].command), L"/dir c:\\data\\");
    EXPECT_EQ(back[0].number, 2);
}

PowerPlanResolver TestPlans(bool available = true) {
    static const std::map<std::wstring, std::pair<PlanGuid, std::wstring>> plans = {
        {L"balanced", {{1, 0, 0, {}}, L"Balanced"}},
        {L"power saver", {{2, 0, 0, {}}, L"Power saver"}},
        {L"renamed", {{3, 0, 0, {}}, L"New name"}},
        {L"gone", {{4, 0, 0, {}}, L""}},
    };
    PowerPlanResolver resolver;
    resolver.findPlan = [](const std::wstring& name) -> std::optional<PlanGuid> {
        const auto it = plans.find(ToLower(name));
        if (it == plans.end()) {
            return std::nullopt;
        }
        return it->second.first;
    };
    resolver.planName = [](const PlanGuid& guid) -> std::optional<std::wstring> {
        for (const auto& [key, plan] : plans) {
            if (plan.first == guid && !plan.second.empty()) {
                return plan.second;
            }
        }
        return std::nullopt;
    };
    resolver.available = [available] { return available; };
    return resolver;
}

TEST(RuleListSemicolon, PowerSchemes) {
    std::size_t missing = 0;
    const auto rules =
        ReadPowerSchemes(L"A.exe;Balanced,nothing,c.exe;Unknown,d.exe;gone",
                         L"a.EXE;Power saver,b.exe;power saver", TestPlans(), &missing);
    EXPECT_EQ(missing, 1u);
    EXPECT_EQ(rules, (std::vector<PowerSchemeRule>{{{L"a.exe"}, {1, 0, 0, {}}},
                                                   {{L"d.exe"}, {4, 0, 0, {}}},
                                                   {{L"b.exe"}, {2, 0, 0, {}}}}));
    // Written with today's names; a plan without a name is left out.
    EXPECT_EQ(WritePowerSchemes(rules, TestPlans()), L"a.exe;balanced,b.exe;power saver");
    EXPECT_EQ(WritePowerSchemes(rules, TestPlans(false)), std::nullopt);
    EXPECT_EQ(WritePowerSchemes({}, TestPlans()), std::nullopt);
    EXPECT_TRUE(ReadPowerSchemes(L"a.exe;Balanced", L"", PowerPlanResolver{}, nullptr).empty());
}

TEST(RuleListSemicolon, InstanceBalancerAndCpuLimits) {
    const InstanceBalancerMap balancer = ReadInstanceBalancer(
        L" App.exe;1;2;50.5;3;Y , app.exe;0;4;25;2;no;extra, x\\,y.exe;1, ;;, z.exe;;;7");
    ASSERT_EQ(balancer.size(), 3u);
    EXPECT_EQ(balancer.at(L"app.exe"), (InstanceBalancerRule{{L"app.exe"}, 0, 4, 25.0f, 2, false}));
    EXPECT_EQ(balancer.at(L"x,y.exe"), (InstanceBalancerRule{{L"x,y.exe"}, 1, 0, 0, 0, false}));
    // Empty fields keep their places: the 7 is the CPU threshold.
    EXPECT_EQ(balancer.at(L"z.exe"), (InstanceBalancerRule{{L"z.exe"}, 0, 0, 7.0f, 0, false}));
    EXPECT_EQ(ReadInstanceBalancer(L"a.exe;1;2;3;4;yes").at(L"a.exe").alternate, true);
    EXPECT_EQ(WriteInstanceBalancer(balancer),
              L"app.exe;0;4;25.00;2;n,x\\,y.exe;1;0;0.00;0;n,z.exe;0;0;7.00;0;n");

    const auto limits = ReadCpuLimitRules(L"A.exe;25;0x10;010;7, b.exe;1;2;3, c\\,d;12.5;1;1;0;9");
    EXPECT_EQ(limits, (std::vector<CpuLimitRule>{{{L"a.exe"}, 25.0f, 16, 8, 7},
                                                 {{L"c,d"}, 12.5f, 1, 1, 0}}));
    EXPECT_EQ(WriteCpuLimitRules(limits), L"a.exe;25.00;16;8;7,c\\,d;12.50;1;1;0");
    // Huge numbers clamp instead of overflowing.
    const auto huge = ReadCpuLimitRules(L"a;1e60;99999999999;-1;0x1ffffffff");
    ASSERT_EQ(huge.size(), 1u);
    EXPECT_EQ(huge[0].timeOverMs, 4294967295u);
    EXPECT_EQ(huge[0].processors, 4294967295u);
    EXPECT_EQ(huge[0].durationMs, 4294967295u);
    EXPECT_GT(huge[0].threshold, 1e38f);
}

TEST(RuleListSemicolon, WatchdogRules) {
    const std::wstring eleven = L"a.exe;1;0;50;1000;0;0;1;-;-;-";
    EXPECT_TRUE(ReadWatchdogRules(eleven).empty());
    const auto rules = ReadWatchdogRules(
        L"A.EXE;1;0;50.126;1000;18446744073709551615;0;1;-;-;-;-,"
        L"b\\,c.exe; 8 ;1;512;-5;12;3;2;C:\\Tools\\Run.exe;/x\\,y;ignored;-;more");
    ASSERT_EQ(rules.size(), 2u);
    // The threshold is held as the file keeps it, with two decimals.
    EXPECT_EQ(rules[0], (WatchdogRule{{L"a.exe"}, 1, 0, 50.13, 1000, UINT64_MAX, 0, 1, L"", L""}));
    // A field beginning with "-" counts as empty; the whole value is lower-cased.
    EXPECT_EQ(rules[1],
              (WatchdogRule{{L"b,c.exe"}, 8, 1, 512, 0, 12, 3, 2, L"c:\\tools\\run.exe", L"/x,y"}));
    const std::wstring written = WriteWatchdogRules(rules);
    EXPECT_EQ(written,
              L"a.exe;1;0;50.13;1000;18446744073709551615;0;1;-;-;-;-,"
              L"b\\,c.exe;8;1;512.00;0;12;3;2;c:\\tools\\run.exe;/x\\,y;-;-");
    const auto again = ReadWatchdogRules(written);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1], rules[1]);
    EXPECT_EQ(again[0].Threshold, 50.13);

    WatchdogRule other = rules[1];
    other.Pattern.text = L"different.exe";
    other.Program = L"C:\\TOOLS\\RUN.EXE";
    EXPECT_TRUE(IsSameWatchdogRule(rules[1], other));
    other.Comparison = 1;
    EXPECT_FALSE(IsSameWatchdogRule(rules[1], other));
}

TEST(RuleListGrouped, PrioritiesAndValues) {
    EXPECT_EQ(ReadDefaultPriorities(L"A.exe,below normal,b.exe,Fast", kEnglishNames),
              (std::vector<PriorityRule>{{{L"a.exe"}, 16384}}));
    const struct {
        const wchar_t* name;
        std::optional<std::uint32_t> priorityClass;
    } names[] = {
        {L"-Idle", 64},      {L"Idle -", 64},     {L"Below-Normal", std::nullopt},
        {L"REAL TIME", 256}, {L"high", 128},      {L"Above Normal", 32768},
        {L"Normal", 32},     {L"", std::nullopt}, {L"Hoch", std::nullopt},
    };
    for (const auto& c : names) {
        EXPECT_EQ(ParsePriorityClassName(c.name, kEnglishNames), c.priorityClass) << ToUtf8(c.name);
    }
    const PriorityClassNames german = {
        L"Echtzeit", L"Hoch", L"H\u00F6her als normal", L"Normal", L"Niedriger als normal",
        L"Niedrig"};
    EXPECT_EQ(ParsePriorityClassName(L"hoch", german), 128u);
    EXPECT_EQ(ParsePriorityClassName(L"Idle", german), 64u);  // English always reads
    EXPECT_EQ(WriteDefaultPriorities({{{L"a.exe"}, 128}, {{L"b.exe"}, 5}}, german),
              L"a.exe,hoch,b.exe,error");
    // A language module without the names still writes readable names.
    EXPECT_EQ(WriteDefaultPriorities({{{L"a.exe"}, 16384}}, PriorityClassNames{}),
              L"a.exe,below normal");

    EXPECT_EQ(ReadDefaultIoPriorities(L"A.exe,0,b.exe,x,c.exe"),
              (std::vector<ValueRule>{{{L"a.exe"}, 0}, {{L"b.exe"}, 0}}));
    EXPECT_EQ(ReadDefaultMemoryPriorities(L"a.exe,0,b.exe,5"),
              (std::vector<ValueRule>{{{L"a.exe"}, 1}, {{L"b.exe"}, 5}}));
    EXPECT_EQ(WriteDefaultValueRules({{{L"A,b.exe"}, -3}}), L"a\\,b.exe,-3");

    const auto modes = ReadEfficiencyModes(L"Game\\;One.exe,1,b\\,c.exe,0");
    EXPECT_EQ(modes, (std::vector<ValueRule>{{{L"Game;One.exe"}, 1}, {{L"b,c.exe"}, 0}}));
    EXPECT_EQ(WriteEfficiencyModes(modes), L"Game\\;One.exe,1,b\\,c.exe,0");
}

TEST(RuleListGrouped, AffinitiesAndCpuSets) {
    const auto affinities = ReadDefaultAffinities(L"Old.exe,0-1,broken", L"game.exe,5000,1/0-3");
    EXPECT_EQ(affinities, (std::vector<AffinityRule>{{{L"old.exe"}, {-1, 0x3}, 0},
                                                     {{L"game.exe"}, {1, 0xF}, 5000}}));
    EXPECT_EQ(WriteDefaultAffinities(affinities), L"old.exe,0,0-1,game.exe,5000,1/0-3");

    const NamedAffinityMap named =
        ReadNamedAffinities(L"Half, 0-3, Other\\, Half,1/4-7, ,5, Half,all, lonely");
    EXPECT_EQ(named,
              (NamedAffinityMap{{L"Half", {-1, ~std::uint64_t{0}}}, {L"Other, Half", {1, 0xF0}}}));
    EXPECT_EQ(WriteNamedAffinities(named), L"Half,0-63,Other\\, Half,1/4-7");

    const auto sets = ReadCpuSets(L"A.exe,(0/0-1)(1/4),semi\\;colon.exe,(2),none.exe,()");
    EXPECT_EQ(sets, (std::vector<CpuSetRule>{{{L"a.exe"}, {{0, 0x3}, {1, 0x10}}},
                                             {{L"semi;colon.exe"}, {{-1, 0x4}}},
                                             {{L"none.exe"}, {}}}));
    EXPECT_EQ(WriteCpuSets(sets), L"a.exe,(0/0-1)(1/4),semi\\;colon.exe,(2),none.exe,()");
}

TEST(RuleListGrouped, OneEmptyFieldDoesNotShiftThePairsAfterIt) {
    // Values that would write as nothing: an affinity of no processors, a rule without CPU
    // sets, a pattern that trimmed to nothing.
    const auto affinities = ReadDefaultAffinities(L"", L"a.exe,0,70,b.exe,1,2");
    ASSERT_EQ(affinities.size(), 2u);
    EXPECT_EQ(ReadDefaultAffinities(L"", WriteDefaultAffinities(affinities)), affinities);

    const NamedAffinityMap named = {{L"none", {-1, 0}}, {L"two", {-1, 4}}};
    EXPECT_EQ(ReadNamedAffinities(WriteNamedAffinities(named)), named);

    const std::vector<CpuSetRule> sets = {{{L"a.exe"}, {}}, {{L"b.exe"}, {{0, 1}}}};
    EXPECT_EQ(ReadCpuSets(WriteCpuSets(sets)), sets);

    // A pattern that trims to nothing drops its rule, not the pairing of the rules after it.
    const auto io = ReadDefaultIoPriorities(L" ,2,b.exe,3");
    EXPECT_EQ(io, (std::vector<ValueRule>{{{L"b.exe"}, 3}}));
    EXPECT_EQ(ReadDefaultIoPriorities(WriteDefaultValueRules(io)), io);
}

TEST(RuleListBadInput, HugeListsAndBrokenTextNeverBreakReading) {
    constexpr int kEntries = 100000;
    std::wstring names;
    std::wstring pairs;
    std::wstring triples;
    std::wstring watchdog;
    for (int i = 0; i < kEntries; ++i) {
        const std::wstring name = L"p" + std::to_wstring(i % 5000) + L".exe";
        names += name + L",";
        pairs += name + L";" + std::to_wstring(i % 7 + 1) + L",";
        triples += name + L";" + std::to_wstring(i) + L";2,";
        watchdog += name + L";0;0;1;1;1;0;1;-;-;-;-,";
    }
    NameList list;
    ReadNameList(names, kDisallowedProcessesFormat, list);
    EXPECT_EQ(list.size(), static_cast<std::size_t>(kEntries));
    RemoveDuplicateNames(list);
    EXPECT_EQ(list.size(), 5000u);
    EXPECT_EQ(ReadNameSet(names, kOocExclusionsFormat).size(), 5000u);
    EXPECT_EQ(ReadThrottles(pairs).size(), static_cast<std::size_t>(kEntries));
    EXPECT_EQ(ReadOneTimeThrottles(triples).size(), static_cast<std::size_t>(kEntries));
    EXPECT_EQ(ReadWatchdogRules(watchdog).size(), static_cast<std::size_t>(kEntries));
    EXPECT_EQ(ReadDefaultIoPriorities(names).size(), static_cast<std::size_t>(kEntries / 2));
    EXPECT_EQ(ReadInstanceBalancer(pairs).size(), 5000u);
    std::size_t missing = 0;
    EXPECT_TRUE(ReadKeepRunning(names, &missing).empty());
    EXPECT_EQ(missing, static_cast<std::size_t>(kEntries));

    const wchar_t* broken[] = {L"\\",
                               L"\\\\\\",
                               L",,,;;;\\,\\;",
                               L"((((",
                               L"))))",
                               L"a;b;c;",
                               L"\uFFFF,\uFFFE",
                               L"0x;0x;0x",
                               L"-;-;-",
                               L"/",
                               L"p;99999999999999999999999999;1;1;1;1;1;1;1;1;1;1"};
    for (const wchar_t* text : broken) {
        ReadNameList(text, kAutomaticGamingModeFormat, list);
        ReadKeepRunning(text, &missing);
        ReadPowerSchemes(text, text, TestPlans(), &missing);
        ReadInstanceBalancer(text);
        ReadCpuLimitRules(text);
        ReadWatchdogRules(text);
        ReadNamedAffinities(text);
        ReadDefaultPriorities(text, kEnglishNames);
        ReadDefaultAffinities(text, text);
        ReadCpuSets(text);
        ReadEfficiencyModes(text);
        ParseCpuSetText(text);
    }
    const auto watchdogHuge = ReadWatchdogRules(broken[10]);
    ASSERT_EQ(watchdogHuge.size(), 1u);
    EXPECT_EQ(watchdogHuge[0].Action, INT32_MAX);
}

}  // namespace
}  // namespace cv
