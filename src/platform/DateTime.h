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

// A UTC time broken into its calendar fields (GetSystemTime).
struct CalendarTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};
CalendarTime SystemCalendarTime();
// The time as it stands (no conversion to local time), with the system default locale's date
// format and its time in 24-hour form, joined by one space; empty on failure.
std::wstring FormatSystemLocaleDateTime(std::uint64_t fileTime);

}  // namespace cv::platform
