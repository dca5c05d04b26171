// Regular-expression rules. The expressions are the user's and the subject holds a whole
// command line (up to 32 K characters), and the standard library's matchers backtrack by
// recursion: a ".*" costs hundreds of bytes of stack per character and "(a+)+b" takes time
// exponential in the text. So:
//  - an expression is rejected (matches nothing) when its automaton could be large or deeply
//    nested, which bounds both the compiler's recursion and any run of states the matcher
//    passes without touching the text;
//  - a literal that every match must contain is looked for first, and an expression anchored at
//    the start is tried at the start only, which settles most rules without the matcher. Both
//    are read from the expression exactly as the library reads it; one read any other way gets
//    neither;
//  - look-aheads that open an unanchored expression are tried only where what follows them
//    matches, as each is a search of its own to the subject's end;
//  - the search runs depth-first, the faster way for ordinary rules, through an iterator that
//    counts its steps and measures the stack below the search's start. When either allowance
//    is used up, an expression without back-references is searched again breadth-first
//    (libstdc++'s Thompson NFA) in one pass over the subject, whose cost is the subject's
//    length times the expression's states and whose recursion depends on the expression only.
//    Its answer is exact, so which build, compiler or frame size made the first attempt stop
//    never changes an answer;
//  - two kinds of expression can be cut: one with back-references, when its steps run out or
//    the subject is longer than the depth-first search may go, and one with look-aheads, when
//    they are tried at so many positions that the breadth-first pass runs out too
//    (RegexCutRisk names both). A cut search is "aborted", which is no match, and is reported
//    once (TakeCutExpressions).
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
#include <string_view>
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

// The shortcuts read expressions the way libstdc++ does; with another library, none is taken.
#if defined(__GLIBCXX__)
constexpr bool kShapesFollowTheLibrary = true;
#else
constexpr bool kShapesFollowTheLibrary = false;
#endif

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// Where the escape whose backslash stands before i ends, as the library reads it: "\cX",
// "\xHH", "\uHHHH" and the digits of a back-reference go with it, while "\0" is one character
// and digits after it are plain. npos for an escape the library refuses.
std::size_t EscapeEnd(std::wstring_view e, std::size_t i) {
    if (i >= e.size()) {
        return std::wstring_view::npos;
    }
    const wchar_t c = e[i++];
    if (c == L'c') {
        return i < e.size() ? i + 1 : std::wstring_view::npos;
    }
    if (c == L'x' || c == L'u') {
        const std::size_t end = i + (c == L'x' ? 2 : 4);
        for (; i < end; ++i) {
            if (i >= e.size() || !IsHexDigit(e[i])) {
                return std::wstring_view::npos;
            }
        }
        return end;
    }
    if (c >= L'1' && c <= L'9') {
        while (i < e.size() && e[i] >= L'0' && e[i] <= L'9') {
            ++i;
        }
    }
    return i;
}

// Where the bracket expression opening at i ends, as ECMAScript reads it: "[]" matches
// nothing and "[^]" anything, both closed at once; "[:name:]", "[=x=]" and "[.x.]" hold a
// "]" of their own; an escape may hold one too. npos for one the library refuses.
std::size_t BracketEnd(std::wstring_view e, std::size_t i) {
    ++i;
    if (i < e.size() && e[i] == L'^') {
        ++i;
    }
    while (i < e.size()) {
        const wchar_t c = e[i++];
        if (c == L']') {
            return i;
        }
        if (c == L'\\') {
            i = EscapeEnd(e, i);
            if (i == std::wstring_view::npos) {
                return i;
            }
        } else if (c == L'[' && i < e.size() && (e[i] == L':' || e[i] == L'=' || e[i] == L'.')) {
            // Up to the first of the same mark, which a "]" must follow.
            const wchar_t mark = e[i++];
            while (i < e.size() && e[i] != mark) {
                ++i;
            }
            if (i + 1 >= e.size() || e[i + 1] != L']') {
                return std::wstring_view::npos;
            }
            i += 2;
        }
    }
    return std::wstring_view::npos;
}

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
            case L'\\': {
                const std::size_t end = EscapeEnd(text, i + 1);
                Atom(1);
                return end == std::wstring_view::npos ? i + 2 : end;
            }
            case L'[': {
                const std::size_t end = BracketEnd(text, i);
                Atom(1);
                // One the library refuses: the rest is counted as plain characters.
                return end == std::wstring_view::npos ? i + 1 : end;
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
    // Look-aheads anywhere in the expression (guessed from the text when it was not read).
    std::size_t lookaheads = 0;
    // Where the look-aheads that open an unanchored top level without alternatives or
    // back-references end, when more follows; else 0.
    std::size_t leadingLookaheadsEnd = 0;
};

