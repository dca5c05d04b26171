// Regular-expression rules. The expressions are the user's and the subject holds a whole
// command line (up to 32 K characters), and the standard library's matchers backtrack by
// recursion: a ".*" costs hundreds of bytes of stack per character and "(a+)+b" takes time
// exponential in the text. So:
//  - an expression is rejected (matches nothing) when its automaton could be large or deeply
//    nested, which bounds both the compiler's recursion and any run of states the matcher
//    passes without touching the text;
//  - a literal that every match must contain is looked for first, and an expression anchored at
//    the start is tried at the start only, which settles most rules without the matcher;
//  - the search runs depth-first, the faster way for ordinary rules, through an iterator that
//    counts its steps and measures the stack below the search's start. When either allowance
//    is used up, an expression without back-references is searched again breadth-first
//    (libstdc++'s Thompson NFA) in one pass over the subject, whose cost is the subject's
//    length times the expression's states and whose recursion depends on the expression only.
//    Its answer is exact, so which build, compiler or frame size made the first attempt stop
//    never changes an answer;
//  - only an expression with back-references can be cut: when its steps run out, or when the
//    subject is longer than the depth-first search may go. A cut search is "aborted", which is
//    no match, and is reported once (TakeCutExpressions).
#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/ProcessMatch.h"

namespace cv {
namespace {

constexpr std::size_t kMaxEstimatedStates = 2000;
constexpr std::size_t kMaxGroupNesting = 32;
// An ordinary depth-first search takes 6 to 25 steps per character; a step costs 15 to 50 ns.
constexpr std::uint64_t kBaseSteps = 100'000;
constexpr std::uint64_t kStepsPerCharacter = 32;
// The breadth-first pass touches the text once per live state and character; lookaheads start
// passes of their own, so it gets a multiple of that.
constexpr std::uint64_t kBreadthFirstStepsPerStateAndCharacter = 16;
// Depth below the search's start. Every thread that matches rules reserves more than this
// (kMatchingThreadStackReserve).
constexpr std::uintptr_t kStackAllowance = 4 * 1024 * 1024;
// The longest subject an expression with back-references is searched in: within it the
// depth-first search stays well inside the stack allowance in any build (an optimised build
// takes about 830 bytes a character for "(x)\1.*y", some 1.7 MB at the limit), beyond it the
// rule is cut.
constexpr std::size_t kDepthFirstOnlySubjectLimit = 2048;
// Compiled expressions kept; the least recently used one goes first.
constexpr std::size_t kMaxCachedExpressions = 4096;

#if defined(__GLIBCXX__)
constexpr auto kBreadthFirst = std::regex_constants::__polynomial;
#else
constexpr auto kBreadthFirst = std::regex_constants::syntax_option_type{};
#endif
constexpr auto kSyntax = std::regex_constants::ECMAScript | std::regex_constants::icase;

// A generous guess at the number of automaton states: every atom one, a counted repeat copies
// its atom, "+" doubles it. Saturates just above the limit.
class StateEstimate {
  public:
    bool TooLarge(std::wstring_view expression) {
        groups_.assign(1, Group{});
        for (std::size_t i = 0; i < expression.size();) {
            i = Take(expression, i);
            if (groups_.size() > kMaxGroupNesting + 1 || Total() > kMaxEstimatedStates) {
                return true;
            }
        }
        states_ = Total();
        return false;
    }
    // After TooLarge said no.
    std::size_t States() const { return states_; }

  private:
    struct Group {
        std::size_t states = 0;
        std::size_t lastAtom = 0;
    };
    static constexpr std::size_t kCap = kMaxEstimatedStates + 1;

    static std::size_t Add(std::size_t a, std::size_t b) { return std::min(a + b, kCap); }
    static std::size_t Multiply(std::size_t a, std::size_t b) { return std::min(a * b, kCap); }

