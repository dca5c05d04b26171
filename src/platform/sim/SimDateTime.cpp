// Local time of the simulated machine: UTC plus the machine's offset, shown with the pattern
// letters the engine uses (yyyy, MM, dd, hh/HH, mm, ss).
#include <cstdio>

#include "platform/DateTime.h"
#include "platform/sim/SimMachine.h"

namespace cv::platform {

namespace {

struct Civil {
    int year, month, day, hour, minute, second;
};

Civil ToCivil(std::uint64_t fileTime) {
    const std::int64_t seconds = static_cast<std::int64_t>(fileTime / 10'000'000);
    // 1601-01-01 starts a 400-year cycle.
    const std::int64_t days = seconds / 86400;
    const std::int64_t rest = seconds % 86400;
    // Days since 1601-01-01 to a civil date (proleptic Gregorian, 400-year cycles).
    const std::int64_t cycles = days / 146097;
    std::int64_t dayOfCycle = days % 146097;
    std::int64_t centuries = dayOfCycle / 36524;
    if (centuries == 4) {
        centuries = 3;
    }
    dayOfCycle -= centuries * 36524;
    const std::int64_t quads = dayOfCycle / 1461;
    dayOfCycle -= quads * 1461;
    std::int64_t years = dayOfCycle / 365;
    if (years == 4) {
        years = 3;
    }
    std::int64_t dayOfYear = dayOfCycle - years * 365;
    const std::int64_t year = 1601 + cycles * 400 + centuries * 100 + quads * 4 + years;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int monthDays[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 0;
    while (dayOfYear >= monthDays[month]) {
        dayOfYear -= monthDays[month];
        ++month;
    }
    return {static_cast<int>(year), month + 1, static_cast<int>(dayOfYear) + 1,
            static_cast<int>(rest / 3600), static_cast<int>(rest % 3600 / 60),
            static_cast<int>(rest % 60)};
}

std::wstring Apply(const std::wstring& pattern, const Civil& c) {
    std::wstring out;
    for (std::size_t i = 0; i < pattern.size();) {
        auto take = [&](const wchar_t* token, int value, int width) {
            const std::wstring t(token);
            if (pattern.compare(i, t.size(), t) != 0) {
                return false;
            }
            wchar_t buffer[16];
            std::swprintf(buffer, 16, L"%0*d", width, value);
            out += buffer;
            i += t.size();
            return true;
        };
        if (take(L"yyyy", c.year, 4) || take(L"MM", c.month, 2) || take(L"dd", c.day, 2) ||
            take(L"hh", c.hour, 2) || take(L"HH", c.hour, 2) || take(L"mm", c.minute, 2) ||
            take(L"ss", c.second, 2)) {
            continue;
        }
        out.push_back(pattern[i++]);
    }
    return out;
}

}  // namespace

std::uint64_t ToLocalFileTime(std::uint64_t utcFileTime) {
    const std::int64_t offset = sim::Machine::Get().localTimeOffsetMinutes;
    return utcFileTime + static_cast<std::uint64_t>(offset * 60 * 10'000'000);
}

std::wstring FormatFileTimeDate(std::uint64_t fileTime, const std::wstring& pattern) {
    return Apply(pattern, ToCivil(fileTime));
}

std::wstring FormatFileTimeTime(std::uint64_t fileTime, const std::wstring& pattern) {
    return Apply(pattern, ToCivil(fileTime));
}

CalendarTime SystemCalendarTime() {
    const Civil c = ToCivil(sim::Machine::kEpochFileTime + sim::Machine::Get().Now() * 10'000);
    return {c.year, c.month, c.day, c.hour, c.minute, c.second};
}

// The simulated machine's system locale writes dates month first.
std::wstring FormatSystemLocaleDateTime(std::uint64_t fileTime) {
    return Apply(L"MM/dd/yyyy HH:mm:ss", ToCivil(fileTime));
}

}  // namespace cv::platform
