#include "common/WideString.h"

#include <climits>

namespace cv {

wchar_t ToLowerChar(wchar_t c) {
    const auto u = static_cast<std::uint32_t>(c);
    if (u < 0x80) {
        return (u >= 'A' && u <= 'Z') ? static_cast<wchar_t>(u + 32) : c;
    }
    // Latin-1, Greek and Cyrillic capitals: the letters that appear in user and program names.
    if ((u >= 0xC0 && u <= 0xDE && u != 0xD7) || (u >= 0x391 && u <= 0x3AB && u != 0x3A2) ||
        (u >= 0x410 && u <= 0x42F)) {
        return static_cast<wchar_t>(u + 32);
    }
    if (u >= 0x400 && u <= 0x40F) {
        return static_cast<wchar_t>(u + 80);
    }
    if (u >= 0x100 && u <= 0x17F && u != 0x130 && u != 0x131 && u != 0x138 && u != 0x149 &&
        u != 0x17F) {
        // Latin Extended-A pairs: even capital, odd small, except one run of odd capitals.
        const bool oddCapitals = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
        const bool isCapital = oddCapitals ? (u % 2 == 1) : (u % 2 == 0);
        return isCapital ? static_cast<wchar_t>(u + 1) : c;
    }
    return c;
}

std::wstring ToLower(std::wstring_view text) {
    std::wstring result(text);
    for (auto& c : result) {
        c = ToLowerChar(c);
    }
    return result;
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToLowerChar(a[i]) != ToLowerChar(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsWhiteSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring TrimRight(std::wstring_view text) {
    std::size_t end = text.size();
    while (end > 0 && IsWhiteSpace(text[end - 1])) {
        --end;
    }
    return std::wstring(text.substr(0, end));
}

std::wstring Trim(std::wstring_view text) {
    std::size_t begin = 0;
    while (begin < text.size() && IsWhiteSpace(text[begin])) {
        ++begin;
    }
    return TrimRight(text.substr(begin));
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::wstring_view text, std::wstring_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::int32_t WideToLong(std::wstring_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > std::int64_t{INT32_MAX} + 1) {
            value = std::int64_t{INT32_MAX} + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

template <typename Sink>
void ForEachCodePoint(std::wstring_view text, Sink sink) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<char32_t>(static_cast<std::uint32_t>(text[i]));
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const auto low = static_cast<char32_t>(static_cast<std::uint16_t>(text[i + 1]));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = kReplacement;
        }
        sink(c);
    }
}

void AppendCodePoint(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(c));
}

}  // namespace

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&out](char32_t c) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    });
    return out;
}

std::wstring FromUtf8(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        int extra = 0;
        char32_t c = 0;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            c = b & 0x07;
        } else {
            AppendCodePoint(out, kReplacement);
            ++i;
            continue;
        }
        if (i + static_cast<std::size_t>(extra) >= bytes.size()) {
            // A sequence cut off by the end of the text.
            AppendCodePoint(out, kReplacement);
            ++i;
            continue;
        }
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            AppendCodePoint(out, kReplacement);
            ++i;
            continue;
        }
        AppendCodePoint(out, c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::u16string ToUtf16(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&out](char32_t c) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    });
    return out;
}

std::wstring FromUtf16(std::u16string_view units) {
    std::wstring out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendCodePoint(out, c);
    }
    return out;
}

std::wstring FromAscii(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        out.push_back(b < 0x80 ? static_cast<wchar_t>(b) : static_cast<wchar_t>(kReplacement));
    }
    return out;
}

}  // namespace cv