    std::size_t Total() const {
        std::size_t total = 0;
        for (const Group& group : groups_) {
            total = Add(total, group.states);
        }
        return total;
    }
    void Atom(std::size_t states) {
        groups_.back().states = Add(groups_.back().states, states);
        groups_.back().lastAtom = states;
    }
    // The larger count of "{m}", "{m,}" or "{m,n}" at i, moving i past it; none when the
    // brace is a plain character.
    static std::optional<std::size_t> Braces(std::wstring_view text, std::size_t& i) {
        std::size_t j = i + 1;
        std::size_t largest = 0;
        std::size_t number = 0;
        bool digits = false;
        for (; j < text.size() && (text[j] == L',' || (text[j] >= L'0' && text[j] <= L'9')); ++j) {
            if (text[j] == L',') {
                number = 0;
                continue;
            }
            digits = true;
            number = std::min(number * 10 + static_cast<std::size_t>(text[j] - L'0'), kCap);
            largest = std::max(largest, number);
        }
        if (!digits || j >= text.size() || text[j] != L'}') {
            return std::nullopt;
        }
        i = j + 1;
        return largest;
    }

    std::size_t Take(std::wstring_view text, std::size_t i) {
        Group& group = groups_.back();
        switch (text[i]) {
            case L'\\':
                Atom(1);
                return i + 2;
            case L'[': {
                std::size_t j = i + 1;
                if (j < text.size() && text[j] == L'^') {
                    ++j;
                }
                if (j < text.size() && text[j] == L']') {
                    ++j;
                }
                while (j < text.size() && text[j] != L']') {
                    j += text[j] == L'\\' ? 2 : 1;
                }
                Atom(1);
                return j + 1;
            }
            case L'(':
                groups_.push_back(Group{});
                // "(?:", "(?=" and "(?!" open a group like "(" does.
                return text.substr(i + 1, 1) == L"?" ? i + 3 : i + 1;
            case L')':
                if (groups_.size() > 1) {
                    const std::size_t inner = Add(group.states, 2);
                    groups_.pop_back();
                    Atom(inner);
                } else {
                    Atom(1);
                }
                return i + 1;
            case L'|':
                group.states = Add(group.states, 1);
                group.lastAtom = 0;
                return i + 1;
            case L'*':
            case L'?':
                group.states = Add(group.states, 1);
                return i + 1;
            case L'+':
                group.states = Add(group.states, Add(group.lastAtom, 1));
                return i + 1;
            case L'{':
                if (const auto count = Braces(text, i)) {
                    const std::size_t copies = Add(*count, 1);
                    group.states = Add(group.states, Multiply(group.lastAtom, copies));
                    group.lastAtom = Multiply(group.lastAtom, copies);
                    return i;
                }
                Atom(1);
                return i + 1;
            default:
                Atom(1);
                return i + 1;
        }
    }

