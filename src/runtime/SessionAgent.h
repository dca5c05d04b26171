#pragma once
// The per-session agent's report, read from its command line.
#include <cstdint>
#include <string_view>

namespace cv {

struct SessionAgentReport {
    std::int32_t SessionId = -1;
    std::uint32_t ForegroundProcessId = 0xFFFFFFFF;
    std::uint32_t LastInputTick = 0;
};

// False for an empty text (report unchanged). Without "ipc0" the report keeps its defaults;
// with it, each field is read as hexadecimal at a fixed offset after the first occurrence of its
// tag, and a missing tag gives 0.
bool ParseSessionAgentCommandLine(std::wstring_view text, SessionAgentReport& report);

}  // namespace cv
