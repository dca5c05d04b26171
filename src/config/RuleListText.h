#pragma once
// Text primitives shared by the rule-list readers and writers: splitting, the backslash escapes,
// the lower-casing of keywords and the C-runtime-style number conversions. Nothing here throws
// or fails; bad text gives 0, nothing or an empty piece.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cv {

// Cuts the text at every separator character; empty pieces are dropped.
std::vector<std::wstring> SplitTokens(std::wstring_view text, std::wstring_view separators);

// A to Z only, for the keywords of settings values ("all", "0x"). Names and paths in the lists
// are lower-cased with ToLower, the one comparison every rule and live process shares.
std::wstring AsciiLower(std::wstring_view text);

// "\," (and with semicolons "\;") become private placeholders before splitting, so the
// separators they stand for survive the split.
std::wstring HideEscapes(std::wstring_view value, bool semicolons);
// Turns the placeholders of one piece back into "," and ";".
std::wstring RestoreEscapes(std::wstring_view piece);
// A backslash before every "," (and ";"). With guardEnd, a name ending in a backslash gets a
// blank after it: the reader would otherwise take that backslash and the separator written after
// the name for an escape and merge the name with what follows. Only for pieces the reader trims.
std::wstring EscapeName(std::wstring_view name, bool semicolons, bool guardEnd);

// Joins the pieces with ",".
std::wstring JoinWithCommas(const std::vector<std::wstring>& pieces);

// Decimal reading for unsigned fields: as WideToLong for negative values (whose 32-bit pattern
// is kept), clamped to the unsigned range otherwise, so that every value written with "%u"
// reads back unchanged.
std::uint32_t DecimalToUnsigned(std::wstring_view text);

// wcstoul: leading white space, an optional sign, digits of the base (base 0: "0x" hexadecimal,
// a leading 0 octal, else decimal). No digits gives no value; a value beyond maxValue is
// clamped to it, and a minus sign negates modulo maxValue + 1.
std::optional<std::uint64_t> ScanUnsigned(std::wstring_view text, int base, std::uint64_t maxValue);
// swscanf "%f" / "%lf": leading white space, then a decimal number with optional fraction and
// exponent. No number gives no value.
std::optional<double> ScanDouble(std::wstring_view text);

}  // namespace cv
