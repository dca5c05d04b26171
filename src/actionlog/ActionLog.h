#pragma once
// The action log corvane.log: records are queued by any thread and written by one writer thread,
// which checks the header, appends the line and rotates the file past a size limit. A
// machine-wide mutex keeps other programs off the file while it is written.
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "actionlog/ActionRecord.h"
#include "platform/Handle.h"

namespace cv {

class ConfigSettings;

inline constexpr wchar_t kLogFileName[] = L"corvane.log";
inline constexpr char kLogHeader[] =
    "\"UTC\",\"LocalTime\",\"Machine\",\"User\",\"PID\",\"Basename\",\"ActionId\",\"Action\","
    "\"Info\",\"Path\",\"CommandLine\"";

// ' -> '', " -> "", , -> \,
std::wstring EscapeLogValue(std::wstring_view value);
// The date pattern chosen by the DateTimeFormat registry value (0, 1 or 2).
std::wstring LogDatePattern(std::uint32_t dateTimeFormat);
// One record line without its line end.
std::wstring FormatLogLine(const ActionRecord& record, const std::wstring& datePattern);

class ActionLog {
public:
    ActionLog();
    ActionLog(const ActionLog&) = delete;
    ActionLog& operator=(const ActionLog&) = delete;
    ~ActionLog();

    // An override folder (one trailing separator removed) used as it is; none goes back to the
    // configured or default folder.
    void SetFolder(const std::optional<std::wstring>& folder);
    std::wstring Folder();
    std::wstring LogPath();
    std::uint32_t MaxFileSize() const { return maxFileSize_; }

    bool StartWriter();
    // Sets the wake event when records are waiting.
    void Wake();
    // Writes what is queued and ends the writer, waiting about five seconds at most.
    void StopWriter();

    void Append(ActionRecord record);
    std::size_t QueuedCount();

private:
    void DetermineFolder();
    void RunWriter();
    void Drain(bool stopping);
    void WriteRecord(const std::wstring& path, const ActionRecord& record);
    void Rotate(const std::wstring& path);

    std::mutex folderMutex_;
    std::wstring folder_;
    bool folderOverridden_ = false;
    std::uint32_t maxFileSize_ = 0x40000;
    std::optional<std::wstring> datePattern_;
    platform::UniqueHandle fileMutex_;
    std::recursive_mutex queueLock_;
    std::deque<ActionRecord> queue_;
    platform::UniqueHandle wakeEvent_;
    platform::UniqueHandle stopEvent_;
    std::thread writer_;
};

// Builds a record and queues it; never touches the file.
void RecordAction(ActionLog& log, const ConfigSettings* config, std::uint32_t actionId,
                  const ActionFacts& facts);

}  // namespace cv
