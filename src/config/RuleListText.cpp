#include "config/RuleListText.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "common/Format.h"
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

std::size_t SkipWhiteSpace(std::wstring_view text, std::size_t i) {
    while (i < text.size() && IsWhiteSpace(text[i])) {
        ++i;
    }
    return i;
}

bool OnlyWhiteSpaceFrom(std::wstring_view text, std::size_t i) {
    return SkipWhiteSpace(text, i) == text.size();
}

// The number at the start of the text as swscanf "%f" takes it, and where it ends. None when
// there is no number. Plain: no exponent and at most two decimals.
std::optional<double> ScanDoubleEnd(std::wstring_view text, std::size_t* stop,
                                    bool* plain = nullptr) {
    const std::size_t i = SkipWhiteSpace(text, 0);
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
    std::size_t decimals = 0;
    if (end < text.size() && text[end] == L'.') {
        ++end;
        while (end < text.size() && IsAsciiDigit(text[end])) {
            ++end;
            ++digits;
            ++decimals;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    bool exponentRead = false;
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
            exponentRead = true;
        }
    }
    if (plain != nullptr) {
        *plain = !exponentRead && decimals <= 2;
    }
    std::string number;
    number.reserve(end - i);
    for (std::size_t k = i; k < end; ++k) {
        number.push_back(static_cast<char>(text[k]));
    }
    if (stop != nullptr) {
        *stop = end;
    }
    return std::strtod(number.c_str(), nullptr);
}

double ParseAscii(const std::wstring& text) {
    std::string narrow(text.begin(), text.end());
    return std::strtod(narrow.c_str(), nullptr);
}

std::wstring WhatPrefix(std::wstring_view what) {
    return what.empty() ? std::wstring() : std::wstring(what) + L" ";
}

// Reports what reading a "%f" field did to its text; `kept` is the value the file will hold.
void CheckFloatText(std::wstring_view text, std::wstring_view what, bool found, std::size_t stop,
                    bool clamped, bool changed, const std::wstring& keptText, FindingSink& sink) {
    const std::wstring field = WhatPrefix(what) + Quoted(text);
    if (!found) {
        if (!OnlyWhiteSpaceFrom(text, 0)) {
            sink.Report(FindingKind::kUnparsed, field + L" is not a number; read as 0");
        }
        return;
    }
    if (clamped) {
        sink.Report(FindingKind::kClamped, field +
                                               L" is beyond the largest number the file "
                                               L"keeps; read as " +
                                               keptText);
    } else if (changed) {
        sink.Report(FindingKind::kRewritten, field + L" is kept with two decimals, as " + keptText);
    }
    if (!OnlyWhiteSpaceFrom(text, stop)) {
        sink.Report(FindingKind::kUnparsed,
                    field + L" has text after the number, which is ignored");
    }
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

std::vector<std::wstring> SplitFields(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::wstring_view::npos) {
            fields.emplace_back(text.substr(start));
            return fields;
        }
        fields.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
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
    return static_cast<std::uint32_t>(WideToLong(text));
}

std::wstring FormatUnsignedDecimal(std::uint32_t value) {
    if (value > static_cast<std::uint32_t>(INT32_MAX)) {
        return FormatText(L"%d", static_cast<std::int32_t>(value));
    }
    return FormatText(L"%u", value);
}

void CheckDecimalText(std::wstring_view text, std::wstring_view what, FindingSink* sink) {
    if (sink == nullptr) {
        return;
    }
    std::size_t i = SkipWhiteSpace(text, 0);
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        ++i;
    }
    const std::size_t digits = i;
    while (i < text.size() && IsAsciiDigit(text[i])) {
        ++i;
    }
    const std::wstring field = WhatPrefix(what) + Quoted(text);
    if (i == digits) {
        if (!OnlyWhiteSpaceFrom(text, 0)) {
            sink->Report(FindingKind::kUnparsed, field + L" is not a number; read as 0");
        }
        return;
    }
    const std::int32_t value = WideToLong(text);
    // Beyond the range exactly when the digits, without leading zeros, outnumber or outweigh
    // the bound's.
    std::wstring_view number = text.substr(digits, i - digits);
    while (number.size() > 1 && number.front() == L'0') {
        number.remove_prefix(1);
    }
    const bool negative = digits > 0 && text[digits - 1] == L'-';
    const std::wstring_view bound = negative ? L"2147483648" : L"2147483647";
    if (number.size() > bound.size() || (number.size() == bound.size() && number > bound)) {
        sink->Report(FindingKind::kClamped,
                     field + L" is beyond the 32-bit range; read as " + std::to_wstring(value));
    }
    if (!OnlyWhiteSpaceFrom(text, i)) {
        sink->Report(FindingKind::kUnparsed,
                     field + L" has text after the number; read as " + std::to_wstring(value));
    }
}

std::int32_t ReadDecimalField(std::wstring_view text, std::wstring_view what, FindingSink* sink) {
    if (sink != nullptr) {
        CheckDecimalText(text, what, sink);
    }
    return WideToLong(text);
}

