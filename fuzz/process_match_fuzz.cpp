// Any pattern against any process: matching never crashes or runs away, and agrees with plain
// statements of what the patterns mean:
//  - a wildcard pattern matches as a direct, memoised reading of its rules does ('?' one
//    character, '*' any run, the character after a '*' taken literally, case ignored);
//  - a rule matches exactly when its process part matches the name (or the path, where the
//    list compares paths) and the user filter allows it, or else its text matches the name and
//    command line or the command line alone, where the list compares command lines;
//  - "!" before a pattern matches exactly the processes the pattern does not;
//  - an escaped literal as a regular expression matches exactly where the text occurs in the
//    subject, and "childof:" exactly when an ancestor within reach has a matching name.
// Input: lines of text - pattern, name, path, command line, user, a number choosing the list,
// then the names of the parent, grandparent and so on.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/WideString.h"
#include "config/ProcessMatch.h"
#include "processes/ParentTree.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr std::uint32_t kPid = 1000;
constexpr int kAncestorSteps = 256;

std::vector<std::wstring> Lines(std::wstring_view text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'\n', start);
        lines.emplace_back(text.substr(start, end == std::wstring_view::npos ? end : end - start));
        if (end == std::wstring_view::npos) {
            return lines;
        }
        start = end + 1;
    }
}

bool SameLetter(wchar_t a, wchar_t b) {
    return cv::ToLowerChar(a) == cv::ToLowerChar(b);
}

// The wildcard rules read directly, with a table of the (pattern, text) positions tried.
class ReferenceWildcards {
  public:
    ReferenceWildcards(std::wstring_view pattern, std::wstring_view text)
        : pattern_(pattern), text_(text), memo_((pattern.size() + 1) * (text.size() + 1), -1) {}

    bool Match(std::size_t p, std::size_t t) {
        signed char& known = memo_[p * (text_.size() + 1) + t];
        if (known < 0) {
            known = Decide(p, t) ? 1 : 0;
        }
        return known == 1;
    }

  private:
    bool Decide(std::size_t p, std::size_t t) {
        if (p == pattern_.size()) {
            return t == text_.size();
        }
        if (pattern_[p] == L'*') {
            if (p + 1 == pattern_.size()) {
                return true;
            }
            for (std::size_t at = t; at < text_.size(); ++at) {
                if (SameLetter(pattern_[p + 1], text_[at]) && Match(p + 2, at + 1)) {
                    return true;
                }
            }
            return false;
        }
        return t < text_.size() && (pattern_[p] == L'?' || SameLetter(pattern_[p], text_[t])) &&
               Match(p + 1, t + 1);
    }

    std::wstring_view pattern_;
    std::wstring_view text_;
    std::vector<signed char> memo_;
};

bool ReferencePattern(std::wstring_view pattern, std::wstring_view text) {
    bool negated = false;
    while (!pattern.empty() && (pattern.front() == L'~' || pattern.front() == L'!')) {
        negated = !negated;
        pattern.remove_prefix(1);
    }
    if (pattern.empty() || text.empty()) {
        return false;
    }
    return ReferenceWildcards(pattern, text).Match(0, 0) != negated;
}

bool IsNegated(std::wstring_view pattern) {
    return !pattern.empty() && (pattern.front() == L'~' || pattern.front() == L'!');
}

bool IsChildOf(std::wstring_view pattern) {
    const std::size_t start = pattern.find_first_not_of(L" \t\r\v\f");
    return start != std::wstring_view::npos && pattern.size() - start >= 8 &&
           cv::EqualsIgnoreCase(pattern.substr(start, 8), L"childof:");
}

bool TakesOtherRoad(std::wstring_view pattern, const cv::MatchVariant& variant) {
    return (variant.regex && cv::ExtractRegex(pattern)) || (variant.childOf && IsChildOf(pattern));
}

