#pragma once
// Reading the engine's action log in end-to-end tests.
#include <string>
#include <vector>

#include "TempFolder.h"

namespace cv::e2e {

inline std::wstring Switches(const TempFolder& config, const TempFolder& logs) {
    return L"\"/configfolder=" + config.Path() + L"\" \"/logfolder=" + logs.Path() + L"\"";
}

// The log's record lines (after the byte order mark and the header).
inline std::vector<std::string> LogLines(const TempFolder& logs) {
    const std::string bytes = ReadBytes(logs.File(L"corvane.log"));
    std::vector<std::string> lines;
    std::size_t start = bytes.find("\r\n");
    while (start != std::string::npos && start + 2 < bytes.size()) {
        start += 2;
        const std::size_t end = bytes.find("\r\n", start);
        lines.push_back(bytes.substr(start, end - start));
        start = end;
    }
    return lines;
}

inline std::string ActionOf(const std::string& line) {
    // The seventh quoted field.
    std::size_t at = 0;
    for (int field = 0; field < 6; ++field) {
        at = line.find("\",\"", at) + 3;
    }
    return line.substr(at, line.find('"', at) - at);
}

inline bool HasAction(const TempFolder& logs, const std::string& action, const std::string& text = "") {
    for (const auto& line : LogLines(logs)) {
        if (ActionOf(line) == action && line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace cv::e2e
