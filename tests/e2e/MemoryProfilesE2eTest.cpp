// Memory trimming, sampling output and configuration profiles under Wine: a pass asked for by
// the user interface's event, a sampling file named by the date, and a profile switched by a
// registry rule while a program runs and back when it ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"
#include "config/ConfigStorage.h"
#include "sampling/SamplingOutput.h"
#include "texts/KernelObjectNames.h"

namespace cv::e2e {
namespace {

using std::chrono::seconds;

std::wstring HelperPath(const wchar_t* name) {
    return TestFolder() + L"\\" + name;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The fields of one CSV line whose fields are all quoted.
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at < line.size() && line[at] == '"') {
        std::string field;
        ++at;
        while (at < line.size()) {
            if (line[at] == '"') {
                if (at + 1 < line.size() && line[at + 1] == '"') {
                    field += '"';
                    at += 2;
                    continue;
                }
                ++at;
                break;
            }
            field += line[at++];
        }
        fields.push_back(field);
        if (at < line.size() && line[at] == ',') {
            ++at;
        }
    }
    return fields;
}

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::wstring UtcDate() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    wchar_t text[16] = {};
    swprintf(text, 16, L"%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

bool SetEventByName(const wchar_t* name) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event == nullptr) {
        return false;
    }
    const bool set = SetEvent(event) != FALSE;
    CloseHandle(event);
    return set;
}

class MemoryAndProfiles : public EngineFixture {
  protected:
    MemoryAndProfiles() : EngineFixture(L"memory", {L"cv_e2e_sleeper.exe", L"cv_e2e_burner.exe"}) {}
};

