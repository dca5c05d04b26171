#pragma once
// Texts taken from a process, and configured arguments that put them in bare or inside quotes,
// shared by the tests that fill the arguments and split them again: here by a splitter written
// after the Windows rules, under Wine by a real program's C runtime.
#include <string>
#include <string_view>
#include <vector>

namespace cv::test {

// Values a standard user can choose: the image name, path or command line of their process.
inline const std::vector<std::wstring> kHostileValues = {
    L"say \"hi\" & x /evil",
    L"cvquiet.exe sleep 7000 \"say \"hi\" & x /evil\"",
    L"C:\\Program Files\\app\\",
    L"C:\\dir\\\\",
    L"\\\\server\\share\\",
    L"a\\\"b",
    L"\"",
    L"\\",
    L"\"\"",
    L"\\\"",
    L"\"quoted\"",
    L"",
    L" ",
    L"a\tb",
    L"100% & %2 %PATH%",
    L"&calc",
    L"x\" y \"z",
    L"trailing \\\\\" quote",
};

// Configured arguments with the placeholder %2, and the arguments a program receives, where "@"
// stands for the value.
struct ArgumentTemplate {
    const wchar_t* arguments;
    std::vector<std::wstring> received;
};
inline const std::vector<ArgumentTemplate> kArgumentTemplates = {
    {L"%2", {L"@"}},
    {L"\"%2\"", {L"@"}},
    {L"-a %2 -b", {L"-a", L"@", L"-b"}},
    {L"-a \"%2\" -b", {L"-a", L"@", L"-b"}},
    {L"--name=%2", {L"--name=@"}},
    {L"--name=\"%2\"", {L"--name=@"}},
    {L"\"--name=%2 and more\"", {L"--name=@ and more"}},
    {L"\"C:\\logs\\%2\"", {L"C:\\logs\\@"}},
    {L"C:\\logs\\%2", {L"C:\\logs\\@"}},
    {L"\"%2\\\"", {L"@\""}},  // the configured quote after it is an escaped one
    {L"%2\"tail part\"", {L"@tail part"}},
    {L"\"%2\"\"\" x", {L"@\"", L"x"}},
    {L"%2%2", {L"@@"}},
    {L"%2 %2", {L"@", L"@"}},
    {L"\"\" %2 \"\"", {L"", L"@", L""}},
};

// The arguments a program gets from a command line without its program part, by the rules of
// the C runtime: 2n backslashes before a quote are n backslashes and the quote opens or closes
// quoting; 2n + 1 are n backslashes and a quote character; other backslashes are themselves.
// Two quotes in a row inside quotes are a quote character; the current runtime stays inside the
// quotes then, older ones and CommandLineToArgvW leave them, so a line that is read the same by
// both does not depend on which program reads it.
inline std::vector<std::wstring> SplitArguments(std::wstring_view line, bool doubledQuoteCloses) {
    std::vector<std::wstring> arguments;
    std::wstring current;
    bool inArgument = false;
    bool quoted = false;
    std::size_t at = 0;
    while (at < line.size()) {
        const wchar_t c = line[at];
        if (!quoted && (c == L' ' || c == L'\t')) {
            if (inArgument) {
                arguments.push_back(current);
                current.clear();
                inArgument = false;
            }
            ++at;
            continue;
        }
        inArgument = true;
        if (c == L'\\') {
            std::size_t end = at;
            while (end < line.size() && line[end] == L'\\') {
                ++end;
            }
            const std::size_t count = end - at;
            if (end < line.size() && line[end] == L'"') {
                current.append(count / 2, L'\\');
                if (count % 2 == 1) {
                    current += L'"';
                    ++end;
                }
            } else {
                current.append(count, L'\\');
            }
            at = end;
            continue;
        }
        if (c == L'"') {
            if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
                current += L'"';
                at += 2;
                quoted = !doubledQuoteCloses;
                continue;
            }
            quoted = !quoted;
            ++at;
            continue;
        }
        current += c;
        ++at;
    }
    if (inArgument) {
        arguments.push_back(current);
    }
    return arguments;
}

// The arguments a template should give with the value in the places of "@".
inline std::vector<std::wstring> Expected(const ArgumentTemplate& pattern,
                                          const std::wstring& value) {
    std::vector<std::wstring> expected;
    for (std::wstring argument : pattern.received) {
        for (std::size_t at = argument.find(L'@'); at != std::wstring::npos;
             at = argument.find(L'@', at + value.size())) {
            argument.replace(at, 1, value);
        }
        expected.push_back(argument);
    }
    return expected;
}

}  // namespace cv::test
