#pragma once
// The action log's queue, its folder and the work of its writer thread. The log (ActionLog) and
// its writer thread share this object, so a writer that shutdown had to leave behind in a file
// call that never returned still touches nothing that has been freed.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "actionlog/ActionRecord.h"
#include "actionlog/EventLogSelection.h"
#include "platform/EventLog.h"
#include "platform/Handle.h"

namespace cv {

// What became of the records chosen for the Windows event log in this run.
struct EventLogTally {
    std::uint64_t accepted = 0;
    std::uint64_t refused = 0;
    std::uint64_t dropped = 0;  // could not wait for a slow event log
};

class LogWriter {
  public:
    // Records waiting beyond this are dropped, oldest first, and counted as lost: a program that
    // holds the log mutex for hours must not make the engine grow without end.
    static constexpr std::size_t kQueueLimit = 10000;
    // The event log is written after the file, for at most this long per wake, so a slow one
    // delays no record of the file for long; events waiting beyond the limit are dropped, oldest
    // first (the records themselves are in the file).
    static constexpr std::size_t kEventQueueLimit = 1000;
    static constexpr std::uint64_t kEventBudgetMs = 250;

    LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void SetFolder(const std::optional<std::wstring>& folder);
    std::wstring Folder();
    std::wstring LogPath();
    std::uint32_t MaxFileSize() const { return maxFileSize_; }

    void Append(ActionRecord record);
    std::size_t QueuedCount();
    // Records that could not be written and have not been reported in the log yet, including
    // those an earlier run could not write.
    std::uint64_t LostCount();

    // Which records also go to the event log from now on.
    void SetEventLogSelection(EventLogSelection selection);
    EventLogTally EventTally();

    // The writer thread's body: waits for work, writes, and ends on the stop signal.
    void Run();

    // The owner's side.
    void PrepareRun();
    void Wake();
    void RequestStop();
    bool WaitUntilEnded(std::chrono::milliseconds timeout);
    bool HasEnded();
    bool IsAbandoned();
    // The writer did not end in time: what it has not written is counted as lost and saved for
    // the next run, and it writes nothing more.
    void Abandon();
    // Counts records left in the queue, which no writer will write any more, and saves the count.
    void CountUnwritten();

  private:
    void DetermineFolder();
    void ChooseFolder();
    void Drain(bool stopping);
    void WriteQueued(bool stopping);
    bool WriteWithNotices(const std::wstring& path, const ActionRecord& record);
    bool WriteOne(const std::wstring& path, const ActionRecord& record);
    void SaveLostCountLocked();
    void QueueEvent(const ActionRecord& record);
    void WriteEvents(bool stopping);
    void NoteEventTrouble(const std::wstring& info);

    std::mutex folderMutex_;
    std::wstring folder_;
    bool folderOverridden_ = false;
    std::uint32_t maxFileSize_ = 0x40000;

    platform::UniqueHandle fileMutex_;
    platform::UniqueHandle wakeEvent_;
    platform::UniqueHandle stopEvent_;
    platform::UniqueHandle abandonEvent_;

    // Guards the queue, the counts and the writer's state below.
    std::mutex lock_;
    std::condition_variable endedChanged_;
    std::deque<ActionRecord> queue_;
    std::uint64_t lost_ = 0;
    std::uint64_t savedLost_ = 0;  // the count as it stands in the registry
    bool inFlight_ = false;        // the writer has taken a record and not finished it
    bool abandoned_ = false;
    bool ended_ = false;
    // None until the engine says: a tool that only learns the log folder sends nothing.
    EventLogSelection eventSelection_{.mode = EventLogSelection::Mode::None};
    EventLogTally eventTally_;

    // Only the writer thread touches these.
    std::optional<std::wstring> datePattern_;
    std::optional<ActionRecord> folderNotice_;
    std::optional<platform::EventSource> eventSource_;
    std::deque<ActionRecord> events_;
    // The event log refuses records, or some had to be dropped: noted once each until it takes
    // records again.
    bool eventsRefused_ = false;
    bool eventsDropped_ = false;
};

}  // namespace cv
