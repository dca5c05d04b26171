#include "actionlog/LogWriter.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/LogFile.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
// Lost records not yet reported, kept for the next run. Per user, beside the engine's other
// per-user values: the log folder itself may be what failed, and it may differ in the next run.
constexpr wchar_t kLostRecordsValue[] = L"LostLogRecords";

// A record of the engine about its own log, in the form of its start-up records.
ActionRecord EngineNotice(const std::wstring& info) {
    ActionFacts facts;
    facts.name = L"vigilor.exe";
    facts.pid = platform::OwnProcessId();
    facts.info = info;
    facts.path = platform::OwnImagePath();
    return MakeActionRecord(nullptr, CV_ACTION_CORE_ENGINE_INITIALIZED, facts);
}

ActionRecord LostNotice(std::uint64_t count) {
    return EngineNotice(
        count == 1 ? std::wstring(L"1 earlier action record could not be written to the log and "
                                  L"was lost")
                   : FormatText(L"%llu earlier action records could not be written to the log "
                                L"and were lost",
                                count));
}

// Whether the log file can be opened in the folder. A file the probe created is removed again,
// so a folder that is only looked at keeps no trace.
bool CanWriteIn(const std::wstring& folder) {
    const std::wstring path = folder + L"\\" + kLogFileName;
    const bool existed = platform::PathExists(path);
    auto opened =
        platform::OpenFile(path, platform::kGenericRead | platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    if (!opened.handle) {
        // Another program holding the file open only delays the writer.
        return opened.error == platform::FileOpenError::SharingViolation;
    }
    const bool empty = platform::FileSize(opened.handle.Get()).value_or(1) == 0;
    opened.handle.Reset();
    if (!existed && empty) {
        platform::DeleteFileAt(path);
    }
    return true;
}

}  // namespace

LogWriter::LogWriter() {
    maxFileSize_ =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"MaxLogFileSize")
            .value_or(0x40000);
    fileMutex_ =
        platform::CreateMutexObject(names::kActionLogMutex, false, platform::ObjectSecurity::Open);
    DetermineFolder();
    wakeEvent_ = platform::CreateEventObject(L"", false, false, platform::ObjectSecurity::Default);
    stopEvent_ = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    abandonEvent_ =
        platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
    savedLost_ =
        platform::ReadRegistryDword(RegistryRoot::CurrentUser, kCorvaneKey, kLostRecordsValue)
            .value_or(0);
    lost_ = savedLost_;
}

void LogWriter::SetFolder(const std::optional<std::wstring>& folder) {
    std::lock_guard lock(folderMutex_);
    if (!folder) {
        folder_.clear();
        folderOverridden_ = false;
        return;
    }
    folder_ = *folder;
    if (!folder_.empty() && (folder_.back() == L'\\' || folder_.back() == L'/')) {
        folder_.pop_back();
    }
    folderOverridden_ = true;
}

void LogWriter::DetermineFolder() {
    std::lock_guard lock(folderMutex_);
    if (!folder_.empty()) {
        return;
    }
    std::wstring folder =
        platform::ReadRegistryString(RegistryRoot::LocalMachine, kCorvaneKey, L"LogFolder")
            .value_or(L"");
    if (!folder.empty()) {
        const std::size_t at = folder.find(L"logs");
        if (at != std::wstring::npos && folder.size() >= 4 && at < folder.size() - 4) {
            if (folder.back() != L'\\') {
                folder += L'\\';
            }
            folder += L"logs";
        }
    } else {
        const auto special = IsServiceInstalled() ? platform::SpecialFolder::CommonAppData
                                                  : platform::SpecialFolder::LocalAppData;
        folder = platform::SpecialFolderPath(special, true);
        if (!folder.empty()) {
            folder += L"\\Corvane\\logs";
        }
    }
    if (!folder.empty() && !platform::PathExists(folder)) {
        platform::CreateFolderTree(folder, OwnFolderSecurity());
    }
    folder_ = folder;
}

void LogWriter::ChooseFolder() {
    DetermineFolder();
    std::wstring given;
    {
        std::lock_guard lock(folderMutex_);
        if (!folderOverridden_ || folder_.empty()) {
            return;
        }
        given = folder_;
    }
    if (CanWriteIn(given)) {
        return;
    }
    // A folder given on the command line that is missing, is a file or refuses the log file
    // would leave the engine without any log; the default folder takes over, and its first
    // record says why.
    SetFolder(std::nullopt);
    DetermineFolder();
    folderNotice_ = EngineNotice(FormatText(
        L"The log folder %s cannot be used; the log is written to %s instead", given, Folder()));
}