TEST_F(MemoryAndProfiles, RunNowEventMakesOneRecordedPass) {
    // No timer, so only the event starts a pass; nothing is large enough to be trimmed, and free
    // memory is far above a threshold of 0 MB, so the caches are left alone.
    StartWith(
        "[MemoryManagement]\r\nCullmarkIsEnabled=false\r\nCullmarkWorkingSetTrims=true\r\n"
        "CullmarkClearStandbyList=true\r\nClearStandbyFreeRAMThresholdMB=0\r\n"
        "CullmarkAutoMinimumRAMLoad=0\r\nMinimumProcessWSSInMb=1000000\r\n");
    // The worker creates the event at its start, during the first cycle.
    ASSERT_TRUE(WaitFor([] { return SetEventByName(names::kCullmarkRunNowEvent); }, seconds(10)));
    ASSERT_TRUE(
        WaitFor([&] { return HasAction(logs, "81") || HasAction(logs, "82"); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_TRUE(HasAction(logs, "81", "Trimmed 0 of ")) << ReadBytes(logs.File(L"corvane.log"));
    // Free memory is known even where the free-page counter is missing: it is above 0 MB, so
    // nothing was purged.
    EXPECT_TRUE(HasAction(logs, "88", "is above the threshold of 0 MB"))
        << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_FALSE(HasAction(logs, "87"));
    EXPECT_FALSE(HasAction(logs, "110"));
}

// A pass asked for by the event trims a program whose working set is above the minimum, records
// what it released and counts it in its summary.
TEST_F(MemoryAndProfiles, RunNowEventTrimsAProgramAboveTheMinimum) {
    Program large;
    ASSERT_TRUE(large.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"60000 96"));
    StartWith(
        "[MemoryManagement]\r\nCullmarkIsEnabled=false\r\nCullmarkWorkingSetTrims=true\r\n"
        "CullmarkAutoMinimumRAMLoad=0\r\nMinimumProcessWSSInMb=48\r\n");
    ASSERT_TRUE(WaitFor([] { return SetEventByName(names::kCullmarkRunNowEvent); }, seconds(10)));
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "81"); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    const std::string log = ReadBytes(logs.File(L"corvane.log"));
    bool trimmedTheProgram = false;
    for (const std::string& line : Lines(log)) {
        const auto fields = CsvFields(line);
        if (fields.size() > 8 && fields[6] == "80" && fields[5] == "cv_e2e_sleeper.exe") {
            trimmedTheProgram = fields[8].find("working set ") != std::string::npos;
        }
    }
    EXPECT_TRUE(trimmedTheProgram) << log;
    EXPECT_FALSE(HasAction(logs, "81", "Trimmed 0 of ")) << log;
}

TEST_F(MemoryAndProfiles, SamplingWritesTheSelectedHelpersToAFileNamedByTheUtcDate) {
    TempFolder samples(L"samples-memory");
    Program first, second, other;
    ASSERT_TRUE(first.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"30000"));
    ASSERT_TRUE(second.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"30000"));
    ASSERT_TRUE(other.Start(HelperPath(L"cv_e2e_burner.exe"), L"0 30000"));
    const std::wstring dateBefore = UtcDate();
    // A long interval: the first cycle writes the one sample this test sees.
    StartWith(
        "[Sampling]\r\nSamplingEnabled=true\r\nSamplingIntervalSeconds=60\r\n"
        "SamplingOutputPath=" +
        Narrow(samples.Path()) +
        "\\sample-%yyyy%-%mm%-%dd%.csv\r\n"
        "SamplingIncludePattern=cv_e2e_sleeper.exe;cv_e2e_b*\r\n"
        "SamplingExcludePattern=cv_e2e_burner.exe\r\n");
    ASSERT_TRUE(WaitFor([&] { return HasAction(logs, "99"); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    const std::wstring dateAfter = UtcDate();

    std::string bytes = ReadBytes(samples.File(L"sample-" + dateBefore + L".csv"));
    if (bytes.empty() && dateAfter != dateBefore) {
        bytes = ReadBytes(samples.File(L"sample-" + dateAfter + L".csv"));
    }
    ASSERT_FALSE(bytes.empty());
    const std::string head = "\xEF\xBB\xBF" + std::string(kSamplingHeader) + "\r\n";
    ASSERT_EQ(bytes.compare(0, head.size(), head), 0) << bytes;
    const auto rows = Lines(bytes.substr(head.size()));
    ASSERT_EQ(rows.size(), 2u) << bytes;
    std::set<std::string> ids;
    for (const auto& row : rows) {
        const auto fields = CsvFields(row);
        ASSERT_EQ(fields.size(), 19u) << row;
        EXPECT_EQ(fields[2], "cv_e2e_sleeper");
        EXPECT_EQ(fields[3], "cv_e2e_sleeper.exe");
        EXPECT_EQ(_stricmp(fields[17].c_str(), Narrow(HelperPath(L"cv_e2e_sleeper.exe")).c_str()),
                  0)
            << row;
        ids.insert(fields[4]);
    }
    EXPECT_EQ(ids,
              (std::set<std::string>{std::to_string(first.Id()), std::to_string(second.Id())}));
}

// The switch rule lives in the registry and the active profile's name in a file beside the
// user's own configuration; both are put back as they were.
class ProfileSwitching : public MemoryAndProfiles {
  protected:
    static constexpr wchar_t kKey[] = L"Software\\Corvane";
    static constexpr wchar_t kValue[] = L"ConfigSwitcherRules";
    std::optional<std::wstring> savedRules;
    std::wstring createdFolder;
    std::wstring profileFile;
    std::optional<std::string> savedProfile;

    void SetUp() override {
        MemoryAndProfiles::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        savedRules = ReadRules();
        // The folder exists wherever the engine has saved a configuration of its own.
        const std::wstring folder = GetDefaultConfigFolder();
        createdFolder = CreateDirectoryW(folder.c_str(), nullptr) ? folder : std::wstring();
        profileFile = folder + L"\\.profile";
        if (GetFileAttributesW(profileFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
            savedProfile = ReadBytes(profileFile);
        }
        // The engine starts on the default profile.
        WriteBytes(profileFile, "");
    }
    void TearDown() override {
        MemoryAndProfiles::TearDown();
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            if (savedRules) {
                RegSetValueExW(key, kValue, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(savedRules->c_str()),
                               static_cast<DWORD>((savedRules->size() + 1) * sizeof(wchar_t)));
            } else {
                RegDeleteValueW(key, kValue);
            }
            RegCloseKey(key);
        }
        if (savedProfile) {
            WriteBytes(profileFile, *savedProfile);
        } else if (!profileFile.empty()) {
            DeleteFileW(profileFile.c_str());
        }
        if (!createdFolder.empty()) {
            RemoveDirectoryW(createdFolder.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(config.File(L"Gaming")), ignored);
    }

    static std::optional<std::wstring> ReadRules() {
        wchar_t text[1024] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_SZ, nullptr, text, &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        return std::wstring(text);
    }
    static bool WriteRules(const std::wstring& rules) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const bool written =
            RegSetValueExW(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(rules.c_str()),
                           static_cast<DWORD>((rules.size() + 1) * sizeof(wchar_t))) ==
            ERROR_SUCCESS;
        RegCloseKey(key);
        return written;
    }
    static DWORD ClassOf(const Program& program) { return GetPriorityClass(program.Handle()); }
};

TEST_F(ProfileSwitching, RuleSwitchesToTheProfileWhileItsProgramRunsAndBackAfterIt) {
    ASSERT_TRUE(WriteRules(L"cv_e2e_burner.exe;Gaming"));
    ASSERT_TRUE(CreateDirectoryW(config.File(L"Gaming").c_str(), nullptr));
    WriteBytes(config.File(L"Gaming\\corvex.ini"),
               "[Performance]\r\nUpdateSpeedCore=200\r\n"
               "[ProcessDefaults]\r\nDefaultPriorities=cv_e2e_sleeper.exe,Below Normal\r\n");
    StartWith("[ProcessDefaults]\r\nDefaultPriorities=cv_e2e_sleeper.exe,Idle\r\n");
    EXPECT_FALSE(HasAction(logs, "85"));

    Program game;
    ASSERT_TRUE(game.Start(HelperPath(L"cv_e2e_burner.exe"), L"0 30000"));
    ASSERT_TRUE(
        WaitFor([&] { return HasAction(logs, "85", "from default to Gaming"); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    const std::string gaming = ReadBytes(profileFile);
    EXPECT_EQ(gaming, std::string("G\0a\0m\0i\0n\0g\0", 12));
    Program during;
    ASSERT_TRUE(during.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"30000"));
    EXPECT_TRUE(
        WaitFor([&] { return ClassOf(during) == BELOW_NORMAL_PRIORITY_CLASS; }, seconds(10)))
        << ClassOf(during);

    game.Kill();
    ASSERT_TRUE(
        WaitFor([&] { return HasAction(logs, "85", "from Gaming to default"); }, seconds(15)))
        << ReadBytes(logs.File(L"corvane.log"));
    EXPECT_EQ(ReadBytes(profileFile), "");
    Program after;
    ASSERT_TRUE(after.Start(HelperPath(L"cv_e2e_sleeper.exe"), L"30000"));
    EXPECT_TRUE(WaitFor([&] { return ClassOf(after) == IDLE_PRIORITY_CLASS; }, seconds(10)))
        << ClassOf(after);
}

}  // namespace
}  // namespace cv::e2e
