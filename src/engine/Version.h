#pragma once
// The engine's version banner.
#include <cstdint>

namespace cv {

inline constexpr wchar_t kVersionText[] = L"1.0.0";
inline constexpr std::uint32_t kBuildNumber = 5990600;
inline constexpr wchar_t kNoticeText[] = L"Vigilor process-management engine";

}  // namespace cv
