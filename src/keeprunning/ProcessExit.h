#pragma once
// The record of a process that ended: how long it ran and how much CPU it used on average.
#include <cstdint>
#include <string>

namespace cv {

// "1 hours 2 minutes 5 seconds"-style text with the localized unit names; a month is four
// weeks and a year twelve months.
std::wstring FormatDuration(std::uint64_t hundredNanoseconds);

// Average share of the whole machine over the run time, cut to two decimals.
double AverageCpuPercent(std::uint64_t cpuTime, std::uint64_t runTime, std::uint32_t processors);

}  // namespace cv
