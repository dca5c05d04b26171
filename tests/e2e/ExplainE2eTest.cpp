// vigilor.exe /explain under Wine: a running helper's rules, found through its real path,
// command line and parent, and a name the configuration disallows.
#include <gtest/gtest.h>

#include <string>

#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

std::wstring SleeperPath() {
    return TestFolder() + L"\\cv_e2e_sleeper.exe";
}

// Runs /explain with its output going to a file. Without a console to attach to, the engine
// writes corvex-explain.txt beside the configuration instead; the report is whichever holds it.
std::string Explain(const TempFolder& config, const std::wstring& target, DWORD* exitCode) {
    const std::wstring output = config.File(L"explain-output.txt");
    const std::wstring besideConfig = config.File(L"corvex-explain.txt");
    DeleteFileW(output.c_str());
    DeleteFileW(besideConfig.c_str());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    std::wstring line =
        L"\"" + EnginePath() + L"\" \"/configfolder=" + config.Path() + L"\" /explain=" + target;
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(EnginePath().c_str(), line.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &info);
    EXPECT_TRUE(started);
    *exitCode = 0xFFFFFFFF;
    if (started) {
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
        GetExitCodeProcess(info.hProcess, exitCode);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(file);
    const std::string written = ReadBytes(output);
    return written.empty() ? ReadBytes(besideConfig) : written;
}

bool Has(const std::string& report, const std::string& text) {
    return report.find(text) != std::string::npos;
}

TEST(Explain, NamesARunningHelpersRulesAndADisallowedName) {
    TempFolder config(L"cfg-explain");
    const std::string file =
        "[ProcessDefaults]\r\nDefaultPriorities=calc.exe,High,cv_e2e_sleeper.exe,Below Normal\r\n"
        "[ProcessAllowances]\r\nDisallowedProcesses=cv_e2e_stubborn.exe\r\n"
        "InstanceManagedCPUAffinities=childof:cv_e2e_tests.exe;0;1;0.00;0;N\r\n";
    WriteBytes(config.File(L"corvex.ini"), file);

    Program helper;
    ASSERT_TRUE(helper.Start(SleeperPath(), L"20000"));
    DWORD code = 0;
    const std::string running =
        Explain(config, L"pid:" + std::to_wstring(helper.Id()), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(running, "(process " + std::to_string(helper.Id()) + ")")) << running;
    EXPECT_TRUE(Has(running, "Default priority: [ProcessDefaults] DefaultPriorities entry 2 "
                             "(`cv_e2e_sleeper.exe`): priority Below Normal"))
        << running;
    EXPECT_TRUE(Has(running, "Instance balancer: [ProcessAllowances] "
                             "InstanceManagedCPUAffinities entry 1 (`childof:cv_e2e_tests.exe`)"))
        << running;
    helper.Kill();

    const std::string named = Explain(config, L"cv_e2e_stubborn.exe", &code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(named, "Disallowed processes: [ProcessAllowances] DisallowedProcesses entry 1 "
                           "(`cv_e2e_stubborn.exe`): closed as disallowed"))
        << named;
    // The configuration is only read.
    EXPECT_EQ(ReadBytes(config.File(L"corvex.ini")), file);
}

}  // namespace
}  // namespace cv::e2e
