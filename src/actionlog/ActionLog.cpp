#include "actionlog/ActionLog.h"

#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "actionlog/ActionCodes.h"
#include "actionlog/LogWriter.h"
#include "common/Format.h"
#include "common/ThreadParking.h"
#include "config/ConfigSettings.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/System.h"
#include "texts/Language.h"

namespace cv {

namespace {

constexpr std::uint32_t kHiddenCommandLineText = 1254;

}  // namespace

std::wstring EscapeLogValue(std::wstring_view value) {
    std::wstring out;
    out.reserve(value.size() + 8);
    for (const wchar_t c : value) {
        if (c == L'\'') {
            out += L"''";
        } else if (c == L'"') {
            out += L"\"\"";
        } else if (c == L',') {
            out += L"\\,";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::wstring LogDatePattern(std::uint32_t dateTimeFormat) {
    switch (dateTimeFormat) {
        case 1:
            return L"dd-MM-yyyy";
        case 2:
            return L"yyyy-MM-dd";
        default:
            return L"MM-dd-yyyy";
    }
}

std::wstring FormatLogLine(const ActionRecord& record, const std::wstring& datePattern) {
    const std::wstring localTime =
        FormatText(L"%s %s", platform::FormatFileTimeDate(record.localTime, datePattern),
                   platform::FormatFileTimeTime(record.localTime, L"hh:mm:ss"));
    const std::wstring values[] = {FormatText(L"%llu", record.utcTime),
                                   localTime,
                                   record.machine,
                                   record.user,
                                   FormatText(L"%lu", record.pid),
                                   record.basename,
                                   FormatText(L"%lu", record.actionId),
                                   ActionText(record.actionId),
                                   record.info,
                                   record.path,
                                   record.commandLine};
    return FormatCsvLine(values, std::size(values));
}

std::wstring FormatCsvLine(const std::wstring* values, std::size_t count) {
    std::wstring line;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            line += L',';
        }
        line += L'"';
        line += EscapeLogValue(values[i]);
        line += L'"';
    }
    return line;
}

ActionLog::ActionLog(std::chrono::milliseconds stopGrace)
    : writer_(std::make_shared<LogWriter>()), stopGrace_(stopGrace) {}

ActionLog::~ActionLog() {
    StopWriter();
    if (thread_ && thread_->Joinable()) {
        std::shared_ptr<platform::WorkerThread> thread(std::move(thread_));
        ParkUnresponsiveThread([thread] { thread->Join(); }, writer_,
                               [writer = writer_] { return writer->HasEnded(); });
    }
}

void ActionLog::SetFolder(const std::optional<std::wstring>& folder) {
    writer_->SetFolder(folder);
}
std::wstring ActionLog::Folder() {
    return writer_->Folder();
}
std::wstring ActionLog::LogPath() {
    return writer_->LogPath();
}
std::uint32_t ActionLog::MaxFileSize() const {
    return writer_->MaxFileSize();
}
void ActionLog::Wake() {
    writer_->Wake();
}
void ActionLog::Append(ActionRecord record) {
    writer_->Append(std::move(record));
}
void ActionLog::SetEventLogSelection(EventLogSelection selection) {
    writer_->SetEventLogSelection(std::move(selection));
}
EventLogTally ActionLog::EventTally() {
    return writer_->EventTally();
}
std::size_t ActionLog::QueuedCount() {
    return writer_->QueuedCount();
}
std::uint64_t ActionLog::LostCount() {
    return writer_->LostCount();
}

bool ActionLog::StartWriter() {
    if (thread_ && thread_->Joinable()) {
        if (!writer_->HasEnded()) {
            return !writer_->IsAbandoned();  // running, or left behind in a file call
        }
        thread_->Join();
    }
    writer_->PrepareRun();
    if (!thread_) {
        thread_ = std::make_unique<platform::WorkerThread>();
    }
    return thread_->Start([writer = writer_] { writer->Run(); }, platform::kWorkerStackReserve,
                          platform::kThreadPriorityNormal);
}

bool ActionLog::WriterRunning() {
    return thread_ && thread_->Joinable() && !writer_->HasEnded();
}

void ActionLog::StopWriter() {
    // The writer is joined only once it has said it ended, so a file call that never returns
    // cannot hold up shutdown. Its waits end on the stop signal and, at shutdown, on the abandon
    // signal; the grace is real time, as it bounds how long the engine takes to end.
    if (thread_ && thread_->Joinable() && !writer_->IsAbandoned()) {
        writer_->RequestStop();
        const auto lastTenth = stopGrace_ / 10;
        if (!writer_->WaitUntilEnded(stopGrace_ - lastTenth)) {
            writer_->Abandon();
            // Unless it is stuck in a file call, it ends at once now.
            writer_->WaitUntilEnded(lastTenth);
        }
    }
    if (thread_ && thread_->Joinable() && writer_->HasEnded()) {
        thread_->Join();
    }
    writer_->CountUnwritten();
}

ActionRecord MakeActionRecord(const ConfigSettings* config, std::uint32_t actionId,
                              const ActionFacts& facts) {
    static const std::wstring machine = platform::ComputerName();
    static const std::wstring hiddenCommandLine =
        FormatText(L"<%s>", LoadResourceString(kHiddenCommandLineText));
    ActionRecord record;
    record.utcTime = platform::SystemTimeAsFileTime();
    record.localTime = platform::ToLocalFileTime(record.utcTime);
    record.actionId = actionId;
    record.pid = facts.pid == 0xFFFFFFFF ? 0 : facts.pid;
    record.machine = machine;
    record.user = facts.user ? *facts.user : platform::OwnUserName().value_or(L"");
    record.basename = facts.name;
    record.info = facts.info;
    record.path = facts.path;
    if (config != nullptr && facts.commandLine) {
        record.commandLine =
            config->Logging.IncludeCommandLines ? *facts.commandLine : hiddenCommandLine;
    }
    return record;
}

void RecordAction(ActionLog& log, const ConfigSettings* config, std::uint32_t actionId,
                  const ActionFacts& facts) {
    log.Append(MakeActionRecord(config, actionId, facts));
}

}  // namespace cv
