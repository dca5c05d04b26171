#pragma once
// Which action records also go to the Application event log, under the source "Vigilor". An
// administrator chooses it with the REG_SZ value EventLogRecords under HKLM\Software\Corvane
// (group policy can deploy that; corvex.ini has no say):
//   missing, empty or "default"  the engine's start, stop and failures;
//   "all"                         every record;
//   "none"                        no record;
//   "5, 76"                       the default plus the listed action ids.
// Entries of a list that are not action ids are ignored; the engine says so once.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "actionlog/ActionRecord.h"
#include "platform/EventLog.h"

namespace cv {

inline constexpr wchar_t kEventLogSource[] = L"Vigilor";
inline constexpr wchar_t kEventLogRecordsValue[] = L"EventLogRecords";

struct EventLogSelection {
    enum class Mode { Default, All, None };
    Mode mode = Mode::Default;
    std::set<std::uint32_t> added;     // action ids selected beside the default
    std::vector<std::wstring> ignored;  // list entries that are no action id, as written

    bool Selects(std::uint32_t actionId) const;
    bool operator==(const EventLogSelection&) const = default;
};

// The default: the records an administrator of many machines wants from every one of them.
//   58, 60  the engine started (CORE_ENGINE_STARTED, CORE_ENGINE_BEGIN)
//   113     the engine stopped (CORE_ENGINE_STOPPED)
//   59      the engine's own notices (CORE_ENGINE_INITIALIZED): among them the configuration
//           that cannot be loaded, records lost, a log folder that cannot be used
//   56      crashed too often and not restarted (CORE_ENGINE_RESTART_ERROR_DETECTED)
//   112     a rule refused for the engine itself or a critical process (PROTECTED_PROCESS_SPARED)
//   111     a change to a process that could not be made or put back (PROCESS_CHANGE_ERROR)
//   38      core parking that could not be put back (LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR)
bool IsDefaultEventLogAction(std::uint32_t actionId);

EventLogSelection ParseEventLogRecords(const std::optional<std::wstring>& value);
// The registry value as it stands now.
EventLogSelection ReadEventLogSelection();

// Error for a failure (an action whose name says ERROR, or a refused rule), information
// otherwise.
platform::EventType EventTypeOf(std::uint32_t actionId);

// The insertion strings of the event, in the order the message table uses them:
// %1 name, %2 process id, %3 user, %4 information, %5 path, %6 command line.
std::vector<std::wstring> EventStrings(const ActionRecord& record);

// The record of the engine that names ignored entries, or none when nothing was ignored.
std::optional<std::wstring> IgnoredEntriesText(const EventLogSelection& selection);

}  // namespace cv
