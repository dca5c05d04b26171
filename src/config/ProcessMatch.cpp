#include "config/ProcessMatch.h"

#include <algorithm>
#include <memory>

#include "common/WideString.h"

namespace cv {
namespace {

// Ancestors looked at beyond the parent; reused ids can make the chain a loop.
constexpr int kMaxAncestorSteps = 256;

struct NegatedPattern {
    std::wstring_view positive;
    bool negated = false;
};

NegatedPattern SplitNegation(std::wstring_view pattern) {
    bool negated = false;
    while (!pattern.empty() && (pattern.front() == L'~' || pattern.front() == L'!')) {
        negated = !negated;
        pattern.remove_prefix(1);
    }
    return {pattern, negated};
}

bool SameIgnoringCase(wchar_t a, wchar_t b) {
    return ToLowerChar(a) == ToLowerChar(b);
}

// The name, a blank and the command line, read in place rather than copied together.
class JoinedText {
  public:
    JoinedText(std::wstring_view head, std::wstring_view tail) : head_(head), tail_(tail) {}
    std::size_t size() const { return head_.size() + 1 + tail_.size(); }
    bool empty() const { return false; }
    wchar_t operator[](std::size_t i) const {
        if (i < head_.size()) {
            return head_[i];
        }
        return i == head_.size() ? L' ' : tail_[i - head_.size() - 1];
    }

