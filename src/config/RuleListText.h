#pragma once
// Text primitives shared by the rule-list readers and writers: splitting, the backslash escapes,
// the lower-casing of keywords and the C-runtime-style number conversions. Nothing here throws
// or fails; bad text gives 0, nothing or an empty piece.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigFindings.h"

namespace cv {

// Cuts the text at every separator character; empty pieces are dropped.
std::vector<std::wstring> SplitTokens(std::wstring_view text, std::wstring_view separators);
// Cuts the text at every separator; empty pieces keep their places ("a;;b" is three fields).
std::vector<std::wstring> SplitFields(std::wstring_view text, wchar_t separator);

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

// Decimal reading for unsigned fields, as the INI document reads numbers (WideToLong): clamped
// to the signed range, and the 32-bit pattern of a negative value kept.
std::uint32_t DecimalToUnsigned(std::wstring_view text);
// The written form of an unsigned field that DecimalToUnsigned reads back unchanged: "%u", or
// the signed form for the values above the signed range, which only a negative text gives.
std::wstring FormatUnsignedDecimal(std::uint32_t value);

// Decimal conversion (WideToLong) that tells a sink about a text without digits, digits beyond
// the 32-bit range and text after the number. `what` names the field in the message. An empty
// or blank text is the format's own way to say 0 and is not reported.
std::int32_t ReadDecimalField(std::wstring_view text, std::wstring_view what, FindingSink* sink);
void CheckDecimalText(std::wstring_view text, std::wstring_view what, FindingSink* sink);

// "%f" reading of a field written back with two decimals: the value is held as the file will
// keep it, so that saving and reading again gives the same number. Values beyond what the
// writer prints are clamped to it; no number reads as 0.
float ReadTwoDecimalFloat(std::wstring_view text, std::wstring_view what, FindingSink* sink);
double ReadTwoDecimalDouble(std::wstring_view text, std::wstring_view what, FindingSink* sink);

// wcstoul: leading white space, an optional sign, digits of the base (base 0: "0x" hexadecimal,
// a leading 0 octal, else decimal). No digits gives no value; a value beyond maxValue is
// clamped to it, and a minus sign negates modulo maxValue + 1.
std::optional<std::uint64_t> ScanUnsigned(std::wstring_view text, int base, std::uint64_t maxValue);
// The same conversion, telling a sink about no digits, a value beyond maxValue, a minus sign and
// text after the number. An empty or blank text is not reported.
std::uint64_t ReadUnsignedField(std::wstring_view text, int base, std::uint64_t maxValue,
                                std::wstring_view what, FindingSink* sink);
// swscanf "%f" / "%lf": leading white space, then a decimal number with optional fraction and
// exponent. No number gives no value.
std::optional<double> ScanDouble(std::wstring_view text);

}  // namespace cv