// A rule by the plain statement of the matching rules, for patterns that are not negated.
bool ReferenceRule(std::wstring_view pattern, const cv::MatchVariant& variant,
                   const cv::MatchFacts& facts) {
    const cv::UserFilterParts parts = variant.user == cv::UserFilter::kNone
                                          ? cv::UserFilterParts{pattern, {}, false}
                                          : cv::SplitUserFilter(pattern);
    if (cv::MatchPattern(parts.processPart, facts.name) ||
        (variant.comparePath && cv::MatchPattern(parts.processPart, facts.path))) {
        if (!parts.hasUserPart || variant.user == cv::UserFilter::kNone) {
            return true;
        }
        if (variant.user == cv::UserFilter::kWild) {
            return facts.user.empty() || cv::MatchPattern(parts.userPart, facts.user);
        }
        return !facts.user.empty() && cv::EqualsIgnoreCase(parts.userPart, facts.user);
    }
    if (variant.commandLine == cv::CommandLineMatch::kNever || facts.commandLine.empty()) {
        return false;
    }
    const std::wstring_view commandPattern =
        variant.commandLine == cv::CommandLineMatch::kWholePattern ? pattern : parts.processPart;
    const std::wstring nameAndCommandLine =
        std::wstring(facts.name) + L" " + std::wstring(facts.commandLine);
    return cv::MatchPattern(commandPattern, nameAndCommandLine) ||
           cv::MatchPattern(commandPattern, facts.commandLine);
}

bool ReferenceChildOf(std::wstring_view pattern, const cv::MatchFacts& facts) {
    std::wstring_view ancestor = pattern.substr(pattern.find_first_not_of(L" \t\r\v\f") + 8);
    while (!ancestor.empty() && cv::IsWhiteSpace(ancestor.front())) {
        ancestor.remove_prefix(1);
    }
    bool negated = false;
    while (IsNegated(ancestor)) {
        negated = !negated;
        ancestor.remove_prefix(1);
    }
    if (ancestor.empty()) {
        return false;
    }
    const std::wstring lowered = cv::ToLower(ancestor);
    if (lowered.find(L"boinc.exe") != std::wstring::npos &&
        (cv::EqualsIgnoreCase(facts.name, L"conhost.exe") ||
         cv::ToLower(facts.name).find(L"wrapper") != std::wstring::npos)) {
        return false;
    }
    bool found = false;
    std::uint32_t pid = facts.parents->ParentOf(facts.pid);
    for (int step = 0; pid != 0 && step <= kAncestorSteps && !found; ++step) {
        const std::wstring name = facts.parents->NameOf(pid);
        found = !name.empty() && cv::MatchPattern(ancestor, name);
        pid = facts.parents->ParentOf(pid);
    }
    return found != negated;
}

std::wstring EscapedForRegex(std::wstring_view text) {
    std::wstring escaped;
    for (const wchar_t c : text) {
        if (std::wstring_view(L"\\^$.|?*+()[]{}").find(c) != std::wstring_view::npos) {
            escaped += L'\\';
        }
        escaped += c;
    }
    return escaped;
}

std::wstring AsciiOnly(std::wstring_view text) {
    std::wstring ascii;
    for (const wchar_t c : text) {
        ascii += c >= 0x20 && c < 0x7F ? c : L'?';
    }
    return ascii;
}

