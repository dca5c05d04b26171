// One record when the configuration stops loading and one when it loads again, whatever the
// number of retries in between.
#include <gtest/gtest.h>

#include <vector>

#include "config/ConfigLoadRecords.h"

namespace cv {
namespace {

using Record = ConfigLoadRecord;

ConfigLoadResult Result(int code) {
    ConfigLoadResult result;
    result.ok =
        code == kConfigLoaded || code == kConfigCreatedWithDefaults || code == kConfigUnchanged;
    result.code = code;
    return result;
}

TEST(ConfigLoadRecordsTest, OneRecordPerFailureAndOneWhenItLoadsAgain) {
    const struct {
        const char* name;
        std::vector<int> codes;
        std::vector<Record> records;
    } cases[] = {
        {"loads", {0, 3, 0, 2}, {Record::None, Record::None, Record::None, Record::None}},
        {"held open for three cycles",
         {0, 4, 4, 4, 0, 3},
         {Record::None, Record::CannotLoad, Record::None, Record::None, Record::LoadedAgain,
          Record::None}},
        {"unreadable at the first load",
         {4, 4, 0},
         {Record::CannotLoad, Record::None, Record::LoadedAgain}},
        {"another reason is recorded too",
         {0, 4, 7, 7, 0},
         {Record::None, Record::CannotLoad, Record::CannotLoad, Record::None, Record::LoadedAgain}},
        {"nothing changed in between",
         {5, 3, 5, 0},
         {Record::CannotLoad, Record::None, Record::None, Record::LoadedAgain}},
        {"the grace of a missing file is no failure",
         {0, 9, 9, 2},
         {Record::None, Record::None, Record::None, Record::None}},
        {"not created, then created",
         {8, 8, 2},
         {Record::CannotLoad, Record::None, Record::LoadedAgain}},
        {"folder, lock file",
         {6, 1, 1, 0},
         {Record::CannotLoad, Record::CannotLoad, Record::None, Record::LoadedAgain}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigLoadRecords records;
        std::vector<Record> seen;
        for (const int code : c.codes) {
            seen.push_back(records.Next(Result(code)));
        }
        EXPECT_EQ(seen, c.records);
    }
}

TEST(ConfigLoadRecordsTest, TextsNameTheFileAndTheReason) {
    ConfigLoadResult result = Result(kConfigUnreadable);
    result.reason = L"another program holds it open";
    EXPECT_EQ(CannotLoadText(L"C:\\Cfg\\corvex.ini", result),
              L"Configuration C:\\Cfg\\corvex.ini cannot be loaded (code 4): another program "
              L"holds it open; the settings in force stay");
    EXPECT_EQ(LoadedAgainText(L"C:\\Cfg\\corvex.ini"),
              L"Configuration loaded again from C:\\Cfg\\corvex.ini");
    EXPECT_EQ(InterruptedSaveText(L"C:\\Cfg\\corvex.ini", InterruptedSave::Finished),
              L"Configuration C:\\Cfg\\corvex.ini: finished a save that was cut short");
    EXPECT_EQ(InterruptedSaveText(L"C:\\Cfg\\corvex.ini", InterruptedSave::None), L"");
}

}  // namespace
}  // namespace cv
