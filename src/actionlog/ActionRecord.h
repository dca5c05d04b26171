#pragma once
// One logged action.
#include <cstdint>
#include <optional>
#include <string>

namespace cv {

struct ActionRecord {
    std::uint64_t utcTime = 0;    // FILETIME
    std::uint64_t localTime = 0;  // FILETIME
    std::uint32_t actionId = 0;
    std::uint32_t pid = 0;
    std::wstring machine;
    std::wstring user;
    std::wstring basename;
    std::wstring info;
    std::wstring path;
    std::wstring commandLine;
};

// What a caller tells about the process an action concerns. A user that is not given is the
// engine's own account; a command line is kept only when a configuration is given too.
struct ActionFacts {
    std::optional<std::wstring> user;
    std::wstring name;
    std::uint32_t pid = 0;
    std::wstring info;
    std::wstring path;
    std::optional<std::wstring> commandLine;
};

}  // namespace cv