// Written with two decimals, a number of at most two decimals that the type holds to better
// than a hundredth reads back as itself; only the others need printing to learn what the file
// will keep.
float ReadTwoDecimalFloat(std::wstring_view text, std::wstring_view what, FindingSink* sink) {
    constexpr double kExactBelow = 1e5;  // float steps stay under a hundredth up to 2^17
    std::size_t stop = 0;
    bool plain = false;
    const std::optional<double> scanned = ScanDoubleEnd(text, &stop, &plain);
    double value = scanned.value_or(0);
    const bool clamped = value > FLT_MAX || value < -FLT_MAX;
    value = value > FLT_MAX ? FLT_MAX : value < -FLT_MAX ? -FLT_MAX : value;
    const auto read = static_cast<float>(value);
    if (plain && std::fabs(value) < kExactBelow) {
        if (sink != nullptr) {
            CheckFloatText(text, what, true, stop, false, false, L"", *sink);
        }
        return read;
    }
    // As the writer prints it ("%1.2f"), so that the next read finds the same number.
    const std::wstring keptText = FormatText(L"%1.2f", static_cast<double>(read));
    const auto kept = static_cast<float>(ParseAscii(keptText));
    if (sink != nullptr) {
        CheckFloatText(text, what, scanned.has_value(), stop, clamped, kept != read, keptText,
                       *sink);
    }
    return kept;
}

double ReadTwoDecimalDouble(std::wstring_view text, std::wstring_view what, FindingSink* sink) {
    constexpr double kExactBelow = 1e12;  // double steps stay far under a hundredth
    // The formatter prints nothing larger than this.
    constexpr double kLargest = 1e300;
    std::size_t stop = 0;
    bool plain = false;
    const std::optional<double> scanned = ScanDoubleEnd(text, &stop, &plain);
    double value = scanned.value_or(0);
    if (plain && std::fabs(value) < kExactBelow) {
        if (sink != nullptr) {
            CheckFloatText(text, what, true, stop, false, false, L"", *sink);
        }
        return value;
    }
    const bool clamped = value > kLargest || value < -kLargest;
    value = value > kLargest ? kLargest : value < -kLargest ? -kLargest : value;
    const std::wstring keptText = FormatText(L"%.2lf", value);
    const double kept = ParseAscii(keptText);
    if (sink != nullptr) {
        CheckFloatText(text, what, scanned.has_value(), stop, clamped, kept != value, keptText,
                       *sink);
    }
    return kept;
}

namespace {

struct UnsignedScan {
    std::optional<std::uint64_t> value;
    std::size_t stop = 0;
    bool overflow = false;
    bool negative = false;
};

UnsignedScan ScanUnsignedDetail(std::wstring_view text, int base, std::uint64_t maxValue) {
    UnsignedScan scan;
    std::size_t i = SkipWhiteSpace(text, 0);
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        scan.negative = text[i] == L'-';
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
    unsigned digit = 0;
    for (; i < text.size() && IsDigitOfBase(text[i], base, &digit); ++i) {
        anyDigit = true;
        const auto b = static_cast<std::uint64_t>(base);
        if (value > (maxValue - digit) / b) {
            scan.overflow = true;
        } else {
            value = value * b + digit;
        }
    }
    scan.stop = i;
    if (!anyDigit) {
        return scan;
    }
    if (scan.overflow) {
        scan.value = maxValue;
        return scan;
    }
    if (scan.negative && value != 0) {
        // Negation in the unsigned type of the conversion.
        value = maxValue - value + 1;
    }
    scan.value = value;
    return scan;
}

}  // namespace

std::optional<std::uint64_t> ScanUnsigned(std::wstring_view text, int base,
                                          std::uint64_t maxValue) {
    return ScanUnsignedDetail(text, base, maxValue).value;
}

std::uint64_t ReadUnsignedField(std::wstring_view text, int base, std::uint64_t maxValue,
                                std::wstring_view what, FindingSink* sink) {
    const UnsignedScan scan = ScanUnsignedDetail(text, base, maxValue);
    const std::uint64_t value = scan.value.value_or(0);
    if (sink == nullptr) {
        return value;
    }
    const std::wstring field = WhatPrefix(what) + Quoted(text);
    const std::wstring result = FormatText(L"%I64u", value);
    if (!scan.value) {
        if (!OnlyWhiteSpaceFrom(text, 0)) {
            sink->Report(FindingKind::kUnparsed, field + L" is not a number; read as 0");
        }
        return value;
    }
    if (scan.overflow) {
        sink->Report(FindingKind::kClamped, field + L" is beyond " + result + L"; read as it");
    } else if (scan.negative && value != 0) {
        sink->Report(FindingKind::kRewritten, field + L" is negative; read as " + result);
    }
    if (!OnlyWhiteSpaceFrom(text, scan.stop)) {
        sink->Report(FindingKind::kUnparsed,
                     field + L" has text after the number; read as " + result);
    }
    return value;
}

std::optional<double> ScanDouble(std::wstring_view text) {
    return ScanDoubleEnd(text, nullptr);
}

std::wstring Quoted(std::wstring_view text) {
    constexpr std::size_t kLongest = 60;
    std::wstring quoted = L"`";
    if (text.size() > kLongest) {
        quoted.append(text.substr(0, kLongest));
        quoted += L"...";
    } else {
        quoted.append(text);
    }
    quoted += L'`';
    return quoted;
}

}  // namespace cv
