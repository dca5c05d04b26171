// The records that go to the Windows event log: which ones the registry value chooses, how an
// event is built, the message table Event Viewer reads them with, and a failing event log.
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "SimFixture.h"
#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/EventLogSelection.h"
#include "actionlog/LogWriter.h"
#include "common/WideString.h"
#include "platform/sim/SimFiles.h"
#include "texts/Language.h"

namespace cv {
namespace {

using Mode = EventLogSelection::Mode;

TEST(EventLogSelection, RegistryValueForms) {
    const struct {
        const char* what;
        std::optional<std::wstring> value;
        Mode mode;
        std::set<std::uint32_t> added;
        std::vector<std::wstring> ignored;
    } cases[] = {
        {"missing", std::nullopt, Mode::Default, {}, {}},
        {"empty", L"", Mode::Default, {}, {}},
        {"default in any case", L" Default ", Mode::Default, {}, {}},
        {"all", L"ALL", Mode::All, {}, {}},
        {"none", L"none", Mode::None, {}, {}},
        {"a list", L"4, 76 ,22", Mode::Default, {4, 22, 76}, {}},
        {"a list with default and empty entries", L"default,,4,", Mode::Default, {4}, {}},
        {"no action ids", L"4,abc,120,0,-5,99999999999,all", Mode::Default, {4},
         {L"abc", L"120", L"0", L"-5", L"99999999999", L"all"}},
    };
    for (const auto& c : cases) {
        const EventLogSelection selection = ParseEventLogRecords(c.value);
        EXPECT_EQ(selection.mode, c.mode) << c.what;
        EXPECT_EQ(selection.added, c.added) << c.what;
        EXPECT_EQ(selection.ignored, c.ignored) << c.what;
        EXPECT_EQ(IgnoredEntriesText(selection).has_value(), !c.ignored.empty()) << c.what;
    }
}

TEST(EventLogSelection, WhatEachFormSelects) {
    const EventLogSelection all = ParseEventLogRecords(L"all");
    const EventLogSelection none = ParseEventLogRecords(L"none");
    const EventLogSelection byDefault = ParseEventLogRecords(std::nullopt);
    const EventLogSelection list = ParseEventLogRecords(L"4");
    for (const std::uint32_t id : {58u, 60u, 113u, 59u, 56u, 112u}) {
        EXPECT_TRUE(byDefault.Selects(id)) << id;
        EXPECT_TRUE(list.Selects(id)) << id;
        EXPECT_TRUE(all.Selects(id)) << id;
        EXPECT_FALSE(none.Selects(id)) << id;
    }
    for (const std::uint32_t id : {1u, 4u, 22u, 76u}) {
        EXPECT_FALSE(byDefault.Selects(id)) << id;
        EXPECT_TRUE(all.Selects(id)) << id;
    }
    EXPECT_TRUE(list.Selects(4));
    EXPECT_FALSE(list.Selects(76));
}

TEST(EventLogSelection, FailuresAreErrorsAndTheRestInformation) {
    using platform::EventType;
    const std::map<std::uint32_t, EventType> cases = {
        {CV_ACTION_TOOK_DISALLOWED_TERMINATE, EventType::Information},
        {CV_ACTION_TOOK_DISALLOWED_TERMINATE_ERROR, EventType::Error},
        {CV_ACTION_CORE_ENGINE_STARTED, EventType::Information},
        {CV_ACTION_CORE_ENGINE_STOPPED, EventType::Information},
        {CV_ACTION_TOOK_CORE_ENGINE_RESTART_ERROR_DETECTED, EventType::Error},
        {CV_ACTION_TOOK_PROTECTED_PROCESS_SPARED, EventType::Error},
        {CV_ACTION_TOOK_PROCESS_CHANGE_ERROR, EventType::Error},
        {CV_ACTION_TOOK_ERROR_GAAS_LAUNCHES_PROHIBITED, EventType::Error},
    };
    for (const auto& [id, type] : cases) {
        EXPECT_EQ(EventTypeOf(id), type) << id;
    }
}

TEST(EventLogSelection, EventStringsAreTheRecordsFieldsCutToWhatTheLogTakes) {
    ActionRecord record;
    record.actionId = 4;
    record.pid = 200;
    record.user = L"alice";
    record.basename = L"miner.exe";
    record.info = L"why";
    record.path = L"c:\\miner.exe";
    record.commandLine = std::wstring(40000, L'x');
    const auto strings = EventStrings(record);
    ASSERT_EQ(strings.size(), 6u);
    EXPECT_EQ(strings[0], L"miner.exe");
    EXPECT_EQ(strings[1], L"200");
    EXPECT_EQ(strings[2], L"alice");
    EXPECT_EQ(strings[3], L"why");
    EXPECT_EQ(strings[4], L"c:\\miner.exe");
    EXPECT_EQ(strings[5].size(), 4096u);
    EXPECT_EQ(strings[5].substr(4093), L"...");
}

// The message table compiled into vigilor.exe: one message for every code the engine records,
// with the code's English text first, so Event Viewer never says "description cannot be found"
// nor shows another action's text.
TEST(EventMessageTable, HasOneMessagePerActionCodeWithItsText) {
    std::ifstream file(std::string(CV_SOURCE_DIR) + "/src/texts/EventMessages.mc");
    ASSERT_TRUE(file.is_open());
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    struct Message {
        std::string name;
        std::string text;
    };
    std::map<std::uint32_t, Message> messages;
    const std::regex message(
        "MessageId=(\\d+)\\r?\\nSymbolicName=(\\w+)\\r?\\nLanguage=English\\r?\\n([^\\r\\n]*)\\r?"
        "\\n\\.\\r?\\n");
    int count = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), message);
         it != std::sregex_iterator(); ++it) {
        ++count;
        const auto id = static_cast<std::uint32_t>(std::stoul((*it)[1].str()));
        EXPECT_TRUE(messages.emplace(id, Message{(*it)[2].str(), (*it)[3].str()}).second)
            << "message " << id << " twice";
    }
    // Every message has the shape the pattern reads, so none escapes the comparison below.
    std::size_t ids = 0;
    for (std::size_t at = text.find("MessageId="); at != std::string::npos;
         at = text.find("MessageId=", at + 1)) {
        ++ids;
    }
    EXPECT_EQ(ids, static_cast<std::size_t>(count));

    sim::Machine::Get().Reset();
    ResetLanguageState();
    LoadLanguageModule();
    std::size_t tableSize = 0;
    const ActionCodeInfo* table = ActionCodeTable(&tableSize);
    std::size_t recorded = 0;
    for (std::size_t i = 0; i < tableSize; ++i) {
        const ActionCodeInfo& info = table[i];
        if (info.code == CV_ACTION_NO_ACTION) {
            continue;
        }
        ++recorded;
        const auto found = messages.find(info.code);
        if (found == messages.end()) {
            ADD_FAILURE() << "no event message for " << info.name;
            continue;
        }
        EXPECT_EQ(found->second.name, info.name);
        const std::string& body = found->second.text;
        if (info.textId >= 0) {
            EXPECT_EQ(body.substr(0, body.find("%n")),
                      ToUtf8(LoadResourceString(static_cast<std::uint32_t>(info.textId))))
                << info.name;
        }
        for (const char* insert : {"%1", "%2", "%3", "%4", "%5", "%6"}) {
            EXPECT_NE(body.find(insert), std::string::npos) << info.name << " lacks " << insert;
        }
        EXPECT_EQ(body.find("%7"), std::string::npos) << info.name;
    }
    EXPECT_EQ(messages.size(), recorded) << "a message for a code the engine does not have";
}