    std::vector<Group> groups_;
    std::size_t states_ = 0;
};

// Thrown from inside the library's matcher and caught by SearchRegex, never further.
struct SearchStopped {
    bool tooDeep = false;  // else out of steps
};

// Where the stack stands in the calling frame: the frame address is the real stack even when
// AddressSanitizer moves locals to the heap.
[[gnu::noinline]] std::uintptr_t StackPosition() {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

class SearchGuard {
  public:
    explicit SearchGuard(std::uint64_t steps) : origin_(StackPosition()), stepsLeft_(steps) {}

    void Step() {
        if (stepsLeft_ == 0) {
            throw SearchStopped{false};
        }
        --stepsLeft_;
        const std::uintptr_t here = StackPosition();
        const std::uintptr_t used = origin_ > here ? origin_ - here : here - origin_;
        if (used > kStackAllowance) {
            throw SearchStopped{true};
        }
    }

  private:
    std::uintptr_t origin_;
    std::uint64_t stepsLeft_;
};

// Every step of the matcher over the subject goes through here.
class GuardedIterator {
  public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = wchar_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const wchar_t*;
    using reference = const wchar_t&;

    GuardedIterator() = default;
    GuardedIterator(const wchar_t* position, SearchGuard* guard)
        : position_(position), guard_(guard) {}

    reference operator*() const {
        Step();
        return *position_;
    }
    pointer operator->() const {
        Step();
        return position_;
    }
    GuardedIterator& operator++() {
        Step();
        ++position_;
        return *this;
    }
    GuardedIterator operator++(int) {
        GuardedIterator old = *this;
        ++*this;
        return old;
    }
    GuardedIterator& operator--() {
        Step();
        --position_;
        return *this;
    }
    GuardedIterator operator--(int) {
        GuardedIterator old = *this;
        --*this;
        return old;
    }
    friend bool operator==(const GuardedIterator& a, const GuardedIterator& b) {
        a.Step();
        return a.position_ == b.position_;
    }

  private:
    void Step() const {
        if (guard_ != nullptr) {
            guard_->Step();
        }
    }

    const wchar_t* position_ = nullptr;
    SearchGuard* guard_ = nullptr;
};

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}
bool IsAsciiAlphanumeric(wchar_t c) {
    return IsAsciiLetter(c) || (c >= L'0' && c <= L'9');
}
wchar_t AsciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

// What the expression's top level says about every match: whether it can only start at the
// subject's start, and the longest run of plain characters it must contain (ASCII, lower case).
struct ExpressionShape {
    bool anchored = false;
    std::wstring literal;
};

namespace {

ExpressionShape ShapeOf(std::wstring_view e) {
    ExpressionShape shape;
    std::wstring run;
    const auto endRun = [&] {
        if (run.size() > shape.literal.size()) {
            shape.literal = run;
        }
        run.clear();
    };
    // A quantifier after a plain character makes that character optional or repeated: the run
    // ends before it, or with it when it must occur at least once.
    const auto quantify = [&](bool mayBeAbsent) {
        if (mayBeAbsent && !run.empty()) {
            run.pop_back();
        }
        endRun();
    };
    int depth = 0;
    for (std::size_t i = 0; i < e.size();) {
        const wchar_t c = e[i];
        if (c == L'\\') {
            const wchar_t next = i + 1 < e.size() ? e[i + 1] : L'\0';
            if (depth == 0 && next != L'\0' && next < 0x80 && !IsAsciiAlphanumeric(next)) {
                run += next;
                i += 2;
                continue;
            }
            endRun();
            i += 2;
            // \xHH, \uHHHH, \cX and the digits of a back-reference or \0 go with the escape.
            if (next == L'x') {
                i += 2;
            } else if (next == L'u') {
                i += 4;
            } else if (next == L'c') {
                i += 1;
            } else if (next >= L'0' && next <= L'9') {
                while (i < e.size() && e[i] >= L'0' && e[i] <= L'9') {
                    ++i;
                }
            }
            continue;
        }
        if (c == L'[') {
            endRun();
            std::size_t j = i + 1;
            if (j < e.size() && e[j] == L'^') {
                ++j;
            }
            if (j < e.size() && e[j] == L']') {
                ++j;
            }
            while (j < e.size() && e[j] != L']') {
                j += e[j] == L'\\' ? 2 : 1;
            }
            i = j + 1;
            continue;
        }
        switch (c) {
            case L'(':
                endRun();
                ++depth;
                break;
            case L')':
                endRun();
                depth = depth > 0 ? depth - 1 : 0;
                break;
            case L'|':
                if (depth == 0) {
                    // Either side may match: nothing is required, nothing anchored.
                    return {};
                }
                break;
            case L'*':
            case L'?':
                quantify(true);
                break;
            case L'+':
                quantify(false);
                break;
            case L'{': {
                std::size_t j = i + 1;
                while (j < e.size() && e[j] >= L'0' && e[j] <= L'9') {
                    ++j;
                }
                const std::size_t close = e.find(L'}', j);
                if (j > i + 1 && close != std::wstring_view::npos &&
                    (e[j] == L',' || e[j] == L'}')) {
                    quantify(e[i + 1] == L'0' && j == i + 2);
                    i = close + 1;
                    continue;
                }
                if (depth == 0) {
                    run += c;  // a plain brace
                }
                break;
            }
            case L'^':
                shape.anchored = shape.anchored || i == 0;
                endRun();
                break;
            case L'.':
            case L'$':
                endRun();
                break;
            default:
                if (depth == 0 && c < 0x80) {
                    run += AsciiLower(c);
                } else if (depth == 0) {
                    endRun();
                }
                break;
        }
        ++i;
    }
    endRun();
    return shape;
}

// Whether the subject holds the literal, compared the way the matcher ignores case or more
// loosely: a character outside ASCII may be a letter's other case in some locale.
bool MayContain(std::wstring_view subject, std::wstring_view literal) {
    if (literal.size() > subject.size()) {
        return false;
    }
    const auto same = [](wchar_t s, wchar_t l) {
        return s < 0x80 ? AsciiLower(s) == l : IsAsciiLetter(l);
    };
    for (std::size_t i = 0; i + literal.size() <= subject.size(); ++i) {
        std::size_t k = 0;
        while (k < literal.size() && same(subject[i + k], literal[k])) {
            ++k;
        }
        if (k == literal.size()) {
            return true;
        }
    }
    return false;
}

}  // namespace

struct CompiledExpression {
    std::wregex depthFirst;
    // Where the library offers it and the expression has no back-reference: one pass over the
    // subject that looks for a match at every position at once.
    std::optional<std::wregex> breadthFirst;
    ExpressionShape shape;
    std::size_t states = 0;
};

namespace {

// The library reads the numbers of "{m,n}" and of back-references into a long without a
// bound, and overflows on twenty digits, even where the text is then refused as no quantifier.
// Nine digits are more than any count that passes the estimate.
bool HasOverlongNumber(std::wstring_view expression) {
    constexpr std::size_t kLongestNumber = 9;
    const auto overlong = [&](std::size_t from, bool commas) {
        std::size_t digits = 0;
        for (std::size_t j = from; j < expression.size(); ++j) {
            if (expression[j] >= L'0' && expression[j] <= L'9') {
                if (++digits > kLongestNumber) {
                    return true;
                }
            } else if (commas && expression[j] == L',') {
                digits = 0;
            } else {
                break;
            }
        }
        return false;
    };
    for (std::size_t i = 0; i < expression.size(); ++i) {
        if (expression[i] == L'\\') {
            if (overlong(i + 1, false)) {
                return true;
            }
            ++i;  // an escaped brace is a plain character
        } else if (expression[i] == L'{' && overlong(i + 1, true)) {
            return true;
        }
    }
    return false;
}

std::shared_ptr<const CompiledExpression> Compile(std::wstring_view expression) {
    StateEstimate estimate;
    if (expression.empty() || HasOverlongNumber(expression) || estimate.TooLarge(expression)) {
        // An empty expression would match every process there is.
        return nullptr;
    }
    try {
        auto compiled = std::make_shared<CompiledExpression>();
        compiled->depthFirst.assign(expression.begin(), expression.end(), kSyntax);
        compiled->shape = ShapeOf(expression);
        compiled->states = estimate.States();
        if (kBreadthFirst != std::regex_constants::syntax_option_type{}) {
            // Unanchored, the pass carries a way to skip any prefix, so that one pass from the
            // start finds a match wherever it begins.
            std::wstring wrapped;
            if (!compiled->shape.anchored) {
                wrapped = L"[\\s\\S]*?";
            }
            wrapped += L"(?:";
            wrapped += expression;
            wrapped += L")";
            try {
                compiled->breadthFirst.emplace(wrapped, kSyntax | kBreadthFirst);
            } catch (const std::regex_error&) {
                // A back-reference: depth-first only.
            }
        }
        return compiled;
    } catch (const std::exception&) {
        // regex_error for a bad or oversized expression, or bad_alloc: the rule is unusable.
        return nullptr;
    }
}

bool Search(const std::wregex& regex, std::wstring_view subject, SearchGuard& guard,
            std::regex_constants::match_flag_type flags) {
    const GuardedIterator first(subject.data(), &guard);
    const GuardedIterator last(subject.data() + subject.size(), &guard);
    return std::regex_search(first, last, regex, flags);
}

// The answer of an exact search, or none when the expression must be cut.
std::optional<bool> SearchCompiled(const CompiledExpression& compiled, std::wstring_view subject) {
    if (!compiled.shape.literal.empty() && !MayContain(subject, compiled.shape.literal)) {
        return false;
    }
    const auto where = compiled.shape.anchored ? std::regex_constants::match_continuous
                                               : std::regex_constants::match_default;
    if (!compiled.breadthFirst && subject.size() > kDepthFirstOnlySubjectLimit) {
        return std::nullopt;
    }
    try {
        SearchGuard guard(kBaseSteps + kStepsPerCharacter * subject.size());
        return Search(compiled.depthFirst, subject, guard, where);
    } catch (const SearchStopped&) {
        if (!compiled.breadthFirst) {
            return std::nullopt;
        }
    }
    try {
        const std::uint64_t passes = (subject.size() + 2) * (compiled.states + 2);
        SearchGuard guard(kBaseSteps + kBreadthFirstStepsPerStateAndCharacter * passes);
        return Search(*compiled.breadthFirst, subject, guard,
                      std::regex_constants::match_continuous);
    } catch (const SearchStopped&) {
        return std::nullopt;  // lookaheads that restart without end
    }
}

class RegexCache {
  public:
    static RegexCache& Instance() {
        static RegexCache cache;
        return cache;
    }