  private:
    std::wstring_view head_;
    std::wstring_view tail_;
};

// Greedy matching that only ever returns to the last '*': a '*' followed by a literal and '?'
// both take one character, so that is enough, and it stays linear in the pattern for each
// text position even on a 32 K command line.
template <typename Text>
bool MatchWildcards(std::wstring_view pattern, const Text& text) {
    if (pattern.empty() || text.empty()) {
        return false;
    }
    std::size_t needed = 0;
    for (const wchar_t c : pattern) {
        needed += c != L'*' ? 1 : 0;
    }
    if (needed > text.size()) {
        return false;
    }
    constexpr std::size_t kNone = std::wstring_view::npos;
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t literalAfterStar = kNone;  // pattern position of the literal after the last '*'
    std::size_t retryFrom = 0;             // next text position to try that literal at
    for (;;) {
        if (p < pattern.size() && pattern[p] == L'*') {
            if (p + 1 == pattern.size()) {
                return true;
            }
            literalAfterStar = p + 1;
            retryFrom = t;
        } else if (p < pattern.size() && t < text.size() &&
                   (pattern[p] == L'?' || SameIgnoringCase(pattern[p], text[t]))) {
            ++p;
            ++t;
            continue;
        } else if (p == pattern.size() && t == text.size()) {
            return true;
        } else if (literalAfterStar == kNone) {
            return false;
        }
        while (retryFrom < text.size() &&
               !SameIgnoringCase(pattern[literalAfterStar], text[retryFrom])) {
            ++retryFrom;
        }
        if (retryFrom == text.size()) {
            return false;
        }
        p = literalAfterStar + 1;
        t = retryFrom + 1;
        ++retryFrom;
    }
}

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::wstring_view TrimLeft(std::wstring_view text) {
    while (!text.empty() && IsWhiteSpace(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

bool ContainsIgnoringCase(std::wstring_view text, std::wstring_view part) {
    return ToLower(text).find(part) != std::wstring::npos;
}

// The ancestor pattern of a "childof:" rule. Only a leading prefix counts, so that a name
// that merely contains the word is still matched as a name.
std::optional<std::wstring_view> ChildOfPattern(std::wstring_view pattern) {
    constexpr std::wstring_view kPrefix = L"childof:";
    const std::wstring_view text = TrimLeft(pattern);
    if (!StartsWithIgnoringCase(text, kPrefix)) {
        return std::nullopt;
    }
    return TrimLeft(text.substr(kPrefix.size()));
}

void AppendEscaped(std::wstring& out, std::wstring_view text) {
    for (const wchar_t c : text) {
        if (c == L',') {
            out += L'\\';
        }
        out += c;
    }
}

}  // namespace

bool MatchPattern(std::wstring_view pattern, std::wstring_view text) {
    const NegatedPattern parts = SplitNegation(pattern);
    // A lone "!" would otherwise stand for every process there is.
    if (parts.positive.empty() || text.empty()) {
        return false;
    }
    return MatchWildcards(parts.positive, text) != parts.negated;
}

UserFilterParts SplitUserFilter(std::wstring_view pattern) {
    UserFilterParts parts{pattern, {}, false};
    if (pattern.size() <= 2) {
        return parts;
    }
    // The drive letter is looked for after a negation too, so "!c:\windows\*" stays a path.
    const std::size_t start = pattern.find_first_not_of(L"~!");
    const wchar_t first = start == std::wstring_view::npos ? L'\0' : pattern[start];
    const bool letter = (first >= L'a' && first <= L'z') || (first >= L'A' && first <= L'Z');
    const std::size_t colon = pattern.find(L':', letter ? start + 2 : 0);
    if (colon == std::wstring_view::npos) {
        return parts;
    }
    return {pattern.substr(0, colon), pattern.substr(colon + 1), true};
}

std::optional<std::wstring> ExtractRegex(std::wstring_view pattern) {
    const std::wstring_view trimmed = TrimLeft(pattern);
    const bool tagged = StartsWithIgnoringCase(trimmed, L"regex:");
    if (!tagged && (trimmed.empty() || trimmed.front() != L'/')) {
        return std::nullopt;
    }
    const std::wstring lowered = ToLower(trimmed);
    std::wstring_view text = lowered;
    if (tagged) {
        // Seven, not six: the blank that normally follows the tag goes with it.
        text.remove_prefix(std::min<std::size_t>(7, text.size()));
        return std::wstring(TrimLeft(text));
    }
    text.remove_prefix(1);
    return std::wstring(text.substr(0, text.find(L'/')));
}

std::wstring BuildMatchSubject(const MatchFacts& facts) {
    std::uint32_t parentPid = 0;
    std::wstring parentName;
    if (facts.parents != nullptr) {
        parentPid = facts.parents->ParentOf(facts.pid);
        if (parentPid != 0) {
            parentName = facts.parents->NameOf(parentPid);
        }
    }
    std::wstring subject;
    subject.reserve(64 + facts.user.size() + facts.name.size() + facts.path.size() +
                    parentName.size() + facts.commandLine.size() * 2);
    subject += std::to_wstring(facts.pid);
    subject += L',';
    AppendEscaped(subject, facts.user);
    subject += L',';
    AppendEscaped(subject, facts.name);
    subject += L',';
    AppendEscaped(subject, facts.path);
    subject += L',';
    subject += std::to_wstring(parentPid);
    subject += L',';
    AppendEscaped(subject, parentName);
    subject += L",,,,,";
    AppendEscaped(subject, facts.commandLine);
    return subject;
}

RuleMatcher::RuleMatcher(const MatchFacts& facts, const MatchVariant& variant)
    : facts_(facts), variant_(variant) {}

void PreparePattern(const RulePattern& pattern) {
    auto prepared = std::make_shared<PreparedPattern>();
    prepared->expression = ExtractRegex(pattern.text);
    if (prepared->expression) {
        prepared->compiled = CompileRegex(*prepared->expression);
    }
    pattern.prepared = std::move(prepared);
}

bool RuleMatcher::Matches(const RulePattern& pattern) {
    const PreparedPattern* prepared = pattern.prepared.get();
    if (prepared == nullptr) {
        return Matches(pattern.text);
    }
    if (variant_.regex && prepared->expression) {
        return SearchCompiledRegex(prepared->compiled.get(), *prepared->expression, Subject()) ==
               RegexOutcome::kFound;
    }
    return MatchesWithoutExpression(pattern.text);
}

bool RuleMatcher::Matches(std::wstring_view pattern) {
    if (variant_.regex) {
        if (const auto expression = ExtractRegex(pattern)) {
            return SearchRegex(*expression, Subject()) == RegexOutcome::kFound;
        }
    }
    return MatchesWithoutExpression(pattern);
}

bool WalksAncestors(std::wstring_view pattern, const MatchVariant& variant) {
    return variant.childOf && !(variant.regex && ExtractRegex(pattern)) &&
           ChildOfPattern(pattern).has_value();
}

bool RuleMatcher::MatchesWithoutExpression(std::wstring_view pattern) {
    if (variant_.childOf) {
        if (const auto ancestor = ChildOfPattern(pattern)) {
            return MatchesAncestor(*ancestor);
        }
    }
    return MatchesByFacts(pattern);
}

bool RuleMatcher::MatchesByFacts(std::wstring_view pattern) {
    const UserFilterParts parts = variant_.user == UserFilter::kNone
                                      ? UserFilterParts{pattern, {}, false}
                                      : SplitUserFilter(pattern);
    const NegatedPattern process = SplitNegation(parts.processPart);
    const std::wstring_view commandLinePattern =
        variant_.commandLine == CommandLineMatch::kWholePattern ? pattern : parts.processPart;
    const auto nameOrPathHit = [&] {
        return MatchWildcards(process.positive, facts_.name) ||
               (variant_.comparePath && MatchWildcards(process.positive, facts_.path));
    };
    if (!process.negated) {
        if (nameOrPathHit()) {
            return UserAllows(parts);
        }
        return CommandLineHit(commandLinePattern);
    }
    // A negated pattern stands for the processes that its positive form matches by none of
    // the compared facts; "~notepad.exe" must not take Notepad in through its path.
    if (process.positive.empty() || facts_.name.empty() || nameOrPathHit() ||
        CommandLineHit(SplitNegation(commandLinePattern).positive)) {
        return false;
    }
    return UserAllows(parts);
}

bool RuleMatcher::UserAllows(const UserFilterParts& parts) const {
    if (!parts.hasUserPart) {
        return true;
    }
    switch (variant_.user) {
        case UserFilter::kNone:
            return true;
        case UserFilter::kWild:
            return facts_.user.empty() || MatchPattern(parts.userPart, facts_.user);
        case UserFilter::kExact:
            return !facts_.user.empty() && EqualsIgnoreCase(parts.userPart, facts_.user);
    }
    return false;
}

bool RuleMatcher::CommandLineHit(std::wstring_view pattern) const {
    if (variant_.commandLine == CommandLineMatch::kNever || facts_.commandLine.empty()) {
        return false;
    }
    const NegatedPattern parts = SplitNegation(pattern);
    if (parts.positive.empty()) {
        return false;
    }
    const auto hit = [&](const auto& text) {
        return MatchWildcards(parts.positive, text) != parts.negated;
    };
    if (hit(JoinedText(facts_.name, facts_.commandLine))) {
        return true;
    }
    // A leading '*' that matches the command line alone has matched it after the name already.
    return !pattern.starts_with(L'*') && hit(facts_.commandLine);
}

bool ParentLookup::AnyAncestor(std::uint32_t processId, int steps,
                               const std::function<bool(std::wstring_view name)>& found) const {
    std::uint32_t pid = ParentOf(processId);
    for (int step = 0; pid != 0 && step < steps; ++step) {
        if (found(NameOf(pid))) {
            return true;
        }
        pid = ParentOf(pid);
    }
    return false;
}

bool RuleMatcher::MatchesAncestor(std::wstring_view ancestorPattern) const {
    const NegatedPattern ancestor = SplitNegation(ancestorPattern);
    if (facts_.parents == nullptr || ancestor.positive.empty()) {
        return false;
    }
    // Console hosts and wrappers under BOINC are the work units' plumbing, not the work.
    if (ContainsIgnoringCase(ancestor.positive, L"boinc.exe") &&
        (EqualsIgnoreCase(facts_.name, L"conhost.exe") ||
         ContainsIgnoringCase(facts_.name, L"wrapper"))) {
        return false;
    }
    const bool found =
        facts_.parents->AnyAncestor(facts_.pid, kMaxAncestorSteps + 1, [&](std::wstring_view name) {
            return !name.empty() && MatchWildcards(ancestor.positive, name);
        });
    // As with names, a negated pattern means "descends from no such process".
    return found != ancestor.negated;
}

const std::wstring& RuleMatcher::Subject() {
    if (facts_.memo != nullptr) {
        return facts_.memo->Subject([this] { return BuildMatchSubject(facts_); });
    }
    if (!subject_) {
        subject_ = BuildMatchSubject(facts_);
    }
    return *subject_;
}

bool MatchRule(std::wstring_view pattern, const MatchVariant& variant, const MatchFacts& facts) {
    RuleMatcher matcher(facts, variant);
    return matcher.Matches(pattern);
}

}  // namespace cv
