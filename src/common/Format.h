#pragma once
// printf-style formatting of the product's message templates. The templates come from language
// modules, so %s always means a wide text, whatever the platform's own printf says. Understood:
// flags "-", "0", width, precision, the length prefixes l, ll, h, I64 and I32 (ignored), the
// conversions s, d, i, u, x, X, c, f and %%. An argument that is missing or of another kind prints nothing, and
// an unknown conversion is copied as it stands, so a damaged template can never crash.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace cv {

using FormatArg = std::variant<std::int64_t, std::uint64_t, std::wstring, double>;

std::wstring FormatTextArgs(std::wstring_view format, const std::vector<FormatArg>& args);

namespace detail {
template <typename T>
FormatArg ToFormatArg(const T& value) {
    if constexpr (std::is_convertible_v<T, std::wstring_view>) {
        return std::wstring(std::wstring_view(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        return static_cast<double>(value);
    } else if constexpr (std::is_signed_v<T>) {
        return static_cast<std::int64_t>(value);
    } else {
        return static_cast<std::uint64_t>(value);
    }
}
}  // namespace detail

template <typename... Args>
std::wstring FormatText(std::wstring_view format, const Args&... args) {
    return FormatTextArgs(format, std::vector<FormatArg>{detail::ToFormatArg(args)...});
}

}  // namespace cv
