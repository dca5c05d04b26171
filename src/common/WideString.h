#pragma once
// Text helpers shared by every subsystem. All text is wide; names of processes, users and paths
// are compared without regard to case.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cv {

// The one lower-casing of the product: rule lists, matching, the records and every comparison of
// names and paths use it, so a rule and a live process of the same name always meet. It covers
// the letters Windows itself compares without case (Latin, Greek, Cyrillic, Armenian, Georgian,
// fullwidth and the rest of the Basic Multilingual Plane), identically in both builds.
wchar_t ToLowerChar(wchar_t c);
std::wstring ToLower(std::wstring_view text);
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

bool IsWhiteSpace(wchar_t c);
std::wstring TrimRight(std::wstring_view text);
std::wstring Trim(std::wstring_view text);

bool StartsWith(std::wstring_view text, std::wstring_view prefix);
bool EndsWith(std::wstring_view text, std::wstring_view suffix);

// Decimal reading as the C runtime's wtol does: leading white space, an optional sign, then
// digits up to the first non-digit; no digits give 0. Values beyond the 32-bit range are clamped
// to it, as the Windows runtime does.
std::int32_t WideToLong(std::wstring_view text);

// Wide text to and from UTF-8, and to and from UTF-16 code units; correct whether wchar_t holds
// UTF-16 (Windows) or UTF-32 (Linux). Invalid sequences become U+FFFD.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);
std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(std::u16string_view units);
// Whether the bytes are well-formed UTF-8 throughout (plain ASCII is); the rules of
// MultiByteToWideChar with MB_ERR_INVALID_CHARS: no overlong forms, surrogates or values beyond
// U+10FFFF.
bool IsValidUtf8(std::string_view bytes);
// Plain ASCII to wide; bytes above 0x7F become U+FFFD.
std::wstring FromAscii(std::string_view text);

}  // namespace cv
