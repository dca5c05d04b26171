#include "platform/DateTime.h"
#include "platform/win32/WindowsApi.h"

namespace cv::platform {

namespace {

bool ToSystemTime(std::uint64_t fileTime, SYSTEMTIME& time) {
    FILETIME raw{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    return FileTimeToSystemTime(&raw, &time) != 0;
}

}  // namespace

std::uint64_t ToLocalFileTime(std::uint64_t utcFileTime) {
    FILETIME utc{static_cast<DWORD>(utcFileTime), static_cast<DWORD>(utcFileTime >> 32)};
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&utc, &local)) {
        return utcFileTime;
    }
    return (static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
}

std::wstring FormatFileTimeDate(std::uint64_t fileTime, const std::wstring& pattern) {
    SYSTEMTIME time{};
    wchar_t text[128] = {};
    if (!ToSystemTime(fileTime, time) ||
        GetDateFormatW(LOCALE_USER_DEFAULT, 0, &time, pattern.c_str(), text, 128) == 0) {
        return {};
    }
    return text;
}

std::wstring FormatFileTimeTime(std::uint64_t fileTime, const std::wstring& pattern) {
    SYSTEMTIME time{};
    wchar_t text[128] = {};
    if (!ToSystemTime(fileTime, time) ||
        GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &time, pattern.c_str(), text,
                       128) == 0) {
        return {};
    }
    return text;
}

CalendarTime SystemCalendarTime() {
    SYSTEMTIME time{};
    GetSystemTime(&time);
    return {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
}

std::wstring FormatSystemLocaleDateTime(std::uint64_t fileTime) {
    SYSTEMTIME time{};
    if (!ToSystemTime(fileTime, time)) {
        return {};
    }
    // The system locale by name, else by its identifier (Wine knows only the latter).
    wchar_t date[128] = {};
    wchar_t clock[128] = {};
    if (GetDateFormatEx(LOCALE_NAME_SYSTEM_DEFAULT, 0, &time, nullptr, date, 128, nullptr) != 0 &&
        GetTimeFormatEx(LOCALE_NAME_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &time, nullptr, clock,
                        128) != 0) {
        return std::wstring(date) + L" " + clock;
    }
    if (GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, nullptr, date, 128) != 0 &&
        GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &time, nullptr, clock,
                       128) != 0) {
        return std::wstring(date) + L" " + clock;
    }
    return {};
}

}  // namespace cv::platform
