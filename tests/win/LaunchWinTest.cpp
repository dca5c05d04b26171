// Launches with the real calls: a helper program that writes down the arguments it received, so
// that a value put into a command line can be seen to arrive as one argument; a launch with
// another process's token; and the check of who may change a program file.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/ArgumentCases.h"
#include "common/CommandLineQuoting.h"
#include "common/WideString.h"
#include "platform/FileSecurity.h"
#include "platform/Launch.h"

namespace cv {
namespace {

using platform::UniqueHandle;

std::wstring TestFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring Recorder() {
    return TestFolder() + L"\\cv_e2e_recorder.exe";
}

std::wstring OutputFile(const wchar_t* name) {
    return TestFolder() + L"\\" + name + std::to_wstring(GetCurrentProcessId()) + L".txt";
}

// The lines the recorder wrote, one argument each; none when it did not run to its end.
std::optional<std::vector<std::wstring>> RecordedArguments(
    std::optional<platform::LaunchedProcess> launched, const std::wstring& file) {
    if (!launched || WaitForSingleObject(launched->process.Get(), 20000) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    std::ifstream in(ToUtf8(file), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream bytes;
    bytes << in.rdbuf();
    in.close();
    DeleteFileW(file.c_str());
    std::vector<std::wstring> lines;
    std::string line;
    std::istringstream split(bytes.str());
    while (std::getline(split, line, '\n')) {
        lines.push_back(FromAscii(line));
    }
    return lines;
}

// Every value, in every configured form at once: the program's C runtime must give each back
// exactly where it belongs.
TEST(LaunchWin, EachValueArrivesAsTheArgumentItWasMeantToBe) {
    const std::wstring file = OutputFile(L"arguments-");
    for (const auto& value : test::kHostileValues) {
        SCOPED_TRACE(ToUtf8(value));
        std::wstring arguments;
        std::vector<std::wstring> expected;
        for (const auto& pattern : test::kArgumentTemplates) {
            const std::wstring text = pattern.arguments;
            // The form ending in an escaped quote leaves its quotes open, which would take in
            // the forms after it.
            if (text.find(L"\\\"") != std::wstring::npos) {
                continue;
            }
            arguments += text + L" ";
            const auto more = test::Expected(pattern, value);
            expected.insert(expected.end(), more.begin(), more.end());
        }
        const std::wstring line = QuoteArgument(Recorder()) + L" " + QuoteArgument(file) + L" " +
                                  FillArguments(arguments, {{L"%2", value}});
        const auto received =
            RecordedArguments(platform::LaunchProcess(line, TestFolder(), false), file);
        ASSERT_TRUE(received.has_value()) << ToUtf8(line);
        EXPECT_EQ(*received, expected) << ToUtf8(line);
    }
}

TEST(LaunchWin, AProgramStartsWithTheTokenOfAnotherProcess) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring sleeper = L"\"" + TestFolder() + L"\\cv_e2e_sleeper.exe\" 30000";
    ASSERT_TRUE(CreateProcessW(nullptr, sleeper.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &info));
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    FILETIME created{}, exited{}, kernel{}, user{};
    ASSERT_TRUE(GetProcessTimes(info.hProcess, &created, &exited, &kernel, &user));
    const std::uint64_t createTime =
        (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;

    // Another creation time: the id is taken for another process, and nothing is opened.
    EXPECT_FALSE(platform::OpenProcessUser(info.dwProcessId, createTime + 1));
    auto owner = platform::OpenProcessUser(info.dwProcessId, createTime);
    ASSERT_TRUE(owner.has_value());
    DWORD session = 0;
    ProcessIdToSessionId(info.dwProcessId, &session);
    EXPECT_EQ(owner->sessionId, session);

    const std::wstring file = OutputFile(L"as-user-");
    const std::wstring line = QuoteArgument(Recorder()) + L" " + QuoteArgument(file) + L" " +
                              FillArguments(L"%2", {{L"%2", L"a \"b\" & c"}});
    const auto received =
        RecordedArguments(platform::LaunchProcessAsUser(*owner, line, TestFolder()), file);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, std::vector<std::wstring>{L"a \"b\" & c"});
    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, 10000);
}

TEST(LaunchWin, AFolderEveryoneMayWriteMakesItsProgramChangeable) {
    const std::wstring folder = OutputFile(L"open-folder-");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + L"\\tool.exe";
    CopyFileW(Recorder().c_str(), program.c_str(), FALSE);

    // Everyone may change the folder: whatever the rest of the path, the program is not safe.
    EXPLICIT_ACCESSW everyone{};
    BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"Everyone"), GENERIC_ALL,
                                 SET_ACCESS, NO_INHERITANCE);
    PACL open = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &everyone, nullptr, &open), static_cast<DWORD>(ERROR_SUCCESS));
    const DWORD set =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, open, nullptr);
    LocalFree(open);
    ::testing::Test::RecordProperty("set_dacl_result", std::to_string(set));
    EXPECT_FALSE(platform::OnlyAdministratorsCanWrite(program));
    EXPECT_FALSE(platform::OnlyAdministratorsCanWrite(L"no-such-folder\\tool.exe"));
    // Recorded, not asserted: what Wine reports for a system program.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ::testing::Test::RecordProperty(
        "system_program_administrators_only",
        platform::OnlyAdministratorsCanWrite(std::wstring(system) + L"\\cmd.exe") ? "yes" : "no");
    DeleteFileW(program.c_str());
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
}  // namespace cv