const cv::MatchVariant kVariants[] = {
    {true, true, cv::UserFilter::kWild, cv::CommandLineMatch::kWholePattern, false},
    {true, false, cv::UserFilter::kWild, cv::CommandLineMatch::kWholePattern, false},
    {true, true, cv::UserFilter::kExact, cv::CommandLineMatch::kProcessPart, false},
    {true, true, cv::UserFilter::kExact, cv::CommandLineMatch::kNever, false},
    cv::kCpuLimitVariant,
    cv::kWatchdogVariant,
    cv::kInstanceBalancerVariant,
    cv::kNameAndUserVariant,
    cv::kNameOnlyVariant,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Command lines run to 32 K characters; beyond a few thousand the search learns nothing new.
    if (size > 8192) {
        return 0;
    }
    std::vector<std::wstring> lines =
        Lines(cv::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size)));
    lines.resize(std::max<std::size_t>(lines.size(), 6));
    const std::wstring& pattern = lines[0];
    // The process table holds names and paths in lower case.
    const std::wstring name = cv::ToLower(lines[1]);
    const std::wstring path = cv::ToLower(lines[2]);
    const std::wstring& commandLine = lines[3];
    const std::wstring& user = lines[4];
    const auto& variant =
        kVariants[static_cast<std::size_t>(cv::WideToLong(lines[5]) & 0xFF) % std::size(kVariants)];

    cv::ParentTree parents;
    const std::uint32_t firstAncestor = lines.size() > 6 ? kPid + 1 : 0;
    parents.AddProcess(kPid, name, firstAncestor);
    for (std::size_t i = 6; i < lines.size(); ++i) {
        const auto pid = static_cast<std::uint32_t>(kPid + i - 5);
        parents.AddProcess(pid, lines[i], i + 1 < lines.size() ? pid + 1 : 0);
    }
    const cv::MatchFacts facts{kPid, name, path, commandLine, user, &parents};

    // Wildcards, against the name and against the command line; the reference is cubic, so
    // it only sees short texts.
    if (pattern.size() <= 64) {
        if (name.size() <= 256) {
            Check(cv::MatchPattern(pattern, name) == ReferencePattern(pattern, name));
        }
        if (commandLine.size() <= 256) {
            Check(cv::MatchPattern(pattern, commandLine) == ReferencePattern(pattern, commandLine));
        }
    }

    const bool matched = cv::MatchRule(pattern, variant, facts);
    if (!TakesOtherRoad(pattern, variant) && !IsNegated(pattern)) {
        Check(matched == ReferenceRule(pattern, variant, facts));
        const bool noUserPart = variant.user == cv::UserFilter::kNone ||
                                (!cv::SplitUserFilter(pattern).hasUserPart &&
                                 !cv::SplitUserFilter(L"!" + pattern).hasUserPart);
        if (!pattern.empty() && !name.empty() && noUserPart) {
            Check(cv::MatchRule(L"!" + pattern, variant, facts) == !matched);
            Check(cv::MatchRule(L"~" + pattern, variant, facts) == !matched);
        }
    }

    // The subject starts with the process id and ends with the command line.
    const std::wstring subject = cv::BuildMatchSubject(facts);
    Check(subject.rfind(std::to_wstring(kPid) + L",", 0) == 0);
    std::wstring escapedCommandLine;
    for (const wchar_t c : commandLine) {
        escapedCommandLine += c == L',' ? std::wstring(L"\\,") : std::wstring(1, c);
    }
    Check(subject.size() >= escapedCommandLine.size() &&
          subject.compare(subject.size() - escapedCommandLine.size(), std::wstring::npos,
                          escapedCommandLine) == 0);

    // A literal as a regular expression, over a subject of printable ASCII.
    const std::wstring literal = cv::ToLower(AsciiOnly(pattern.substr(0, 200)));
    if (!literal.empty() && literal.find(L'/') == std::wstring::npos) {
        const std::wstring asciiName = AsciiOnly(name);
        const std::wstring asciiPath = AsciiOnly(path);
        const std::wstring asciiCommandLine = AsciiOnly(commandLine);
        const std::wstring asciiUser = AsciiOnly(user);
        const cv::MatchFacts ascii{kPid,      asciiName, asciiPath, asciiCommandLine,
                                   asciiUser, nullptr};
        const std::wstring expression = EscapedForRegex(literal);
        const std::wstring asciiSubject = cv::ToLower(cv::BuildMatchSubject(ascii));
        Check(cv::ExtractRegex(L"/" + expression + L"/") == cv::ToLower(expression));
        const cv::RegexOutcome outcome = cv::SearchRegex(expression, asciiSubject);
        if (outcome != cv::RegexOutcome::kAborted && !asciiName.empty()) {
            const bool expected = asciiSubject.find(literal) != std::wstring::npos;
            Check((outcome == cv::RegexOutcome::kFound) == expected);
            Check(cv::MatchRule(L"/" + expression + L"/", cv::kWatchdogVariant, ascii) == expected);
        }
    }

    // An ancestor's name through childof:.
    const std::wstring childOf = L"childof:" + pattern;
    if (!name.empty() && pattern.size() <= 256) {
        Check(cv::MatchRule(childOf, cv::kInstanceBalancerVariant, facts) ==
              ReferenceChildOf(childOf, facts));
    }
    return 0;
}
