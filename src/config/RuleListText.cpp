#include "config/RuleListText.h"

#include <cstdlib>

#include "common/WideString.h"

namespace cv {

namespace {

// Noncharacters: they never occur in a real process name or path.
constexpr wchar_t kCommaMark = static_cast<wchar_t>(0xFFFF);
constexpr wchar_t kSemicolonMark = static_cast<wchar_t>(0xFFFE);

bool IsDigitOfBase(wchar_t c, int base, unsigned* digit) {
    unsigned value = 0;
    if (c >= L'0' && c <= L'9') {
        value = static_cast<unsigned>(c - L'0');
    } else if (c >= L'a' && c <= L'z') {
        value = static_cast<unsigned>(c - L'a') + 10;
    } else if (c >= L'A' && c <= L'Z') {
        value = static_cast<unsigned>(c - L'A') + 10;
    } else {
        return false;
    }
    if (value >= static_cast<unsigned>(base)) {
        return false;
    }
    *digit = value;
    return true;
}

bool IsAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

}  // namespace

std::vector<std::wstring> SplitTokens(std::wstring_view text, std::wstring_view separators) {
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of(separators, start);
        const std::size_t stop = end == std::wstring_view::npos ? text.size() : end;
        if (stop > start) {
            pieces.emplace_back(text.substr(start, stop - start));
        }
        start = stop + 1;
    }
    return pieces;
}

std::wstring AsciiLower(std::wstring_view text) {
    std::wstring result(text);
    for (auto& c : result) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + (L'a' - L'A'));
        }
    }
    return result;
}

std::wstring HideEscapes(std::wstring_view value, bool semicolons) {
    std::wstring result;
    result.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == L'\\' && i + 1 < value.size()) {
            const wchar_t next = value[i + 1];
            if (next == L',' || (semicolons && next == L';')) {
                result.push_back(next == L',' ? kCommaMark : kSemicolonMark);
                ++i;
                continue;
            }
        }
        result.push_back(value[i]);
    }
    return result;
}

std::wstring RestoreEscapes(std::wstring_view piece) {
    std::wstring result(piece);
    for (auto& c : result) {
        if (c == kCommaMark) {
            c = L',';
        } else if (c == kSemicolonMark) {
            c = L';';
        }
    }
    return result;
}

std::wstring EscapeName(std::wstring_view name, bool semicolons, bool guardEnd) {
    std::wstring result;
    result.reserve(name.size() + 4);
    for (const wchar_t c : name) {
        if (c == L',' || (semicolons && c == L';')) {
            result.push_back(L'\\');
        }
        result.push_back(c);
    }
    if (guardEnd && !result.empty() && result.back() == L'\\') {
        result.push_back(L' ');
    }
    return result;
}

std::wstring JoinWithCommas(const std::vector<std::wstring>& pieces) {
    std::wstring result;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i != 0) {
            result.push_back(L',');
        }
        result.append(pieces[i]);
    }
    return result;
}

std::uint32_t DecimalToUnsigned(std::wstring_view text) {
    const std::int32_t signedValue = WideToLong(text);
    if (signedValue < 0) {
        return static_cast<std::uint32_t>(signedValue);
    }
    return static_cast<std::uint32_t>(ScanUnsigned(text, 10, UINT32_MAX).value_or(0));
}

std::optional<std::uint64_t> ScanUnsigned(std::wstring_view text, int base,
                                          std::uint64_t maxValue) {
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    const bool hexPrefix =
        i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X');
    if (base == 0) {
        base = hexPrefix ? 16 : (i < text.size() && text[i] == L'0') ? 8 : 10;
    }
    if (base == 16 && hexPrefix) {
        unsigned digit = 0;
        // "0x" without a hexadecimal digit after it reads as the number 0.
        if (i + 2 < text.size() && IsDigitOfBase(text[i + 2], 16, &digit)) {
            i += 2;
        }
    }
    std::uint64_t value = 0;
    bool anyDigit = false;
    bool overflow = false;
    unsigned digit = 0;
    for (; i < text.size() && IsDigitOfBase(text[i], base, &digit); ++i) {
        anyDigit = true;
        const auto b = static_cast<std::uint64_t>(base);
        if (value > (maxValue - digit) / b) {
            overflow = true;
        } else {
            value = value * b + digit;
        }
    }
    if (!anyDigit) {
        return std::nullopt;
    }
    if (overflow) {
        return maxValue;
    }
    if (negative && value != 0) {
        // Negation in the unsigned type of the conversion.
        value = maxValue - value + 1;
    }
    return value;
}

std::optional<double> ScanDouble(std::wstring_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) {
        ++i;
    }
    // Only the plain decimal forms; the runtime's extras (hexadecimal, "inf", "nan") would
    // give values no writer of this file produces.
    std::size_t end = i;
    if (end < text.size() && (text[end] == L'+' || text[end] == L'-')) {
        ++end;
    }
    std::size_t digits = 0;
    while (end < text.size() && IsAsciiDigit(text[end])) {
        ++end;
        ++digits;
    }
    if (end < text.size() && text[end] == L'.') {
        ++end;
        while (end < text.size() && IsAsciiDigit(text[end])) {
            ++end;
            ++digits;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (end < text.size() && (text[end] == L'e' || text[end] == L'E')) {
        std::size_t exponent = end + 1;
        if (exponent < text.size() && (text[exponent] == L'+' || text[exponent] == L'-')) {
            ++exponent;
        }
        if (exponent < text.size() && IsAsciiDigit(text[exponent])) {
            while (exponent < text.size() && IsAsciiDigit(text[exponent])) {
                ++exponent;
            }
            end = exponent;
        }
    }
    std::string number;
    number.reserve(end - i);
    for (std::size_t k = i; k < end; ++k) {
        number.push_back(static_cast<char>(text[k]));
    }
    return std::strtod(number.c_str(), nullptr);
}

}  // namespace cv