// The writer sends the chosen records to the event log after the file.
class EventLogWriterTest : public test::SimTest {
  protected:
    static constexpr wchar_t kFolder[] = L"C:\\Logs";
    void SetUp() override {
        SimTest::SetUp();
        sim::PutFolder(kFolder);
    }
    static ActionRecord Record(std::uint32_t code) {
        ActionRecord record;
        record.actionId = code;
        record.pid = 77;
        record.basename = L"app.exe";
        record.info = L"info";
        return record;
    }
    // Writes the records through a real writer thread and stops it; returns the file's records
    // by action id.
    std::vector<std::uint32_t> Write(ActionLog& log, const std::vector<std::uint32_t>& codes) {
        log.SetFolder(kFolder);
        for (const std::uint32_t code : codes) {
            log.Append(Record(code));
        }
        EXPECT_TRUE(log.StartWriter());
        log.StopWriter();
        std::vector<std::uint32_t> ids;
        const auto bytes = sim::FileBytes(std::wstring(kFolder) + L"\\corvane.log");
        if (!bytes) {
            return ids;
        }
        std::size_t at = bytes->find("\r\n") + 2;
        while (at < bytes->size()) {
            const std::size_t end = bytes->find("\r\n", at);
            const std::string line = bytes->substr(at, end - at);
            // The seventh field is the action id.
            std::size_t field = 0;
            for (int i = 0; i < 6; ++i) {
                field = line.find("\",\"", field) + 3;
            }
            ids.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(field))));
            at = end + 2;
        }
        return ids;
    }
    static std::vector<std::uint32_t> EventIds() {
        std::vector<std::uint32_t> ids;
        for (const auto& event : machine().eventLog.events) {
            EXPECT_EQ(event.source, L"Vigilor");
            ids.push_back(event.eventId);
        }
        return ids;
    }
};