std::wstring LogWriter::Folder() {
    std::lock_guard lock(folderMutex_);
    return folder_;
}

std::wstring LogWriter::LogPath() {
    const std::wstring folder = Folder();
    if (!folder.empty() && folder.back() == L'\\') {
        return folder + kLogFileName;
    }
    return folder + L"\\" + kLogFileName;
}

void LogWriter::Append(ActionRecord record) {
    std::lock_guard lock(lock_);
    if (queue_.size() >= kQueueLimit) {
        queue_.pop_front();
        ++lost_;
    }
    queue_.push_back(std::move(record));
}

void LogWriter::SetEventLogSelection(EventLogSelection selection) {
    std::lock_guard lock(lock_);
    eventSelection_ = std::move(selection);
}

EventLogTally LogWriter::EventTally() {
    std::lock_guard lock(lock_);
    return eventTally_;
}

std::size_t LogWriter::QueuedCount() {
    std::lock_guard lock(lock_);
    return queue_.size();
}

std::uint64_t LogWriter::LostCount() {
    std::lock_guard lock(lock_);
    return lost_;
}

void LogWriter::PrepareRun() {
    platform::ResetEventObject(stopEvent_.Get());
    platform::ResetEventObject(abandonEvent_.Get());
    std::lock_guard lock(lock_);
    abandoned_ = false;
    ended_ = false;
}

void LogWriter::Wake() {
    if (QueuedCount() != 0) {
        platform::SetEventObject(wakeEvent_.Get());
    }
}

void LogWriter::RequestStop() {
    Wake();
    platform::SetEventObject(stopEvent_.Get());
}

bool LogWriter::WaitUntilEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    return endedChanged_.wait_for(lock, timeout, [this] { return ended_; });
}

bool LogWriter::HasEnded() {
    std::lock_guard lock(lock_);
    return ended_;
}

bool LogWriter::IsAbandoned() {
    std::lock_guard lock(lock_);
    return abandoned_;
}

void LogWriter::Abandon() {
    std::lock_guard lock(lock_);
    if (abandoned_ || ended_) {
        return;
    }
    abandoned_ = true;
    // A record whose write has not returned is counted too: should the write still complete
    // before the process ends, the record is in the log and also in the count.
    lost_ += queue_.size() + (inFlight_ ? 1 : 0);
    queue_.clear();
    SaveLostCountLocked();
    platform::SetEventObject(abandonEvent_.Get());
}

void LogWriter::CountUnwritten() {
    std::lock_guard lock(lock_);
    lost_ += queue_.size();
    queue_.clear();
    SaveLostCountLocked();
}

void LogWriter::SaveLostCountLocked() {
    if (lost_ == savedLost_) {
        return;
    }
    if (lost_ == 0) {
        platform::DeleteRegistryValue(RegistryRoot::CurrentUser, kCorvaneKey, kLostRecordsValue);
    } else {
        platform::WriteRegistryDword(
            RegistryRoot::CurrentUser, kCorvaneKey, kLostRecordsValue,
            static_cast<std::uint32_t>(std::min<std::uint64_t>(lost_, 0xFFFFFFFFu)));
    }
    savedLost_ = lost_;
}

void LogWriter::Run() {
    ChooseFolder();
    for (;;) {
        // Both waits end on the owner's signals: the stop event at shutdown, and the abandon
        // event when shutdown stops waiting for the writer.
        const platform::RawHandle events[] = {wakeEvent_.Get(), stopEvent_.Get()};
        const int signalled = platform::WaitForAnyObject(events, 2, platform::kInfinite);
        if (signalled == platform::kWaitFailed) {
            break;  // the events are gone: nothing can wake the writer again
        }
        if (signalled == 1) {
            Drain(true);
            break;
        }
        if (signalled == 0) {
            Drain(false);
        }
    }
    {
        std::lock_guard lock(lock_);
        ended_ = true;
    }
    endedChanged_.notify_all();
}

void LogWriter::Drain(bool stopping) {
    WriteQueued(stopping);
    // After the file and outside its mutex: the event log never holds up the file.
    WriteEvents(stopping);
    if (stopping) {
        // What the event log's trouble made noted goes in with the rest.
        WriteQueued(true);
        WriteEvents(true);
    }
}