namespace {

// Reads the expression as libstdc++'s ECMAScript scanner and compiler do, for what its top
// level says about every match. Anything read otherwise than exactly so gives no shape: the
// shortcuts are then not taken, which costs time and never an answer.
class ShapeReader {
  public:
    explicit ShapeReader(std::wstring_view expression) : e_(expression) {}

    ExpressionShape Read() {
        if (!kShapesFollowTheLibrary || !Disjunction(0) || i_ != e_.size()) {
            ExpressionShape unread;
            for (const std::wstring_view opening : {L"(?=", L"(?!"}) {
                for (std::size_t at = e_.find(opening); at != std::wstring_view::npos;
                     at = e_.find(opening, at + 1)) {
                    ++unread.lookaheads;
                }
            }
            return unread;
        }
        EndRun();
        if (alternatives_) {
            // Either side may match: nothing is required, nothing anchored.
            return ExpressionShape{.lookaheads = shape_.lookaheads};
        }
        if (!backReferences_ && leadingLookaheadsEnd_ < e_.size()) {
            shape_.leadingLookaheadsEnd = leadingLookaheadsEnd_;
        }
        return shape_;
    }

  private:
    // How often a quantified atom occurs: at least `least` times (2 stands for more), and
    // whether at most once.
    struct Count {
        std::size_t least = 1;
        bool atMostOnce = true;
    };

    bool Disjunction(int depth) {
        for (;;) {
            while (i_ < e_.size() && e_[i_] != L'|' && e_[i_] != L')') {
                if (!Term(depth)) {
                    return false;
                }
            }
            if (i_ == e_.size() || e_[i_] != L'|') {
                return true;
            }
            alternatives_ = alternatives_ || depth == 0;
            ++i_;
        }
    }
    bool CloseGroup() {
        if (i_ == e_.size() || e_[i_] != L')') {
            return false;
        }
        ++i_;
        return true;
    }
    bool QuantifierAt() const {
        return i_ < e_.size() && std::wstring_view(L"*+?{").find(e_[i_]) != std::wstring_view::npos;
    }

    bool Term(int depth) {
        const std::wstring_view rest = e_.substr(i_);
        // Assertions: the library takes no quantifier after them.
        if (rest[0] == L'^' || rest[0] == L'$' || rest.starts_with(L"\\b") ||
            rest.starts_with(L"\\B") || rest.starts_with(L"(?=") || rest.starts_with(L"(?!")) {
            shape_.anchored = shape_.anchored || (i_ == 0 && rest[0] == L'^');
            EndRun();
            if (rest[0] == L'(') {
                ++shape_.lookaheads;
                i_ += 3;
                if (!Disjunction(depth + 1) || !CloseGroup()) {
                    return false;
                }
                if (depth == 0 && onlyLookaheads_) {
                    leadingLookaheadsEnd_ = i_;
                }
            } else {
                onlyLookaheads_ = onlyLookaheads_ && depth > 0;
                i_ += rest[0] == L'\\' ? 2 : 1;
            }
            return !QuantifierAt();
        }
        onlyLookaheads_ = onlyLookaheads_ && depth > 0;
        std::optional<wchar_t> literal;
        if (!Atom(depth, literal)) {
            return false;
        }
        Count count;
        while (QuantifierAt()) {
            if (!Quantifier(count)) {
                return false;
            }
        }
        if (depth > 0) {
            return true;
        }
        if (!literal || count.least == 0) {
            EndRun();
            return true;
        }
        run_ += *literal;
        if (count.least > 1 || !count.atMostOnce) {
            EndRun();  // what follows may come after more copies
        }
        return true;
    }

    // One atom at i_; `literal` is set for a plain ASCII character at the top level, in lower
    // case.
    bool Atom(int depth, std::optional<wchar_t>& literal) {
        const wchar_t c = e_[i_];
        switch (c) {
            case L'*':
            case L'+':
            case L'?':
            case L'{':
                return false;  // a quantifier with nothing to repeat
            case L'.':
                ++i_;
                return true;
            case L'[':
                i_ = BracketEnd(e_, i_);
                return i_ != std::wstring_view::npos;
            case L'(':
                EndRun();
                if (e_.substr(i_, 2) == L"(?") {
                    if (e_.substr(i_, 3) != L"(?:") {
                        return false;
                    }
                    ++i_;
                    ++i_;
                }
                ++i_;
                return Disjunction(depth + 1) && CloseGroup();
            case L'\\':
                return Escape(depth, literal);
            default:
                ++i_;
                if (depth == 0 && c < 0x80) {
                    literal = AsciiLower(c);
                }
                return true;
        }
    }