    // Null for an expression that cannot be used; that answer is kept too.
    std::shared_ptr<const CompiledExpression> Get(std::wstring_view expression) {
        {
            std::lock_guard lock(mutex_);
            const auto found = index_.find(std::wstring(expression));
            if (found != index_.end()) {
                order_.splice(order_.begin(), order_, found->second);
                return found->second->second;
            }
        }
        // Compiled outside the lock: another thread may compile the same one meanwhile.
        auto compiled = Compile(expression);
        try {
            std::lock_guard lock(mutex_);
            std::wstring key(expression);
            if (index_.find(key) == index_.end()) {
                order_.emplace_front(key, compiled);
                index_.emplace(std::move(key), order_.begin());
                if (order_.size() > kMaxCachedExpressions) {
                    index_.erase(order_.back().first);
                    order_.pop_back();
                }
            }
        } catch (const std::bad_alloc&) {
            // Not kept; compiled again next time.
        }
        return compiled;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        index_.clear();
        order_.clear();
    }
    std::size_t Size() {
        std::lock_guard lock(mutex_);
        return order_.size();
    }

    // An expression whose search was cut; true the first time.
    bool NoteCut(std::wstring_view expression) {
        std::lock_guard lock(mutex_);
        if (reported_.size() >= kMaxCachedExpressions) {
            return false;
        }
        const bool added = reported_.emplace(expression).second;
        if (added) {
            pendingCuts_.emplace_back(expression);
        }
        return added;
    }
    std::vector<std::wstring> TakeCuts() {
        std::lock_guard lock(mutex_);
        std::vector<std::wstring> cuts;
        cuts.swap(pendingCuts_);
        return cuts;
    }
    void ForgetCuts() {
        std::lock_guard lock(mutex_);
        reported_.clear();
        pendingCuts_.clear();
    }

