#pragma once
// Local time and its display, for the action log.
#include <cstdint>
#include <string>

namespace cv::platform {

// FileTimeToLocalFileTime; the time unchanged when the conversion fails.
std::uint64_t ToLocalFileTime(std::uint64_t utcFileTime);
// GetDateFormatW / GetTimeFormatW for the user default locale with an explicit pattern such as
// "MM-dd-yyyy" or "hh:mm:ss" (the time always in 24-hour form); empty on failure.
std::wstring FormatFileTimeDate(std::uint64_t fileTime, const std::wstring& pattern);
std::wstring FormatFileTimeTime(std::uint64_t fileTime, const std::wstring& pattern);

}  // namespace cv::platform
