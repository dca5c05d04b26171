#include "processes/DisplayName.h"

#include <algorithm>

#include "common/WideString.h"

namespace cv {

namespace {

std::wstring ServiceHostName(std::wstring_view commandLine) {
    std::size_t at = commandLine.find(L"-k");
    if (at == std::wstring_view::npos) {
        at = commandLine.find(L"-K");
    }
    if (at == std::wstring_view::npos) {
        return {};
    }
    // Over the switch and the character after it.
    const std::size_t position = std::min(at + 3, commandLine.size());
    if (position < 1 || position >= commandLine.size()) {
        return {};
    }
    return L"svchost.exe (" + std::wstring(commandLine.substr(position)) + L")";
}

std::wstring RundllName(std::wstring_view commandLine) {
    std::wstring_view match = L"rundll32.exe";
    std::size_t at = commandLine.find(match);
    if (at == std::wstring_view::npos) {
        match = L"rundll32";
        at = commandLine.find(match);
    }
    if (at == std::wstring_view::npos) {
        return {};
    }
    std::size_t position = at + match.size();
    if (position >= commandLine.size()) {
        return {};
    }
    if (commandLine[position] == L'"') {
        ++position;
    }
    for (int spaces = 0;
         spaces < 2 && position < commandLine.size() && commandLine[position] == L' '; ++spaces) {
        ++position;
    }
    std::wstring_view rest = commandLine.substr(position, 1024);
    rest = rest.substr(0, rest.find(L','));
    if (!rest.empty() && rest.back() == L'"') {
        rest.remove_suffix(1);
    }
    if (rest.empty()) {
        return {};
    }
    return L"rundll32.exe (" + std::wstring(rest) + L")";
}

}  // namespace

std::wstring DisplayName(std::wstring_view imageName, std::wstring_view commandLine) {
    std::wstring name;
    if (EqualsIgnoreCase(imageName, L"svchost.exe")) {
        name = ServiceHostName(commandLine);
    } else if (EqualsIgnoreCase(imageName, L"rundll32.exe")) {
        name = RundllName(commandLine);
    }
    return name.empty() ? std::wstring(imageName) : name;
}

}  // namespace cv
