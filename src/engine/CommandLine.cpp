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

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// Where an argument of the line starts with the switch: at the line's start or after a blank,
// or just inside a quote that opens an argument. A switch name inside a value (a folder written
// with '/') is no switch.
std::size_t FindSwitchAtArgumentStart(std::wstring_view line, std::wstring_view name,
                                      std::size_t from = 0) {
    for (std::size_t at = line.find(name, from); at != std::wstring_view::npos;
         at = line.find(name, at + 1)) {
        std::size_t before = at;
        if (before > 0 && line[before - 1] == L'"') {
            --before;
        }
        if (before == 0 || IsBlank(line[before - 1])) {
            return at;
        }
    }
    return std::wstring_view::npos;
}

// The switch as a whole argument without a value: "/check", not "/checked".
bool HasBareSwitch(std::wstring_view line, std::wstring_view name) {
    for (std::size_t from = 0; from < line.size();) {
        const std::size_t at = FindSwitchAtArgumentStart(line, name, from);
        if (at == std::wstring_view::npos) {
            return false;
        }
        const std::size_t end = at + name.size();
        if (end == line.size() || IsBlank(line[end]) || line[end] == L'"') {
            return true;
        }
        from = end;
    }
    return false;
}

// The text after a switch that takes a value ("/check="), at an argument's start.
std::optional<std::wstring_view> ValueAfterSwitch(std::wstring_view line, std::wstring_view name) {
    const std::size_t at = FindSwitchAtArgumentStart(line, name);
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
    if (const auto rest = ValueAfterSwitch(commandLine, L"/check=")) {
        switches.check = GetSwitchValue(*rest);
    } else if (HasBareSwitch(commandLine, L"/check")) {
        switches.check = std::wstring();
    }
    if (const std::size_t at = FindSwitchAtArgumentStart(commandLine, L"/explain=");
        at != std::wstring_view::npos) {
        // The rest of the line; a quote that opened the argument closes it at the end.
        constexpr std::wstring_view kExplain = L"/explain=";
        std::wstring rest = TrimRight(std::wstring_view(commandLine).substr(at + kExplain.size()));
        if (at > 0 && commandLine[at - 1] == L'"' && !rest.empty() && rest.back() == L'"') {
            rest.pop_back();
        }
        switches.explain = std::move(rest);
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
