// The engine's records in the Windows event log, chosen by the registry value EventLogRecords:
// a running engine on the simulated machine closes a disallowed process, and the events are
// compared with its action log.
#include <algorithm>
#include <functional>
#include <optional>

#include "EngineScenario.h"
#include "actionlog/ActionCodes.h"
#include "platform/EventLog.h"
#include "platform/Registry.h"

namespace cv {
namespace {

using Keys = std::map<std::wstring, std::wstring>;
using platform::RegistryRoot;

class EventLogScenario : public test::EngineScenario {
  protected:
    static void SetRecordsValue(const std::optional<std::wstring>& value) {
        if (value) {
            platform::WriteRegistryString(RegistryRoot::LocalMachine, L"Software\\Corvane",
                                          L"EventLogRecords", *value);
        } else {
            platform::DeleteRegistryValue(RegistryRoot::LocalMachine, L"Software\\Corvane",
                                          L"EventLogRecords");
        }
    }
    // Runs an engine that closes the disallowed miner.exe and stops; returns its action log.
    std::vector<test::LoggedAction> RunWithDisallowedProcess() {
        Start({{L"DisallowedProcesses", L"miner.exe"}});
        auto& explorer = machine().AddProcess(100, L"explorer.exe");
        explorer.parentPid = 4;
        explorer.user = L"alice";
        Cycles(1);
        auto& miner = machine().AddProcess(200, L"Miner.exe");
        miner.parentPid = 100;
        miner.user = L"alice";
        Cycles(2);
        EXPECT_TRUE(miner.ended);
        return StopAndReadLog();
    }
    static std::vector<std::uint32_t> EventIds() {
        std::vector<std::uint32_t> ids;
        for (const auto& event : machine().eventLog.events) {
            ids.push_back(event.eventId);
        }
        return ids;
    }
    void ResetMachine() {
        loop_.reset();
        ProcessHandleCache::Instance().Clear();
        SetUp();
    }
};

TEST_F(EventLogScenario, TheRegistryValueChoosesWhichRecordsBecomeEvents) {
    const auto isDefault = [](std::uint32_t id) {
        return id == 58 || id == 59 || id == 60 || id == 113 || id == 56 || id == 111 ||
               id == 112 || id == 38;
    };
    const struct {
        const char* what;
        std::optional<std::wstring> value;
        std::function<bool(std::uint32_t)> chosen;
    } cases[] = {
        {"missing", std::nullopt, isDefault},
        {"default", L"default", isDefault},
        {"all", L"all", [](std::uint32_t) { return true; }},
        {"none", L"None", [](std::uint32_t) { return false; }},
        {"a list", L"4, 76", [&](std::uint32_t id) { return isDefault(id) || id == 4 || id == 76; }},
    };
    for (const auto& c : cases) {
        ResetMachine();
        SetRecordsValue(c.value);
        const auto log = RunWithDisallowedProcess();
        ASSERT_EQ(Only(log, 4).size(), 1u) << c.what;
        std::vector<std::uint32_t> expected;
        for (const std::uint32_t id : Ids(log)) {
            if (c.chosen(id)) {
                expected.push_back(id);
            }
        }
        // Exactly the chosen records, in the order of the file.
        EXPECT_EQ(EventIds(), expected) << c.what;
        if (c.value != L"None") {
            // The start and the stop go with every form but none.
            const auto ids = EventIds();
            EXPECT_NE(std::find(ids.begin(), ids.end(), 58u), ids.end()) << c.what;
            EXPECT_EQ(ids.back(), static_cast<std::uint32_t>(CV_ACTION_CORE_ENGINE_STOPPED))
                << c.what;
        }
    }
}

TEST_F(EventLogScenario, ADisallowedProcessClosedBecomesAnEventWithTheRecordsFields) {
    SetRecordsValue(L"all");
    const auto log = RunWithDisallowedProcess();
    const auto closed = Only(log, 4);
    ASSERT_EQ(closed.size(), 1u);
    const sim::SimEvent* event = nullptr;
    for (const auto& candidate : machine().eventLog.events) {
        if (candidate.eventId == 4) {
            event = &candidate;
        }
    }
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->source, L"Vigilor");
    EXPECT_EQ(event->type, static_cast<std::uint16_t>(platform::EventType::Information));
    EXPECT_EQ(event->strings,
              (std::vector<std::wstring>{L"Miner.exe", L"200", L"alice", closed[0].info,
                                         closed[0].path, closed[0].commandLine}));
    // One source for the whole run, let go when the engine ends.
    EXPECT_EQ(machine().eventLog.registrations, 1);
    EXPECT_EQ(machine().eventLog.openSources, 0);
}

TEST_F(EventLogScenario, EntriesThatAreNoActionIdsAreIgnoredAndNamedOnce) {
    SetRecordsValue(L"4,bogus");
    Start({{L"DisallowedProcesses", L"miner.exe"}});
    Cycles(1);
    // A reload reads the value again: the same entries are not named again.
    machine().SetNamedEvent(L"Local\\Corvane777");
    Cycles(2);
    machine().AddProcess(200, L"miner.exe").parentPid = 4;
    Cycles(2);
    const auto log = StopAndReadLog();
    std::size_t named = 0;
    for (const auto& action : Only(log, CV_ACTION_CORE_ENGINE_INITIALIZED)) {
        if (action.info.find(L"\"bogus\"") != std::wstring::npos) {
            ++named;
        }
    }
    EXPECT_EQ(named, 1u);
    // The valid entry still counts.
    EXPECT_EQ(Only(log, 4).size(), 1u);
    std::size_t closedEvents = 0;
    for (const std::uint32_t id : EventIds()) {
        closedEvents += id == 4 ? 1 : 0;
    }
    EXPECT_EQ(closedEvents, 1u);
}

TEST_F(EventLogScenario, TheValueIsReadAgainAtAReload) {
    Start({{L"DisallowedProcesses", L"miner.exe"}});
    Cycles(1);
    // The start went there under the default; the engine-running record is its last.
    ASSERT_TRUE(machine().WaitUntil([] {
        const auto ids = EventIds();
        return std::find(ids.begin(), ids.end(), 60u) != ids.end();
    }));
    const std::size_t before = machine().eventLog.events.size();
    SetRecordsValue(L"none");
    machine().SetNamedEvent(L"Local\\Corvane777");
    Cycles(2);
    machine().AddProcess(200, L"miner.exe").parentPid = 4;
    Cycles(2);
    const auto log = StopAndReadLog();
    EXPECT_EQ(Only(log, 4).size(), 1u);
    EXPECT_EQ(machine().eventLog.events.size(), before);
}

}  // namespace
}  // namespace cv
