// Cost of matching one process against a rule list, as every family does once per process on
// each re-apply cycle, and of the worst a hostile expression can do.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "config/ProcessMatch.h"

namespace cv {
namespace {

const std::wstring kCommandLine =
    L"\"c:\\program files\\vendor\\app\\app.exe\" --type=renderer --user-data-dir=c:\\users\\"
    L"alice\\appdata\\local\\vendor\\app\\user data --lang=en-us --field-trial-handle=1788,i,"
    L"5862437719412296613,13154066924124946447,262144 --enable-features=a,b,c /prefetch:1";

constexpr MatchVariant kEveryFact{true, true, UserFilter::kWild, CommandLineMatch::kWholePattern,
                                  false};

MatchFacts Facts(const std::wstring& commandLine) {
    return {4321,        L"app.exe", L"c:\\program files\\vendor\\app\\app.exe",
            commandLine, L"alice",   nullptr};
}

// Names, paths, user filters and command-line patterns; none matches, so all are walked.
std::vector<PriorityRule> WildcardRules() {
    std::vector<PriorityRule> rules;
    for (int i = 0; i < 100; ++i) {
        const std::wstring n = std::to_wstring(i);
        std::wstring pattern;
        switch (i % 4) {
            case 0:
                pattern = L"tool" + n + L".exe";
                break;
            case 1:
                pattern = L"c:\\program files\\other" + n + L"\\*";
                break;
            case 2:
                pattern = L"game" + n + L"*.exe:bob";
                break;
            default:
                pattern = L"*--profile=" + n + L"*";
                break;
        }
        rules.push_back({{pattern}, 64});
    }
    return rules;
}

std::vector<PriorityRule> RegexRules() {
    std::vector<PriorityRule> rules;
    for (int i = 0; i < 10; ++i) {
        const std::wstring n = std::to_wstring(i);
        const std::wstring pattern =
            i % 2 == 0 ? L"regex: ^\\d+,[^,]*,tool" + n + L"\\.exe," : L"/--profile=" + n + L"\\b/";
        rules.push_back({{pattern}, 64});
    }
    return rules;
}

void Walk(benchmark::State& state, const std::vector<PriorityRule>& rules,
          const std::wstring& commandLine) {
    const MatchFacts facts = Facts(commandLine);
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindMatchingRule(rules, kEveryFact, facts));
    }
    state.counters["rules"] = static_cast<double>(rules.size());
    state.counters["commandLine"] = static_cast<double>(commandLine.size());
}

void MatchHundredWildcardRules(benchmark::State& state) {
    Walk(state, WildcardRules(), kCommandLine);
}
BENCHMARK(MatchHundredWildcardRules)->Unit(benchmark::kMicrosecond);

void MatchTenRegexRules(benchmark::State& state) {
    Walk(state, RegexRules(), kCommandLine);
}
BENCHMARK(MatchTenRegexRules)->Unit(benchmark::kMicrosecond);

// A 32 K command line: the longest Windows gives a process.
void MatchTenRegexRulesLongCommandLine(benchmark::State& state) {
    Walk(state, RegexRules(), kCommandLine + std::wstring(32000 - kCommandLine.size(), L'x'));
}
BENCHMARK(MatchTenRegexRulesLongCommandLine)->Unit(benchmark::kMillisecond);

void MatchHundredWildcardRulesLongCommandLine(benchmark::State& state) {
    Walk(state, WildcardRules(), kCommandLine + std::wstring(32000 - kCommandLine.size(), L'x'));
}
BENCHMARK(MatchHundredWildcardRulesLongCommandLine)->Unit(benchmark::kMillisecond);

// What the cache saves: the same walk with every expression compiled anew.
void MatchTenRegexRulesCompiledEachTime(benchmark::State& state) {
    const auto rules = RegexRules();
    const MatchFacts facts = Facts(kCommandLine);
    for (auto _ : state) {
        ClearRegexCache();
        benchmark::DoNotOptimize(FindMatchingRule(rules, kEveryFact, facts));
    }
}
BENCHMARK(MatchTenRegexRulesCompiledEachTime)->Unit(benchmark::kMicrosecond);

// One search of a hostile expression over 32 K characters, until the guard stops it.
void MatchHostileRegex(benchmark::State& state, const wchar_t* expression) {
    const std::wstring subject(32000, L'a');
    RegexOutcome outcome = RegexOutcome::kFound;
    for (auto _ : state) {
        outcome = SearchRegex(expression, subject);
        benchmark::DoNotOptimize(outcome);
    }
    state.counters["aborted"] = outcome == RegexOutcome::kAborted ? 1 : 0;
}
BENCHMARK_CAPTURE(MatchHostileRegex, exponential, L"(a+)+b")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MatchHostileRegex, polynomial, L"(.*a){20}b")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MatchHostileRegex, backreference, L"(a)\\1.*b")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace cv
