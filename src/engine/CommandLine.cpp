#include "engine/CommandLine.h"

#include "common/WideString.h"

namespace cv {

namespace {

// The text after the first occurrence of the switch, or no value when it is absent.
std::optional<std::wstring_view> TextAfter(std::wstring_view line, std::wstring_view name) {
    const std::size_t at = line.find(name);
    if (at == std::wstring_view::npos) {
        return std::nullopt;
    }
    return line.substr(at + name.size());
}

bool IsCurrentDirectoryDot(std::wstring_view value) {
    return value == L"." || value == L".\\" || value == L"./";
}

}  // namespace

std::wstring GetSwitchValue(std::wstring_view textAfterEquals) {
    const std::wstring text = TrimRight(textAfterEquals);
    const std::size_t quote = text.find(L'"');
    if (quote != std::wstring::npos) {
        return text.substr(0, quote);
    }
    return text.substr(0, text.find(L' '));
}

CommandLineSwitches ParseCommandLine(const std::wstring& commandLine,
                                     const std::wstring& currentDirectory) {
    CommandLineSwitches switches;
    if (const auto rest = TextAfter(commandLine, L"/restart=")) {
        switches.restartProcessId = static_cast<std::uint32_t>(WideToLong(GetSwitchValue(*rest)));
    }
    switches.manual = commandLine.find(L"/manual") != std::wstring::npos;
    switches.exit = commandLine.find(L"/exit") != std::wstring::npos;
    if (const auto rest = TextAfter(commandLine, L"/check=")) {
        switches.check = GetSwitchValue(*rest);
    } else if (commandLine.find(L"/check") != std::wstring::npos) {
        switches.check = std::wstring();
    }

    const std::wstring lower = ToLower(commandLine);
    if (const auto rest = TextAfter(lower, L"/configfile=")) {
        const std::wstring value = GetSwitchValue(*rest);
        const std::size_t separator = value.find_last_of(L"\\/");
        switches.configFolder = (separator == std::wstring::npos || separator == 0)
                                    ? value
                                    : value.substr(0, separator);
    }
    if (const auto rest = TextAfter(lower, L"/logfolder=")) {
        std::wstring value = TrimRight(GetSwitchValue(*rest));
        if (IsCurrentDirectoryDot(value)) {
            value = currentDirectory;
        }
        switches.logFolder = value;
    }
    if (const auto rest = TextAfter(lower, L"/configfolder=")) {
        std::wstring value = Trim(GetSwitchValue(*rest));
        if (IsCurrentDirectoryDot(value)) {
            value = currentDirectory;
        }
        if (!value.empty() && (value.back() == L'\\' || value.back() == L'/')) {
            value.pop_back();
        }
        switches.configFolder = value;
    }
    return switches;
}

}  // namespace cv
