#include "actionlog/EventLogSelection.h"

#include <algorithm>
#include <cstring>

#include "actionlog/ActionCodes.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Registry.h"

namespace cv {

namespace {

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
// ReportEventW refuses an event whose strings are too long together; a command line can be
// 32767 characters. What is cut is still whole in corvane.log.
constexpr std::size_t kLongestString = 4096;

constexpr std::uint32_t kDefaultActions[] = {
    CV_ACTION_CORE_ENGINE_STARTED,
    CV_ACTION_CORE_ENGINE_BEGIN,
    CV_ACTION_CORE_ENGINE_STOPPED,
    CV_ACTION_CORE_ENGINE_INITIALIZED,
    CV_ACTION_TOOK_CORE_ENGINE_RESTART_ERROR_DETECTED,
    CV_ACTION_TOOK_PROTECTED_PROCESS_SPARED,
    CV_ACTION_TOOK_PROCESS_CHANGE_ERROR,
    CV_ACTION_TOOK_LEVELON_ENDED_RESTORE_CORE_PARKING_ERROR,
};

std::wstring Trimmed(std::wstring_view text) {
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(L" \t");
    return std::wstring(text.substr(first, last - first + 1));
}

// A recorded action id in decimal, or none.
std::optional<std::uint32_t> ActionIdOf(const std::wstring& entry) {
    if (entry.empty() || entry.size() > 9 ||
        entry.find_first_not_of(L"0123456789") != std::wstring::npos) {
        return std::nullopt;
    }
    const auto id = static_cast<std::uint32_t>(std::stoul(entry));
    if (id == CV_ACTION_NO_ACTION || FindActionCode(id) == nullptr) {
        return std::nullopt;
    }
    return id;
}

}  // namespace

bool IsDefaultEventLogAction(std::uint32_t actionId) {
    for (const std::uint32_t id : kDefaultActions) {
        if (id == actionId) {
            return true;
        }
    }
    return false;
}

bool EventLogSelection::Selects(std::uint32_t actionId) const {
    switch (mode) {
        case Mode::All:
            return true;
        case Mode::None:
            return false;
        case Mode::Default:
            break;
    }
    return IsDefaultEventLogAction(actionId) || added.count(actionId) != 0;
}

EventLogSelection ParseEventLogRecords(const std::optional<std::wstring>& value) {
    EventLogSelection selection;
    if (!value) {
        return selection;
    }
    const std::wstring whole = ToLower(Trimmed(*value));
    if (whole.empty() || whole == L"default") {
        return selection;
    }
    if (whole == L"all") {
        selection.mode = EventLogSelection::Mode::All;
        return selection;
    }
    if (whole == L"none") {
        selection.mode = EventLogSelection::Mode::None;
        return selection;
    }
    std::size_t at = 0;
    while (at <= value->size()) {
        const std::size_t comma = std::min(value->find(L',', at), value->size());
        const std::wstring entry = Trimmed(std::wstring_view(*value).substr(at, comma - at));
        at = comma + 1;
        if (entry.empty() || ToLower(entry) == L"default") {
            continue;
        }
        if (const auto id = ActionIdOf(entry)) {
            selection.added.insert(*id);
        } else {
            selection.ignored.push_back(entry);
        }
    }
    return selection;
}

EventLogSelection ReadEventLogSelection() {
    return ParseEventLogRecords(platform::ReadRegistryString(
        platform::RegistryRoot::LocalMachine, kCorvaneKey, kEventLogRecordsValue));
}

platform::EventType EventTypeOf(std::uint32_t actionId) {
    const ActionCodeInfo* info = FindActionCode(actionId);
    const bool failure = actionId == CV_ACTION_TOOK_PROTECTED_PROCESS_SPARED ||
                         (info != nullptr && std::strstr(info->name, "ERROR") != nullptr);
    return failure ? platform::EventType::Error : platform::EventType::Information;
}

std::vector<std::wstring> EventStrings(const ActionRecord& record) {
    std::vector<std::wstring> strings = {record.basename, FormatText(L"%lu", record.pid),
                                         record.user,     record.info,
                                         record.path,     record.commandLine};
    for (std::wstring& text : strings) {
        if (text.size() > kLongestString) {
            text.resize(kLongestString - 3);
            text += L"...";
        }
    }
    return strings;
}

std::optional<std::wstring> IgnoredEntriesText(const EventLogSelection& selection) {
    if (selection.ignored.empty()) {
        return std::nullopt;
    }
    std::wstring list;
    for (const std::wstring& entry : selection.ignored) {
        list += list.empty() ? L"\"" : L", \"";
        list += entry;
        list += L'"';
    }
    return FormatText(L"The registry value EventLogRecords lists entries that are no action ids; "
                      L"they are ignored: %s",
                      list);
}

}  // namespace cv
