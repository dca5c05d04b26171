#include "keeprunning/ProcessExit.h"

#include "actionlog/EngineTexts.h"
#include "common/Format.h"

namespace cv {

std::wstring FormatDuration(std::uint64_t hundredNanoseconds) {
    const std::uint64_t totalSeconds = hundredNanoseconds / 10'000'000;
    const std::uint64_t totalMinutes = totalSeconds / 60;
    const std::uint64_t totalHours = totalMinutes / 60;
    const std::uint64_t totalDays = totalHours / 24;
    const std::uint64_t totalWeeks = totalDays / 7;
    const std::uint64_t totalMonths = totalWeeks / 4;
    const struct {
        std::uint64_t value;
        std::uint32_t unitText;
    } parts[] = {
        {totalMonths / 12, 1246}, {totalMonths % 12, 1245}, {totalWeeks % 4, 454},
        {totalDays % 7, 455},     {totalHours % 24, 456},   {totalMinutes % 60, 683},
    };
    std::wstring text;
    for (const auto& part : parts) {
        if (part.value != 0) {
            text += FormatText(L"%llu %s ", part.value, EngineText(part.unitText));
        }
    }
    const std::uint64_t seconds = totalSeconds % 60;
    if (seconds != 0 || text.empty()) {
        text += FormatText(L"%llu %s", seconds, EngineText(684));
    }
    return text;
}

double AverageCpuPercent(std::uint64_t cpuTime, std::uint64_t runTime, std::uint32_t processors) {
    if (runTime == 0 || processors == 0) {
        return 0;
    }
    const float average = static_cast<float>(cpuTime) * 100.0f /
                          (static_cast<float>(processors) * static_cast<float>(runTime));
    return static_cast<double>(static_cast<std::int64_t>(average * 100.0f)) / 100.0;
}

}  // namespace cv