    bool Escape(int depth, std::optional<wchar_t>& literal) {
        const std::size_t end = EscapeEnd(e_, i_ + 1);
        if (end == std::wstring_view::npos) {
            return false;
        }
        const wchar_t c = e_[i_ + 1];
        std::optional<wchar_t> character;
        if (c == L'x' || c == L'u') {
            std::uint32_t value = 0;
            for (std::size_t k = i_ + 2; k < end; ++k) {
                const wchar_t d = e_[k];
                value = value * 16 + static_cast<std::uint32_t>(
                                         d <= L'9' ? d - L'0' : AsciiLower(d) - L'a' + 10);
            }
            if (value < 0x80) {
                character = static_cast<wchar_t>(value);
            }
        } else if (c < 0x80 && !IsAsciiAlphanumeric(c)) {
            character = c;  // an escaped punctuation mark is itself
        } else if (c >= L'1' && c <= L'9') {
            backReferences_ = true;
        }
        if (depth == 0 && character) {
            literal = AsciiLower(*character);
        }
        i_ = end;
        return true;
    }

    // "*", "+", "?" or a count, each maybe followed by the "?" that makes it lazy; each
    // applies to all before it.
    bool Quantifier(Count& count) {
        std::size_t least = 0;
        bool atMostOnce = false;
        const wchar_t c = e_[i_++];
        if (c == L'+') {
            least = 1;
        } else if (c == L'?') {
            atMostOnce = true;
        } else if (c == L'{') {
            const auto number = [&]() -> std::optional<std::size_t> {
                const std::size_t from = i_;
                std::size_t value = 0;
                for (; i_ < e_.size() && e_[i_] >= L'0' && e_[i_] <= L'9'; ++i_) {
                    value = std::min<std::size_t>(value * 10 + (e_[i_] - L'0'), kMaxNumber);
                }
                return i_ > from ? std::optional(value) : std::nullopt;
            };
            const auto low = number();
            if (!low) {
                return false;
            }
            std::optional<std::size_t> high = low;
            if (i_ < e_.size() && e_[i_] == L',') {
                ++i_;
                high = number();  // none: no upper bound
                if (high && *high < *low) {
                    return false;
                }
            }
            if (i_ == e_.size() || e_[i_] != L'}') {
                return false;
            }
            ++i_;
            least = *low;
            atMostOnce = high && *high <= 1;
        }
        if (i_ < e_.size() && e_[i_] == L'?') {
            ++i_;  // lazy
        }
        count.least = std::min<std::size_t>(count.least * least, 2);
        count.atMostOnce = count.atMostOnce && atMostOnce;
        return true;
    }

    void EndRun() {
        if (run_.size() > shape_.literal.size()) {
            shape_.literal = run_;
        }
        run_.clear();
    }

    static constexpr std::size_t kMaxNumber = 1'000'000'000;

    std::wstring_view e_;
    std::size_t i_ = 0;
    ExpressionShape shape_;
    std::wstring run_;
    bool alternatives_ = false;
    bool backReferences_ = false;
    bool onlyLookaheads_ = true;  // at the top level so far
    std::size_t leadingLookaheadsEnd_ = 0;
};

ExpressionShape ShapeOf(std::wstring_view expression) {
    return ShapeReader(expression).Read();
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
        std::wstring searched(expression);
        if (const std::size_t end = compiled->shape.leadingLookaheadsEnd;
            end > 0 && compiled->states * 2 <= kMaxEstimatedStates) {
            // Each look-ahead is a search of its own to the subject's end, tried at every
            // position: "(?!.*x)y" costs the square of the length. A match starts only where
            // what follows them matches, so that is looked for first, and it mostly fails at
            // once. Without back-references the copy changes no answer.
            searched = L"(?=" + std::wstring(expression.substr(end)) + L")" + searched;
            compiled->depthFirst.assign(searched, kSyntax);
        }
        if (kBreadthFirst != std::regex_constants::syntax_option_type{}) {
            // Unanchored, the pass carries a way to skip any prefix, so that one pass from the
            // start finds a match wherever it begins.
            std::wstring wrapped;
            if (!compiled->shape.anchored) {
                wrapped = L"[\\s\\S]*?";
            }
            wrapped += L"(?:";
            wrapped += searched;
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
    if (!compiled) {
        return {};
    }
    if (!compiled->breadthFirst) {
        return L"has back-references, so it is searched depth-first only: in subjects of up to "
               L"2,048 characters, and cut (matching nothing) when the search runs away";
    }
    if (compiled->shape.lookaheads > 0) {
        return L"has look-aheads, each a search of its own that may be tried at every position "
               L"of the subject: on a long subject the search may be cut (matching nothing)";
    }
    return {};
}

void ForgetCutExpressions() {
    RegexCache::Instance().ForgetCuts();
}

}  // namespace cv
