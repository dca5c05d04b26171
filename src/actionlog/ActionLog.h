#pragma once
// The action log corvane.log: records are queued by any thread and written by one writer thread,
// which checks the header, appends the line and rotates the file past a size limit. A
// machine-wide mutex keeps other programs off the file while it is written. Records that cannot
// be written are counted, and the log says how many before the next record it can write.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "actionlog/ActionRecord.h"
#include "actionlog/EventLogSelection.h"
#include "actionlog/LogFile.h"
#include "platform/Threads.h"

namespace cv {

class ConfigSettings;
class LogWriter;
struct EventLogTally;

// ' -> '', " -> "", , -> \,
std::wstring EscapeLogValue(std::wstring_view value);
// Every value escaped and in double quotes, separated by commas.
std::wstring FormatCsvLine(const std::wstring* values, std::size_t count);
// The date pattern chosen by the DateTimeFormat registry value (0, 1 or 2).
std::wstring LogDatePattern(std::uint32_t dateTimeFormat);
// One record line without its line end.
std::wstring FormatLogLine(const ActionRecord& record, const std::wstring& datePattern);

class ActionLog {
  public:
    // How long shutdown waits for the writer to write what is queued.
    static constexpr std::chrono::milliseconds kStopGrace{5000};

    explicit ActionLog(std::chrono::milliseconds stopGrace = kStopGrace);
    ActionLog(const ActionLog&) = delete;
    ActionLog& operator=(const ActionLog&) = delete;
    ~ActionLog();

    // An override folder (one trailing separator removed) used as it is; none goes back to the
    // configured or default folder. When the writer starts and cannot write in the override, it
    // falls back to the default folder and says so in the first record there.
    void SetFolder(const std::optional<std::wstring>& folder);
    std::wstring Folder();
    std::wstring LogPath();
    std::uint32_t MaxFileSize() const;

    bool StartWriter();
    // Sets the wake event when records are waiting.
    void Wake();
    // Writes what is queued and ends the writer within the stop grace. What is still unwritten
    // then (another program holds the log mutex, or a file call does not return) is counted as
    // lost and reported by the next run.
    void StopWriter();
    // The writer thread has started and not ended.
    bool WriterRunning();

    void Append(ActionRecord record);
    std::size_t QueuedCount();
    // Records lost and not reported in the log yet.
    std::uint64_t LostCount();

    // Which records the writer also sends to the Windows event log (none until this is called:
    // tools that only read the log folder send nothing).
    void SetEventLogSelection(EventLogSelection selection);
    EventLogTally EventTally();

  private:
    std::shared_ptr<LogWriter> writer_;  // shared with the writer thread
    std::unique_ptr<platform::WorkerThread> thread_;
    std::chrono::milliseconds stopGrace_;
};

// The record RecordAction queues.
ActionRecord MakeActionRecord(const ConfigSettings* config, std::uint32_t actionId,
                              const ActionFacts& facts);

// Builds a record and queues it; never touches the file.
void RecordAction(ActionLog& log, const ConfigSettings* config, std::uint32_t actionId,
                  const ActionFacts& facts);

}  // namespace cv
