// The engine under Wine with EventLogRecords set: its records go to ReportEventW beside
// corvane.log. Wine accepts every event; the engine notes in corvane.log when the event log
// refuses one, so a run without that note is a run whose events were all taken.
#include <gtest/gtest.h>

#include <optional>

#include "EngineFixture.h"
#include "EngineLog.h"
#include "EngineProcessHelpers.h"
#include "TempFolder.h"

namespace cv::e2e {
namespace {

using std::chrono::seconds;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr wchar_t kRecordsValue[] = L"EventLogRecords";

// Sets HKLM EventLogRecords for one test and puts back what was there.
class RecordsValue {
  public:
    explicit RecordsValue(const std::optional<std::wstring>& value) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kCorvaneKey, 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
        wchar_t text[512] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(key_, kRecordsValue, nullptr, &type, reinterpret_cast<BYTE*>(text),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            before_ = text;
        }
        Set(value);
    }
    RecordsValue(const RecordsValue&) = delete;
    RecordsValue& operator=(const RecordsValue&) = delete;
    ~RecordsValue() {
        Set(before_);
        RegCloseKey(key_);
    }

  private:
    void Set(const std::optional<std::wstring>& value) {
        if (!value) {
            RegDeleteValueW(key_, kRecordsValue);
            return;
        }
        RegSetValueExW(key_, kRecordsValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                       static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
    }
    HKEY key_ = nullptr;
    std::optional<std::wstring> before_;
};

class EventLog : public EngineFixture {
  protected:
    EventLog() : EngineFixture(L"eventlog", {L"cv_e2e_sleeper.exe"}) {}
    static std::string PidField(const Program& program) {
        return "\",\"" + std::to_string(program.Id()) + "\",\"";
    }
};

TEST_F(EventLog, RecordsOfADisallowedHelperAreTakenByTheEventLog) {
    for (const std::optional<std::wstring>& value :
         {std::optional<std::wstring>(L"all"), std::optional<std::wstring>()}) {
        const RecordsValue records(value);
        StartWith("[ProcessAllowances]\r\nDisallowedProcesses=cv_e2e_sleeper.exe\r\n");
        Program helper;
        ASSERT_TRUE(helper.Start(TestFolder() + L"\\cv_e2e_sleeper.exe", L"20000"));
        EXPECT_TRUE(helper.WaitForExit(5000).has_value());
        EXPECT_TRUE(WaitFor([&] { return HasAction(logs, "4", PidField(helper)); }, seconds(5)));
        RunEngineCommand(L"/exit");
        EXPECT_TRUE(engine.WaitForExit(10000).has_value());
        // The stop record is the run's last, and the event log refused nothing.
        const auto lines = LogLines(logs);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(ActionOf(lines.back()), "113");
        for (const auto& line : lines) {
            EXPECT_EQ(line.find("Windows event log"), std::string::npos) << line;
        }
        logs.Remove();
        CreateDirectoryW(logs.Path().c_str(), nullptr);
    }
}

}  // namespace
}  // namespace cv::e2e