  private:
    using Entry = std::pair<std::wstring, std::shared_ptr<const CompiledExpression>>;
    std::mutex mutex_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<std::wstring, std::list<Entry>::iterator> index_;
    std::set<std::wstring, std::less<>> reported_;
    std::vector<std::wstring> pendingCuts_;
};

}  // namespace

std::shared_ptr<const CompiledExpression> CompileRegex(std::wstring_view expression) {
    try {
        return RegexCache::Instance().Get(expression);
    } catch (const std::exception&) {
        return nullptr;
    }
}

RegexOutcome SearchCompiledRegex(const CompiledExpression* compiled, std::wstring_view expression,
                                 std::wstring_view subject) {
    if (compiled == nullptr) {
        return RegexOutcome::kUnusable;
    }
    try {
        if (const auto found = SearchCompiled(*compiled, subject)) {
            return *found ? RegexOutcome::kFound : RegexOutcome::kNotFound;
        }
        RegexCache::Instance().NoteCut(expression);
        return RegexOutcome::kAborted;
    } catch (const std::exception&) {
        // Other libraries give up with error_complexity or error_stack; or memory ran out.
        return RegexOutcome::kAborted;
    }
}

RegexOutcome SearchRegex(std::wstring_view expression, std::wstring_view subject) {
    const auto compiled = CompileRegex(expression);
    return SearchCompiledRegex(compiled.get(), expression, subject);
}

void ClearRegexCache() {
    RegexCache::Instance().Clear();
}

std::size_t RegexCacheSize() {
    return RegexCache::Instance().Size();
}

std::vector<std::wstring> TakeCutExpressions() {
    return RegexCache::Instance().TakeCuts();
}

std::wstring RegexCutRisk(std::wstring_view expression) {
    const auto compiled = RegexCache::Instance().Get(expression);
    if (!compiled || compiled->breadthFirst) {
        return {};
    }
    return L"has back-references, so it is searched depth-first only: in subjects of up to "
           L"2,048 characters, and cut (matching nothing) when the search runs away";
}

void ForgetCutExpressions() {
    RegexCache::Instance().ForgetCuts();
}

}  // namespace cv
