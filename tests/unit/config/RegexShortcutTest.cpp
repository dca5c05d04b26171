// The required literal and the start anchor settle most searches before the matcher runs, and
// leading look-aheads are searched behind a copy of what follows them; none of it may change
// an answer: the prepared expression agrees with a plain std::wregex search.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "common/PlainRegexSearch.h"
#include "common/WideString.h"
#include "config/ProcessMatch.h"

namespace cv {
namespace {

using test::PlainRegex;

// The plain library search; none when the search runs long.
std::optional<bool> PlainSearch(const std::wregex& regex, const std::wstring& subject) {
    return test::PlainSearch(regex, subject, 20'000);
}

// Pieces of expressions the shortcuts must read right: counts of every form, bracket
// expressions of every kind, escapes, groups, look-aheads and anchors.
const wchar_t* const kAtoms[] = {
    L"a",           L"b",       L"c",       L"x",        L"A",       L"]",
    L"}",           L",",       L"-",       L"\\.",      L"\\]",     L"\\x2c",
    L"\\x41",       L"\\u0062", L"\\d",     L"\\w",      L"\\S",     L"\\cb",
    L"\\0",         L".",       L"[abc]",   L"[^a]",     L"[]",      L"[^]",
    L"[]a]",        L"[^]a]",   L"[a-c]",   L"[\\]a]",   L"[\\\\x]", L"[[:alpha:]]",
    L"[[:digit:]]", L"[[=a=]]", L"[[.a.]]", L"[[.-.]a]", L"[[]",     L"[x[:alpha:]]",
    L"[\\x5d]",     L"[\\cb]",  L"[\\b]",   L"[-a]",     L"[a-]",
};
const wchar_t* const kQuantifiers[] = {
    L"*",     L"+",     L"?",      L"*?",    L"+?",    L"??",    L"{0}",   L"{00}",
    L"{1}",   L"{01}",  L"{2}",    L"{0,}",  L"{00,}", L"{1,}",  L"{0,1}", L"{00,1}",
    L"{0,2}", L"{1,1}", L"{01,2}", L"{2,3}", L"{1}?",  L"{0,}?",
};
const wchar_t* const kAssertions[] = {L"^", L"$", L"\\b", L"\\B"};

class ExpressionMaker {
  public:
    explicit ExpressionMaker(std::uint32_t seed) : random_(seed) {}

    std::wstring Make() {
        std::wstring expression;
        Sequence(expression, 0);
        return expression;
    }

  private:
    std::size_t Below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }

    void Sequence(std::wstring& out, int depth) {
        const std::size_t terms = 1 + Below(depth == 0 ? 6 : 3);
        for (std::size_t t = 0; t < terms; ++t) {
            Term(out, depth);
            if (Below(12) == 0) {
                out += L'|';
            }
        }
    }

    void Term(std::wstring& out, int depth) {
        const std::size_t kind = Below(20);
        if (kind < 2) {
            out += kAssertions[Below(std::size(kAssertions))];
            return;
        }
        if (kind < 4 && depth < 2) {
            out += Below(2) == 0 ? L"(?=" : L"(?!";
            if (Below(2) == 0) {
                out += L".*";
            }
            Sequence(out, depth + 1);
            out += L')';
            return;
        }
        if (kind < 6 && depth < 2) {
            out += Below(2) == 0 ? L"(" : L"(?:";
            Sequence(out, depth + 1);
            out += L')';
        } else if (kind == 6) {
            out += L"\\1";
        } else {
            out += kAtoms[Below(std::size(kAtoms))];
        }
        // Quantifiers stack: each repeats all before it.
        for (std::size_t q = Below(8) < 5 ? 0 : 1 + Below(2); q > 0; --q) {
            out += kQuantifiers[Below(std::size(kQuantifiers))];
        }
    }

    std::mt19937 random_;
};

// Lower case, as the subject always is.
const std::wstring kSubjects[] = {
    L"",      L"ac",    L"abc",   L"a]x",     L"xyzac.exe",      L",game1.exe,", L"b",
    L"aab,x", L"x-a.b", L"cab]}", L"\ta bc ", L"1,alice,ab.exe", L"xxabcabx",
};

TEST(RegexShortcuts, CasesThatOnceMissedAgreeWithThePlainSearch) {
    const struct {
        const wchar_t* expression;
        const wchar_t* subject;
        bool found;
    } cases[] = {
        // A count whose least is zero, however written, makes its atom optional.
        {L"ab{00,1}c", L"ac", true},
        {L"ab{00}c", L"ac", true},
        {L"ab{0,}c", L"ac", true},
        {L"ab{000,2}c", L"ac", true},
        {L"xyzab{00}c", L"xyzac.exe", true},
        {L"ab{01}c", L"abc", true},
        {L"ab{01}c", L"ac", false},
        // Bracket expressions hold brackets of their own.
        {L"x[[:alpha:]]y", L"xby", true},
        {L"x[[:alpha:]]y", L"x1y", false},
        {L"[[=a=]]bc", L"abc", true},
        {L"[[.a.]]bc", L"abc", true},
        {L"\\x2cgame[[:digit:]]\\.exe\\x2c", L"1,alice,game1.exe,", true},
        {L"[\\]]x", L"]x", true},
        {L"[\\cb]x", L"bx", true},
        // "[]" matches nothing and "[^]" anything, both closed at once.
        {L"^[]|]x", L"a]x", true},
        {L"^[^]|]x", L"a]x", true},
        {L"[]a]", L"a]", false},
        {L"[^]a]", L"ba]", true},
        {L"[^]]x", L"z]x", true},
        // Stacked quantifiers repeat everything before them.
        {L"xa+*", L"x", true},
        {L"a{1}{0}b", L"b", true},
        {L"x+{0}y", L"y", true},
        {L"xa+?b", L"xab", true},
        {L"xa??b", L"xb", true},
        {L"xa{1}?b", L"xab", true},
        {L"xa{1}{1}b", L"xb", false},
    };
    for (const auto& c : cases) {
        const std::wstring expression = c.expression;
        const std::wstring subject = c.subject;
        const auto plain = PlainRegex(expression);
        ASSERT_TRUE(plain.has_value()) << expression;
        ASSERT_EQ(PlainSearch(*plain, subject), std::optional<bool>(c.found))
            << "the table is wrong about " << expression;
        EXPECT_EQ(SearchRegex(expression, subject),
                  c.found ? RegexOutcome::kFound : RegexOutcome::kNotFound)
            << expression << " in " << subject;
    }
}

// Random expressions of the pieces above against a dozen subjects: only definite answers are
// compared, so expressions the library refuses, the product finds too large and searches it
// cuts are left out, and so are plain searches that run long (all counted, so that the run
// cannot quietly compare nothing).
TEST(RegexShortcuts, RandomExpressionsAgreeWithThePlainSearch) {
    ExpressionMaker maker(20241210);
    std::size_t compared = 0;
    for (int n = 0; n < 3000; ++n) {
        const std::wstring expression = maker.Make();
        const auto regex = PlainRegex(expression);
        if (!regex) {
            continue;
        }
        for (const std::wstring& subject : kSubjects) {
            const RegexOutcome outcome = SearchRegex(expression, subject);
            if (outcome == RegexOutcome::kUnusable || outcome == RegexOutcome::kAborted) {
                continue;
            }
            const auto plain = PlainSearch(*regex, subject);
            if (!plain) {
                continue;
            }
            ++compared;
            ASSERT_EQ(outcome == RegexOutcome::kFound, *plain)
                << "expression " << ToUtf8(expression) << " subject " << ToUtf8(subject);
        }
    }
    EXPECT_GT(compared, 3000u * std::size(kSubjects) / 2);
    ClearRegexCache();
}

}  // namespace
}  // namespace cv
