// Regular-expression rules. The expressions are the user's and the subject holds a whole
// command line (up to 32 K characters), and the standard library's matchers backtrack by
// recursion: ".*" alone costs some 270 bytes of stack per character and "(a+)+b" takes time
// exponential in the text. No thread here has a stack we can choose, so instead:
//  - an expression is rejected (matches nothing) when its automaton could be large or deeply
//    nested, which bounds both the compiler's recursion and any run of states the matcher
//    passes without touching the text;
//  - every search walks the subject through an iterator that counts its steps and measures the
//    stack below the search's start; over either allowance it throws and the search ends as
//    "aborted", which is no match. The step allowance grows with the subject, so any search
//    that is linear in it completes, and a runaway one stops within tens of milliseconds;
//  - the search runs depth-first, the faster way for ordinary rules; when that goes too deep
//    (".*" over a long command line) it runs again breadth-first where the library can
//    (libstdc++'s Thompson NFA), whose recursion depends on the expression only.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "config/ProcessMatch.h"

namespace cv {
namespace {

constexpr std::size_t kMaxEstimatedStates = 2000;
constexpr std::size_t kMaxGroupNesting = 32;
// An ordinary search takes 6 to 25 steps per character; a step costs 15 to 50 ns.
constexpr std::uint64_t kBaseSteps = 100'000;
constexpr std::uint64_t kStepsPerCharacter = 32;
// Well inside the 1 MB a Windows thread gets by default, beyond what the caller already uses.
constexpr std::uintptr_t kStackAllowance = 256 * 1024;
// Entries of older configurations are dropped all at once when this many have gathered.
constexpr std::size_t kMaxCachedExpressions = 512;

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
        return false;
    }

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

struct CompiledExpression {
    std::wregex depthFirst;
    // Where the library offers it and the expression has no back-reference.
    std::optional<std::wregex> breadthFirst;
};

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
    if (expression.empty() || HasOverlongNumber(expression) ||
        StateEstimate().TooLarge(expression)) {
        // An empty expression would match every process there is.
        return nullptr;
    }
    try {
        auto compiled = std::make_shared<CompiledExpression>();
        compiled->depthFirst.assign(expression.begin(), expression.end(), kSyntax);
        if (kBreadthFirst != std::regex_constants::syntax_option_type{}) {
            try {
                compiled->breadthFirst.emplace(expression.begin(), expression.end(),
                                               kSyntax | kBreadthFirst);
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

bool Search(const std::wregex& regex, std::wstring_view subject, SearchGuard& guard) {
    const GuardedIterator first(subject.data(), &guard);
    const GuardedIterator last(subject.data() + subject.size(), &guard);
    return std::regex_search(first, last, regex);
}

class RegexCache {
  public:
    static RegexCache& Instance() {
        static RegexCache cache;
        return cache;
    }

    // Null for an expression that cannot be used; that answer is kept too.
    std::shared_ptr<const CompiledExpression> Get(std::wstring_view expression) {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(expression);
        if (found != entries_.end()) {
            return found->second;
        }
        if (entries_.size() >= kMaxCachedExpressions) {
            entries_.clear();
        }
        auto compiled = Compile(expression);
        try {
            entries_.emplace(std::wstring(expression), compiled);
        } catch (const std::bad_alloc&) {
            // Not kept; compiled again next time.
        }
        return compiled;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }
    std::size_t Size() {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

  private:
    std::mutex mutex_;
    std::map<std::wstring, std::shared_ptr<const CompiledExpression>, std::less<>> entries_;
};

}  // namespace

RegexOutcome SearchRegex(std::wstring_view expression, std::wstring_view subject) {
    try {
        const auto compiled = RegexCache::Instance().Get(expression);
        if (!compiled) {
            return RegexOutcome::kUnusable;
        }
        // Both attempts share one allowance of steps.
        SearchGuard guard(kBaseSteps + kStepsPerCharacter * subject.size());
        try {
            return Search(compiled->depthFirst, subject, guard) ? RegexOutcome::kFound
                                                                : RegexOutcome::kNotFound;
        } catch (const SearchStopped& stopped) {
            if (!stopped.tooDeep || !compiled->breadthFirst) {
                return RegexOutcome::kAborted;
            }
        }
        return Search(*compiled->breadthFirst, subject, guard) ? RegexOutcome::kFound
                                                               : RegexOutcome::kNotFound;
    } catch (const SearchStopped&) {
        return RegexOutcome::kAborted;
    } catch (const std::exception&) {
        // Other libraries give up with error_complexity or error_stack; or memory ran out.
        return RegexOutcome::kAborted;
    }
}

void ClearRegexCache() {
    RegexCache::Instance().Clear();
}

std::size_t RegexCacheSize() {
    return RegexCache::Instance().Size();
}

}  // namespace cv