void LogWriter::WriteQueued(bool stopping) {
    if (QueuedCount() == 0) {
        return;
    }
    platform::UniqueHandle openedByName;
    platform::RawHandle mutex = fileMutex_.Get();
    if (mutex == nullptr) {
        openedByName = platform::OpenMutexObject(names::kActionLogMutex, platform::kSynchronize);
        mutex = openedByName.Get();
    }
    bool owned = false;
    if (mutex != nullptr) {
        // Another program may hold the file for long. Until shutdown the records wait in the
        // queue; at shutdown the owner waits a while and then counts them as lost.
        const platform::RawHandle objects[] = {mutex,
                                               stopping ? abandonEvent_.Get() : stopEvent_.Get()};
        if (platform::WaitForAnyObject(objects, 2, platform::kInfinite) != 0) {
            return;
        }
        owned = true;
    }
    const std::wstring path = LogPath();
    // Records made while the writer writes wait for the next wake, except at the end.
    std::size_t left = stopping ? std::numeric_limits<std::size_t>::max() : QueuedCount();
    for (; left > 0; --left) {
        ActionRecord record;
        {
            std::lock_guard lock(lock_);
            if (abandoned_ || queue_.empty()) {
                break;
            }
            record = std::move(queue_.front());
            queue_.pop_front();
            inFlight_ = true;
        }
        const bool written = WriteWithNotices(path, record);
        // A record the file could not take still goes to the event log.
        QueueEvent(record);
        std::lock_guard lock(lock_);
        inFlight_ = false;
        if (abandoned_) {
            break;  // counted by Abandon
        }
        if (!written) {
            ++lost_;
        }
    }
    if (owned) {
        platform::ReleaseMutexObject(mutex);
    }
}

bool LogWriter::WriteWithNotices(const std::wstring& path, const ActionRecord& record) {
    // The notices go before the record, so a record is only written when they are; otherwise
    // a reader would see the record without being told what happened before it. They carry the
    // record's time, so the log stays in time order for readers that sort it.
    const auto datedLikeRecord = [&record](ActionRecord notice) {
        notice.utcTime = record.utcTime;
        notice.localTime = record.localTime;
        return notice;
    };
    if (folderNotice_) {
        const ActionRecord notice = datedLikeRecord(*folderNotice_);
        if (!WriteOne(path, notice)) {
            return false;
        }
        QueueEvent(notice);
        folderNotice_.reset();
    }
    const std::uint64_t lost = LostCount();
    if (lost != 0) {
        const ActionRecord notice = datedLikeRecord(LostNotice(lost));
        if (!WriteOne(path, notice)) {
            return false;
        }
        QueueEvent(notice);
        std::lock_guard lock(lock_);
        if (!abandoned_) {
            lost_ -= lost;  // records lost meanwhile stay counted for the next notice
            SaveLostCountLocked();
        }
    }
    return WriteOne(path, record);
}

void LogWriter::QueueEvent(const ActionRecord& record) {
    const bool full = events_.size() >= kEventQueueLimit;
    {
        std::lock_guard lock(lock_);
        if (!eventSelection_.Selects(record.actionId)) {
            return;
        }
        if (full) {
            ++eventTally_.dropped;
        }
    }
    if (full) {
        events_.pop_front();
        if (!eventsDropped_) {
            eventsDropped_ = true;
            Append(EngineNotice(
                L"The Windows event log takes the engine's records too slowly; records chosen "
                L"for it are dropped there until it catches up, and are in corvane.log only"));
        }
    }
    events_.push_back(record);
}

void LogWriter::WriteEvents(bool stopping) {
    if (events_.empty()) {
        return;
    }
    if (!eventSource_) {
        eventSource_.emplace(kEventLogSource);
    }
    const std::uint64_t start = platform::TickCount64();
    while (!events_.empty() && !IsAbandoned()) {
        if (!stopping && platform::TickCount64() - start >= kEventBudgetMs) {
            return;  // the rest waits for the next wake
        }
        const ActionRecord record = std::move(events_.front());
        events_.pop_front();
        const platform::EventReport report = eventSource_->Report(
            EventTypeOf(record.actionId), record.actionId, EventStrings(record));
        {
            std::lock_guard lock(lock_);
            ++(report.accepted ? eventTally_.accepted : eventTally_.refused);
        }
        if (report.accepted) {
            eventsRefused_ = false;
        } else if (!eventsRefused_) {
            eventsRefused_ = true;
            Append(EngineNotice(FormatText(
                L"The Windows event log does not take the engine's records (error %lu); until it "
                L"does, they are in corvane.log only",
                report.error)));
        }
    }
    if (events_.empty()) {
        eventsDropped_ = false;
    }
}

bool LogWriter::WriteOne(const std::wstring& path, const ActionRecord& record) {
    if (!datePattern_) {
        datePattern_ = LogDatePattern(
            platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"DateTimeFormat")
                .value_or(0));
    }
    return AppendLogLine(path, ToUtf8(FormatLogLine(record, *datePattern_)), maxFileSize_);
}

}  // namespace cv
