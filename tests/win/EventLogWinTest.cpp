// The Windows event log through the real backend: the source "Vigilor", the engine's log writer
// sending the chosen records, and Trellion's registration of the source.
#include <gtest/gtest.h>

#include "e2e/TempFolder.h"
#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/EventLogSelection.h"
#include "actionlog/LogWriter.h"
#include "platform/EventLog.h"
#include "updatetool/EventSourceRegistration.h"

namespace cv {
namespace {

std::wstring TestFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

TEST(EventLogWin, TheSourceTakesInformationAndErrorEvents) {
    platform::EventSource source(kEventLogSource);
    const std::vector<std::wstring> strings = {L"cv_e2e_sleeper.exe", L"1234", L"tester",
                                               L"info", L"C:\\x\\cv_e2e_sleeper.exe", L""};
    for (const auto type : {platform::EventType::Information, platform::EventType::Error}) {
        const platform::EventReport report = source.Report(type, 4, strings);
        EXPECT_TRUE(report.accepted) << "error " << report.error;
    }
}

// What Event Viewer shows: the message of the event id in vigilor.exe's message table, with the
// insertion strings.
TEST(EventLogWin, VigilorCarriesTheMessageOfEveryEvent) {
    const std::wstring engine = TestFolder() + L"\\vigilor.exe";
    HMODULE module = LoadLibraryExW(engine.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << "vigilor.exe must be built next to the tests";
    const std::vector<std::wstring> strings = {L"cv_e2e_sleeper.exe", L"1234", L"tester",
                                               L"why",  L"C:\\x\\cv_e2e_sleeper.exe", L"-x"};
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& text : strings) {
        arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    }
    const auto format = [&](DWORD id) {
        wchar_t text[2048] = {};
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0x409, text,
            static_cast<DWORD>(std::size(text)), reinterpret_cast<va_list*>(arguments.data()));
        return std::wstring(text, length);
    };
    const std::wstring closed = format(CV_ACTION_TOOK_DISALLOWED_TERMINATE);
    EXPECT_EQ(closed.rfind(L"Disallowed process terminated", 0), 0u) << closed;
    EXPECT_NE(closed.find(L"Process: cv_e2e_sleeper.exe (process id 1234)"), std::wstring::npos);
    EXPECT_NE(closed.find(L"Command line: -x"), std::wstring::npos);
    std::size_t count = 0;
    const ActionCodeInfo* table = ActionCodeTable(&count);
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].code != CV_ACTION_NO_ACTION) {
            EXPECT_FALSE(format(table[i].code).empty()) << table[i].name;
        }
    }
    FreeLibrary(module);
}

// The engine's writer, its selection and a helper's disallowed record, as the control loop makes
// them; the writer's tally says what ReportEventW accepted.
TEST(EventLogWin, TheWriterSendsTheChosenRecordsToReportEvent) {
    const struct {
        const char* what;
        const wchar_t* value;
        std::uint64_t accepted;
    } cases[] = {
        {"all", L"all", 3},
        {"default", L"default", 2},  // the start and the stop only
        {"none", L"none", 0},
    };
    for (const auto& c : cases) {
        e2e::TempFolder logs(L"eventlog");
        ActionLog log;
        log.SetFolder(logs.Path());
        log.SetEventLogSelection(ParseEventLogRecords(c.value));
        ActionFacts engine;
        engine.name = L"vigilor.exe";
        engine.info = L"started";
        RecordAction(log, nullptr, CV_ACTION_CORE_ENGINE_STARTED, engine);
        ActionFacts helper;
        helper.name = L"cv_e2e_sleeper.exe";
        helper.pid = 4321;
        helper.info = L"disallowed";
        helper.path = TestFolder() + L"\\cv_e2e_sleeper.exe";
        helper.commandLine = L"cv_e2e_sleeper.exe 60000";
        RecordAction(log, nullptr, CV_ACTION_TOOK_DISALLOWED_TERMINATE, helper);
        engine.info = L"stopped";
        RecordAction(log, nullptr, CV_ACTION_CORE_ENGINE_STOPPED, engine);
        ASSERT_TRUE(log.StartWriter()) << c.what;
        log.StopWriter();
        const EventLogTally tally = log.EventTally();
        EXPECT_EQ(tally.accepted, c.accepted) << c.what;
        EXPECT_EQ(tally.refused, 0u) << c.what;
        // The file has every record whatever goes to the event log.
        const std::string file = e2e::ReadBytes(logs.File(L"corvane.log"));
        EXPECT_NE(file.find("\"disallowed\""), std::string::npos) << c.what;
        EXPECT_EQ(file.find("Windows event log"), std::string::npos) << c.what;
    }
}

// Trellion's registration writes both values with their types; what the key held before is put
// back afterwards.
TEST(EventLogWin, TrellionRegistersTheSource) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    const auto saved = [key](const wchar_t* name) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
            return std::optional<std::pair<DWORD, std::vector<BYTE>>>();
        }
        std::vector<BYTE> data(size);
        RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
        return std::optional(std::make_pair(type, data));
    };
    const auto messageFileBefore = saved(L"EventMessageFile");
    const auto typesBefore = saved(L"TypesSupported");
    RegDeleteValueW(key, L"EventMessageFile");
    RegDeleteValueW(key, L"TypesSupported");

    EXPECT_EQ(RegisterEngineEventSource(L"C:\\Program Files\\Corvane"),
              EventSourceRegistration::Written);
    wchar_t text[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof text;
    EXPECT_EQ(RegQueryValueExW(key, L"EventMessageFile", nullptr, &type,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_STREQ(text, L"C:\\Program Files\\Corvane\\vigilor.exe");
    DWORD types = 0;
    size = sizeof types;
    EXPECT_EQ(RegQueryValueExW(key, L"TypesSupported", nullptr, &type,
                               reinterpret_cast<BYTE*>(&types), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types, 7u);
    EXPECT_EQ(RegisterEngineEventSource(L"C:\\Program Files\\Corvane"),
              EventSourceRegistration::AlreadyCurrent);

    for (const auto& [name, before] : {std::make_pair(L"EventMessageFile", messageFileBefore),
                                       std::make_pair(L"TypesSupported", typesBefore)}) {
        if (before) {
            RegSetValueExW(key, name, 0, before->first, before->second.data(),
                           static_cast<DWORD>(before->second.size()));
        } else {
            RegDeleteValueW(key, name);
        }
    }
    RegCloseKey(key);
    if (disposition == REG_CREATED_NEW_KEY) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, KEY_WOW64_64KEY, 0);
    }
}

}  // namespace
}  // namespace cv