TEST_F(EventLogWriterTest, NothingGoesThereUntilTheEngineChooses) {
    ActionLog log;
    Write(log, {58, 4});
    EXPECT_TRUE(machine().eventLog.events.empty());
    EXPECT_EQ(machine().eventLog.registrations, 0);
}

TEST_F(EventLogWriterTest, ChosenRecordsGoThereInOrderThroughOneSource) {
    ActionLog log;
    log.SetEventLogSelection(ParseEventLogRecords(L"4"));
    EXPECT_EQ(Write(log, {58, 4, 22, 5, 113}), (std::vector<std::uint32_t>{58, 4, 22, 5, 113}));
    EXPECT_EQ(EventIds(), (std::vector<std::uint32_t>{58, 4, 113}));
    EXPECT_EQ(machine().eventLog.registrations, 1);
    EXPECT_EQ(log.EventTally().accepted, 3u);
}

TEST_F(EventLogWriterTest, AFailingEventLogLosesNoFileRecordAndIsNotedOncePerEpisode) {
    const struct {
        const char* what;
        std::string failing;
    } cases[] = {
        {"the source cannot be registered", "RegisterEventSource"},
        {"the events are refused", "ReportEvent"},
    };
    for (const auto& c : cases) {
        SetUp();
        machine().FailCall(c.failing, L"Vigilor");
        ActionLog log;
        log.SetEventLogSelection(ParseEventLogRecords(L"all"));
        const auto written = Write(log, {58, 4, 22, 4, 113});
        // Every record is in the file, followed by one note about the event log.
        ASSERT_EQ(written.size(), 6u) << c.what;
        EXPECT_EQ(std::vector<std::uint32_t>(written.begin(), written.begin() + 5),
                  (std::vector<std::uint32_t>{58, 4, 22, 4, 113}))
            << c.what;
        EXPECT_EQ(written[5], static_cast<std::uint32_t>(CV_ACTION_CORE_ENGINE_INITIALIZED))
            << c.what;
        EXPECT_TRUE(machine().eventLog.events.empty()) << c.what;
        EXPECT_EQ(log.EventTally().accepted, 0u) << c.what;
        EXPECT_GE(log.EventTally().refused, 5u) << c.what;
        EXPECT_EQ(log.LostCount(), 0u) << c.what;
    }
}

TEST_F(EventLogWriterTest, ANewEpisodeAfterTheEventLogTookRecordsAgainIsNotedAgain) {
    ActionLog log;
    log.SetFolder(kFolder);
    log.SetEventLogSelection(ParseEventLogRecords(L"all"));
    ASSERT_TRUE(log.StartWriter());
    const auto notes = [] {
        const auto bytes = sim::FileBytes(std::wstring(kFolder) + L"\\corvane.log");
        std::size_t count = 0;
        for (std::size_t at = bytes ? bytes->find("Windows event log does not take") : std::string::npos;
             at != std::string::npos; at = bytes->find("Windows event log does not take", at + 1)) {
            ++count;
        }
        return count;
    };
    const auto writeAndWait = [&](std::uint32_t code, std::size_t events) {
        log.Append(Record(code));
        log.Wake();
        return machine().WaitUntil([&] {
            const EventLogTally tally = log.EventTally();
            return tally.accepted + tally.refused >= events;
        });
    };
    machine().FailCall("ReportEvent", L"Vigilor");
    ASSERT_TRUE(writeAndWait(4, 1));
    ASSERT_TRUE(writeAndWait(4, 3));  // the note and the record, both refused
    machine().ClearFailures();
    ASSERT_TRUE(writeAndWait(4, 4));
    machine().FailCall("ReportEvent", L"Vigilor");
    ASSERT_TRUE(writeAndWait(4, 5));
    log.StopWriter();
    EXPECT_EQ(notes(), 2u);
}

}  // namespace
}  // namespace cv
