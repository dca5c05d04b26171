#include "runtime/SessionAgent.h"

namespace cv {

namespace {

std::uint32_t HexFieldAfter(std::wstring_view text, std::wstring_view tag, std::size_t offset) {
    const std::size_t at = text.find(tag);
    if (at == std::wstring_view::npos || at + offset >= text.size()) {
        return 0;
    }
    std::uint32_t value = 0;
    for (std::size_t i = at + offset; i < text.size(); ++i) {
        const wchar_t c = text[i];
        std::uint32_t digit = 0;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<std::uint32_t>(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<std::uint32_t>(c - L'a' + 10);
        } else if (c >= L'A' && c <= L'F') {
            digit = static_cast<std::uint32_t>(c - L'A' + 10);
        } else {
            break;
        }
        value = (value << 4) | digit;
    }
    return value;
}

}  // namespace

bool ParseSessionAgentCommandLine(std::wstring_view text, SessionAgentReport& report) {
    if (text.empty()) {
        return false;
    }
    if (text.find(L"ipc0") == std::wstring_view::npos) {
        return true;
    }
    // The offset is the tag plus one separator character.
    report.SessionId = static_cast<std::int32_t>(HexFieldAfter(text, L"si", 3));
    report.ForegroundProcessId = HexFieldAfter(text, L"fpid", 5);
    report.LastInputTick = HexFieldAfter(text, L"litm", 5);
    return true;
}

}  // namespace cv
