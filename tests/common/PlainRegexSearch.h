#pragma once
// The plain library search that the engine's prepared regular-expression search must always
// agree with: std::wregex, ECMAScript and case ignored, searched anywhere in the subject. Its
// steps over the subject (moves, reads and comparisons of positions) are counted, since random
// expressions include ones that backtrack for longer than a test or a fuzz run may take.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <regex>
#include <string>

namespace cv::test {

inline constexpr auto kPlainRegexSyntax =
    std::regex_constants::ECMAScript | std::regex_constants::icase;

class CountingIterator {
  public:
    struct OutOfSteps {};
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = wchar_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const wchar_t*;
    using reference = const wchar_t&;

    CountingIterator() = default;
    CountingIterator(const wchar_t* position, std::uint64_t* stepsLeft)
        : position_(position), stepsLeft_(stepsLeft) {}

    reference operator*() const {
        Step();
        return *position_;
    }
    pointer operator->() const { return position_; }
    CountingIterator& operator++() {
        Step();
        ++position_;
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator old = *this;
        ++*this;
        return old;
    }
    CountingIterator& operator--() {
        Step();
        --position_;
        return *this;
    }
    CountingIterator operator--(int) {
        CountingIterator old = *this;
        --*this;
        return old;
    }
    // Counted too: a search that repeats a part matching nothing only compares positions.
    friend bool operator==(const CountingIterator& a, const CountingIterator& b) {
        a.Step();
        return a.position_ == b.position_;
    }

  private:
    void Step() const {
        if (stepsLeft_ != nullptr && (*stepsLeft_)-- == 0) {
            throw OutOfSteps{};
        }
    }

    const wchar_t* position_ = nullptr;
    std::uint64_t* stepsLeft_ = nullptr;
};

// None when the library refuses the expression.
inline std::optional<std::wregex> PlainRegex(const std::wstring& expression) {
    try {
        return std::wregex(expression, kPlainRegexSyntax);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

// The plain search's answer; none when it takes more than `steps` steps.
inline std::optional<bool> PlainSearch(const std::wregex& regex, const std::wstring& subject,
                                       std::uint64_t steps) {
    try {
        return std::regex_search(CountingIterator(subject.data(), &steps),
                                 CountingIterator(subject.data() + subject.size(), &steps), regex);
    } catch (const CountingIterator::OutOfSteps&) {
        return std::nullopt;
    }
}

}  // namespace cv::test
