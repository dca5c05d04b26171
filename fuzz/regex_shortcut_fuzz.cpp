// A regular expression searched through the product (required literal, start anchor, leading
// look-aheads searched behind a copy of what follows them, the fallback pass) gives the answer
// of a plain std::wregex search of the same lower-case subject, whenever both give one.
// Input: bytes that build the expression, each a piece of the table below (counts of every
// form, bracket expressions of every kind, escapes, groups, look-aheads, anchors) or, past
// the table, a character of its own; then a line feed and the subject, as UTF-8.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "common/PlainRegexSearch.h"
#include "common/WideString.h"
#include "config/ProcessMatch.h"

namespace {

constexpr std::wstring_view kPieces[] = {
    // Counts, whole and in parts, with and without leading zeros.
    L"*",
    L"+",
    L"?",
    L"{0}",
    L"{00}",
    L"{1}",
    L"{01}",
    L"{2}",
    L"{0,}",
    L"{00,}",
    L"{1,}",
    L"{0,1}",
    L"{00,1}",
    L"{1,1}",
    L"{2,3}",
    L"{",
    L"}",
    L",",
    L"0",
    L"1",
    L"2",
    // Bracket expressions and their parts.
    L"[",
    L"]",
    L"[^",
    L"[]",
    L"[^]",
    L"[abc]",
    L"[a-c]",
    L"[[:alpha:]]",
    L"[[:digit:]]",
    L"[[=a=]]",
    L"[[.a.]]",
    L"[[.-.]]",
    L"[:",
    L":]",
    L"[=",
    L"=]",
    L"[.",
    L".]",
    L"-",
    // Escapes.
    L"\\",
    L"\\.",
    L"\\]",
    L"\\[",
    L"\\x2c",
    L"\\x41",
    L"\\u0062",
    L"\\c",
    L"\\0",
    L"\\1",
    L"\\b",
    L"\\B",
    L"\\d",
    L"\\w",
    L"\\s",
    // Groups, look-aheads, alternatives, anchors.
    L"(",
    L"(?:",
    L"(?=",
    L"(?!",
    L"(?=.*",
    L"(?!.*",
    L")",
    L"|",
    L"^",
    L"$",
    L".",
    L".*",
    // Plain characters.
    L"a",
    L"b",
    L"c",
    L"x",
    L"A",
    L"B",
    L"ab",
    L"abc",
    L"exe",
};

constexpr std::size_t kLongestExpression = 160;
constexpr std::size_t kLongestSubject = 48;
// The plain search backtracks without bound; one that takes longer tells nothing.
constexpr std::uint64_t kPlainSteps = 200'000;

// None when the library refuses the expression or the search runs long.
std::optional<bool> PlainSearch(const std::wstring& expression, const std::wstring& subject) {
    const std::optional<std::wregex> regex = cv::test::PlainRegex(expression);
    return regex ? cv::test::PlainSearch(*regex, subject, kPlainSteps) : std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\n');
    const std::string_view program = input.substr(0, split);
    std::wstring expression;
    for (const char byte : program) {
        const auto choice = static_cast<unsigned char>(byte);
        if (choice < std::size(kPieces)) {
            expression += kPieces[choice];
        } else {
            // Past the table: a printable character, or one outside ASCII now and then.
            const unsigned code = choice - std::size(kPieces);
            expression += code < 95 ? static_cast<wchar_t>(L' ' + code) : L'\u00e9';
        }
        if (expression.size() > kLongestExpression) {
            return 0;
        }
    }
    const std::wstring subject = split == std::string_view::npos
                                     ? std::wstring()
                                     : cv::ToLower(cv::FromUtf8(input.substr(split + 1)));
    if (subject.size() > kLongestSubject) {
        return 0;
    }
    const cv::RegexOutcome outcome = cv::SearchRegex(expression, subject);
    if (outcome == cv::RegexOutcome::kUnusable || outcome == cv::RegexOutcome::kAborted) {
        return 0;
    }
    const auto plain = PlainSearch(expression, subject);
    if (plain && *plain != (outcome == cv::RegexOutcome::kFound)) {
        std::abort();
    }
    // The cache would otherwise keep every expression the run makes.
    if (cv::RegexCacheSize() > 1024) {
        cv::ClearRegexCache();
    }
    return 0;
}
