#include "common/Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cv {

namespace {

std::wstring Digits(std::uint64_t value, unsigned base, bool upper) {
    const wchar_t* symbols = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring digits;
    do {
        digits.insert(digits.begin(), symbols[value % base]);
        value /= base;
    } while (value != 0);
    return digits;
}

std::wstring Pad(std::wstring text, std::size_t width, bool left, bool zero) {
    if (text.size() >= width) {
        return text;
    }
    const std::size_t fill = width - text.size();
    if (left) {
        return text + std::wstring(fill, L' ');
    }
    if (zero) {
        const std::size_t signLength = (!text.empty() && text[0] == L'-') ? 1 : 0;
        return text.substr(0, signLength) + std::wstring(fill, L'0') + text.substr(signLength);
    }
    return std::wstring(fill, L' ') + text;
}

}  // namespace

std::wstring FormatTextArgs(std::wstring_view format, const std::vector<FormatArg>& args) {
    std::wstring out;
    out.reserve(format.size() + 32);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const wchar_t c = format[i];
        if (c != L'%') {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::size_t start = i++;
        if (i < format.size() && format[i] == L'%') {
            out.push_back(L'%');
            ++i;
            continue;
        }
        bool left = false;
        bool zero = false;
        while (i < format.size() && (format[i] == L'-' || format[i] == L'0')) {
            (format[i] == L'-' ? left : zero) = true;
            ++i;
        }
        std::size_t width = 0;
        while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
            // A damaged template must not ask for gigabytes of padding.
            width = std::min<std::size_t>(width * 10 + static_cast<std::size_t>(format[i] - L'0'), 999);
            ++i;
        }
        int precision = -1;
        if (i < format.size() && format[i] == L'.') {
            precision = 0;
            ++i;
            while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') {
                precision = std::min(precision * 10 + (format[i] - L'0'), 60);
                ++i;
            }
        }
        for (bool more = true; more && i < format.size();) {
            const std::wstring_view rest = format.substr(i);
            if (rest.substr(0, 3) == L"I64" || rest.substr(0, 3) == L"I32") {
                i += 3;
            } else if (rest[0] == L'l' || rest[0] == L'h') {
                ++i;
            } else {
                more = false;
            }
        }
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        const wchar_t conversion = format[i++];
        const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
        std::wstring piece;
        switch (conversion) {
            case L's':
                ++next;
                if (arg != nullptr && std::holds_alternative<std::wstring>(*arg)) {
                    piece = std::get<std::wstring>(*arg);
                }
                break;
            case L'f': {
                ++next;
                if (arg == nullptr || std::holds_alternative<std::wstring>(*arg)) {
                    break;
                }
                double value = 0;
                if (std::holds_alternative<double>(*arg)) {
                    value = std::get<double>(*arg);
                } else if (std::holds_alternative<std::int64_t>(*arg)) {
                    value = static_cast<double>(std::get<std::int64_t>(*arg));
                } else {
                    value = static_cast<double>(std::get<std::uint64_t>(*arg));
                }
                if (!std::isfinite(value) || std::fabs(value) > 1e300) {
                    value = 0;
                }
                char buffer[400];
                std::snprintf(buffer, sizeof buffer, "%.*f", precision < 0 ? 6 : precision, value);
                for (const char* p = buffer; *p != '\0'; ++p) {
                    piece.push_back(static_cast<wchar_t>(*p));
                }
                break;
            }
            case L'c':
                ++next;
                if (arg != nullptr && !std::holds_alternative<std::wstring>(*arg) &&
                    !std::holds_alternative<double>(*arg)) {
                    const auto code = std::holds_alternative<std::int64_t>(*arg)
                                          ? static_cast<std::uint64_t>(std::get<std::int64_t>(*arg))
                                          : std::get<std::uint64_t>(*arg);
                    piece.push_back(static_cast<wchar_t>(code));
                }
                break;
            case L'd':
            case L'i':
            case L'u':
            case L'x':
            case L'X': {
                ++next;
                if (arg == nullptr || !(std::holds_alternative<std::int64_t>(*arg) ||
                                        std::holds_alternative<std::uint64_t>(*arg))) {
                    break;
                }
                const bool isSigned = std::holds_alternative<std::int64_t>(*arg);
                const std::int64_t signedValue =
                    isSigned ? std::get<std::int64_t>(*arg)
                             : static_cast<std::int64_t>(std::get<std::uint64_t>(*arg));
                const std::uint64_t unsignedValue =
                    isSigned ? static_cast<std::uint64_t>(std::get<std::int64_t>(*arg))
                             : std::get<std::uint64_t>(*arg);
                if (conversion == L'd' || conversion == L'i') {
                    piece = signedValue < 0 ? L"-" + Digits(0 - static_cast<std::uint64_t>(signedValue), 10, false)
                                            : Digits(static_cast<std::uint64_t>(signedValue), 10, false);
                } else if (conversion == L'u') {
                    piece = Digits(unsignedValue, 10, false);
                } else {
                    // Negative 32-bit values print as Windows does: the 32-bit pattern.
                    const std::uint64_t bits =
                        (isSigned && signedValue < 0 && signedValue >= INT32_MIN)
                            ? static_cast<std::uint32_t>(signedValue)
                            : unsignedValue;
                    piece = Digits(bits, 16, conversion == L'X');
                }
                break;
            }
            default:
                out.append(format.substr(start, i - start));
                continue;
        }
        out.append(Pad(std::move(piece), width, left, zero && !left));
    }
    return out;
}

}  // namespace cv
