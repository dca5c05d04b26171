#include "actionlog/ActionLog.h"

#include <vector>

#include "actionlog/ActionCodes.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "services/EngineProcess.h"
#include "services/KernelObjectNames.h"
#include "services/Language.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr std::uint32_t kHiddenCommandLineText = 1254;
constexpr std::uint32_t kStopGraceMs = 5000;
const std::string kBom = "\xEF\xBB\xBF";

bool HeaderMatches(const std::string& bytes) {
    const std::string_view header(kLogHeader);
    if (bytes.size() < 3 + header.size()) {
        return false;
    }
    for (std::size_t i = 0; i < header.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        };
        if (lower(bytes[3 + i]) != lower(header[i])) {
            return false;
        }
    }
    return true;
}

std::string FreshHeader() {
    return kBom + kLogHeader + "\r\n";
}

bool WriteAll(platform::RawHandle file, const std::string& bytes) {
    return platform::WriteToFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

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
    std::wstring line;
    for (const auto& value : values) {
        if (!line.empty()) {
            line += L',';
        }
        line += L'"';
        line += EscapeLogValue(value);
        line += L'"';
    }
    return line;
}

ActionLog::ActionLog() {
    maxFileSize_ =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"MaxLogFileSize")
            .value_or(0x40000);
    fileMutex_ =
        platform::CreateMutexObject(names::kActionLogMutex, false, platform::ObjectSecurity::Open);
    DetermineFolder();
    wakeEvent_ = platform::CreateEventObject(L"", false, false, platform::ObjectSecurity::Default);
    stopEvent_ = platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default);
}

ActionLog::~ActionLog() {
    StopWriter();
}

void ActionLog::SetFolder(const std::optional<std::wstring>& folder) {
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

void ActionLog::DetermineFolder() {
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
        platform::CreateFolderTree(folder);
    }
    folder_ = folder;
}

std::wstring ActionLog::Folder() {
    std::lock_guard lock(folderMutex_);
    return folder_;
}

std::wstring ActionLog::LogPath() {
    const std::wstring folder = Folder();
    if (!folder.empty() && folder.back() == L'\\') {
        return folder + kLogFileName;
    }
    return folder + L"\\" + kLogFileName;
}

bool ActionLog::StartWriter() {
    if (writer_.joinable()) {
        return true;
    }
    platform::ResetEventObject(stopEvent_.Get());
    try {
        writer_ = std::thread([this] { RunWriter(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ActionLog::Wake() {
    if (QueuedCount() != 0) {
        platform::SetEventObject(wakeEvent_.Get());
    }
}

void ActionLog::StopWriter() {
    if (!writer_.joinable()) {
        return;
    }
    Wake();
    platform::SetEventObject(stopEvent_.Get());
    writer_.join();
}

void ActionLog::Append(ActionRecord record) {
    std::lock_guard lock(queueLock_);
    queue_.push_back(std::move(record));
}

std::size_t ActionLog::QueuedCount() {
    std::lock_guard lock(queueLock_);
    return queue_.size();
}

void ActionLog::RunWriter() {
    DetermineFolder();
    for (;;) {
        const platform::RawHandle events[] = {wakeEvent_.Get(), stopEvent_.Get()};
        const int signalled = platform::WaitForAnyObject(events, 2, platform::kInfinite);
        if (signalled != 0 && signalled != 1) {
            if (signalled == platform::kWaitFailed) {
                return;  // the events are gone: nothing can wake the writer again
            }
            continue;
        }
        Drain(signalled == 1);
        if (signalled == 1) {
            return;
        }
    }
}

void ActionLog::Drain(bool stopping) {
    // The queue is taken out under its lock and written after, so that a thread that records an
    // action never waits for the file or for another program holding the log mutex.
    std::deque<ActionRecord> batch;
    {
        std::lock_guard lock(queueLock_);
        batch.swap(queue_);
    }
    if (batch.empty()) {
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
        if (stopping) {
            owned = platform::WaitForObject(mutex, kStopGraceMs) == platform::WaitResult::Signalled;
        } else {
            const platform::RawHandle objects[] = {mutex, stopEvent_.Get()};
            const int signalled = platform::WaitForAnyObject(objects, 2, platform::kInfinite);
            owned = signalled == 0;
            if (signalled == 1) {
                // Shutdown while another program holds the file: wait a little more, then give up.
                owned =
                    platform::WaitForObject(mutex, kStopGraceMs) == platform::WaitResult::Signalled;
            }
        }
        if (!owned) {
            if (!stopping && !platform::IsSignalled(stopEvent_.Get())) {
                // Keep the records for the next drain.
                std::lock_guard lock(queueLock_);
                batch.insert(batch.end(), std::make_move_iterator(queue_.begin()),
                             std::make_move_iterator(queue_.end()));
                queue_.swap(batch);
            }
            return;
        }
    }
    const std::wstring path = LogPath();
    for (const ActionRecord& record : batch) {
        WriteRecord(path, record);
    }
    if (owned) {
        platform::ReleaseMutexObject(mutex);
    }
}

void ActionLog::WriteRecord(const std::wstring& path, const ActionRecord& record) {
    if (!datePattern_) {
        datePattern_ = LogDatePattern(
            platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"DateTimeFormat")
                .value_or(0));
    }
    auto opened =
        platform::OpenFile(path, platform::kGenericRead | platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    if (!opened.handle) {
        return;  // the record is lost; the next one tries again
    }
    platform::UniqueHandle file = std::move(opened.handle);
    const std::uint32_t size = platform::FileSizeLow(file.Get()).value_or(0);
    std::string head(std::min<std::size_t>(size, 3 + sizeof kLogHeader), '\0');
    const auto read =
        platform::ReadFromFile(file.Get(), head.data(), static_cast<std::uint32_t>(head.size()));
    head.resize(read.value_or(0));
    if (!HeaderMatches(head)) {
        platform::SeekToFileStart(file.Get());
        WriteAll(file.Get(), FreshHeader());
        platform::SetEndOfFileHere(file.Get());
    }
    platform::SeekToFileEnd(file.Get());
    WriteAll(file.Get(), ToUtf8(FormatLogLine(record, *datePattern_)) + "\r\n");
    const std::uint32_t newSize = platform::FileSizeLow(file.Get()).value_or(0);
    if (maxFileSize_ != 0 && newSize > maxFileSize_) {
        file.Reset();
        Rotate(path);
    }
}

void ActionLog::Rotate(const std::wstring& path) {
    const auto generation = [&path](int index) { return FormatText(L"%s.%d", path, index); };
    int firstMissing = 0;
    while (firstMissing < 1000 && platform::PathExists(generation(firstMissing))) {
        ++firstMissing;
    }
    for (int index = firstMissing == 0 ? 0 : firstMissing - 1; index >= 0; --index) {
        const std::wstring name = generation(index);
        if (!platform::PathExists(name)) {
            break;
        }
        if (index < 9) {
            platform::MovePath(name, generation(index + 1));
        } else {
            platform::DeleteFileAt(name);
        }
    }
    if (platform::PathExists(generation(0))) {
        platform::DeleteFileAt(generation(0));
    }
    platform::MovePath(path, generation(0));
    auto fresh =
        platform::OpenFile(path, platform::kGenericRead | platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    if (fresh.handle) {
        WriteAll(fresh.handle.Get(), FreshHeader());
    }
}

void RecordAction(ActionLog& log, const ConfigSettings* config, std::uint32_t actionId,
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
    log.Append(std::move(record));
}

}  // namespace cv
