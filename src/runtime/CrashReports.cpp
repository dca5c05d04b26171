#include "runtime/CrashReports.h"

#include <atomic>

#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/EventLogSelection.h"
#include "actionlog/LogFile.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Clock.h"
#include "platform/CrashDump.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/KernelObjects.h"
#include "platform/Launch.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "platform/System.h"
#include "runtime/EngineProcess.h"
#include "runtime/HeldSuspensions.h"
#include "runtime/RecoveryJournal.h"
#include "texts/Language.h"
#include "texts/Messages.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr wchar_t kCorvaneKey[] = L"Software\\Corvane";
constexpr wchar_t kRestartTimesValue[] = L"CrashRestartTimes";
constexpr std::uint32_t kDumpFailedText = 727;
constexpr std::uint32_t kCrashMessageFlags = 0x1001013;
constexpr std::uint32_t kDumpFailedFlags = 0x1001010;
constexpr std::uint32_t kPauseBeforeRestartMs = 5000;

std::atomic<bool> filterEntered{false};
std::atomic<bool> runningAsService{false};

// The engine's own module name, found once while nothing has crashed yet.
std::wstring& OwnModuleBaseName() {
    static std::wstring name;
    return name;
}

std::wstring BaseNameOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of(L'.');
    return (dot == std::wstring::npos ? name : name.substr(0, dot)).substr(0, 260);
}

// Every process a throttle holds suspended runs again, exactly once each, and no throttle
// suspends again. The other threads are frozen meanwhile, so none is between its mark and its
// call; nothing here takes a lock or allocates. The journal's entries then go if its lock can be
// had; if not, the next engine resumes them once more, which a running process ignores.
void ReleaseSuspensionsForCrash() {
    const std::uint32_t self = platform::CurrentThreadId();
    platform::SuspendOtherThreads(self);
    ReleaseHeldSuspensions();
    platform::ResumeOtherThreads(self);
    RecoveryJournal::Instance().DropSuspensionsAfterCrash();
}

// Writes the dump on a thread of its own while every other thread stands still; true when it
// was written.
bool WriteDumpFrozen(const std::wstring& path) {
    platform::DumpRequest request{path, 2, OwnModuleBaseName()};
    auto dumpThread = platform::CreateDumpThreadSuspended(request);
    if (!dumpThread) {
        return false;
    }
    platform::SuspendOtherThreads(dumpThread->threadId);
    platform::ResumeThreadHandle(dumpThread->thread.Get());
    platform::WaitForObject(dumpThread->thread.Get(), platform::kInfinite);
    const auto exitCode = platform::ThreadExitCode(dumpThread->thread.Get());
    dumpThread->thread.Reset();
    platform::ResumeOtherThreads(dumpThread->threadId);
    if (exitCode.value_or(0) == 0) {
        // A dump cut short would pass for the report of this crash.
        platform::DeleteFileAt(path);
        return false;
    }
    return true;
}

std::wstring CrashLoopSentence() {
    return FormatText(
        L"\n\nVigilor crashed %d times within %d minutes and will not be restarted "
        L"again; see corvane.log.",
        static_cast<int>(kMaxCrashRestarts) + 1, 10);
}

void TellUser(bool dumped, const std::wstring& path, bool restartAllowed) {
    const std::wstring loopNote = restartAllowed ? std::wstring() : CrashLoopSentence();
    if (dumped) {
        Message message{CrashDumpMessage(path) + loopNote, L"Corvane", kCrashMessageFlags};
        if (ShowMessage(message).button == platform::kIdYes) {
            platform::UniqueHandle explorer = platform::ShellExecuteProcess(
                L"open", L"explorer.exe", FormatText(L"/select,%s", path), L"");
        }
    } else {
        ShowMessage({LoadResourceString(kDumpFailedText) + loopNote, L"Corvane", kDumpFailedFlags});
    }
}

// The engine ends for good: one record in the action log says why.
void RecordCrashLoopEnd() {
    ActionLog log;
    if (!ProcessValues().LogFolderOverride.empty()) {
        log.SetFolder(ProcessValues().LogFolderOverride);
    }
    ActionFacts facts;
    facts.name = L"vigilor.exe";
    facts.pid = platform::OwnProcessId();
    facts.info = FormatText(L"Crashed %d times within %d minutes; not restarted again.",
                            static_cast<int>(kMaxCrashRestarts) + 1, 10);
    const ActionRecord record =
        MakeActionRecord(nullptr, CV_ACTION_TOOK_CORE_ENGINE_RESTART_ERROR_DETECTED, facts);
    const auto dateFormat =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"DateTimeFormat");
    AppendLogLine(log.LogPath(),
                  ToUtf8(FormatLogLine(record, LogDatePattern(dateFormat.value_or(0)))),
                  log.MaxFileSize());
    // No writer thread runs any more: the event goes from here, as the line did.
    if (ReadEventLogSelection().Selects(record.actionId)) {
        platform::EventSource source(kEventLogSource);
        source.Report(EventTypeOf(record.actionId), record.actionId, EventStrings(record));
    }
}

}  // namespace

void InstallCrashFilter() {
    OwnModuleBaseName() = BaseNameOf(platform::OwnImagePath());
    platform::SetProcessCrashFilter(&CrashFilter);
}

void SetCrashRunningAsService(bool service) {
    runningAsService = service;
}

void ResetCrashFilter() {
    filterEntered = false;
    runningAsService = false;
    ResetHeldSuspensions();
}

std::wstring CrashDumpPath() {
    std::wstring folder = platform::SpecialFolderPath(platform::SpecialFolder::CommonAppData, true);
    if (folder.empty()) {
        return {};
    }
    platform::CreateFolderTree(folder);
    folder += L"\\Corvane";
    platform::CreateFolderTree(folder);
    return folder + L"\\" + kDumpFileName;
}

std::wstring CrashDumpMessage(const std::wstring& dumpPath) {
    return FormatText(
        L"Vigilor.exe has crashed! This software is part of Corvane.\n\nA minidump "
        L"was generated at %s. Please keep this file for a support request.\n\nDo "
        L"you want to browse to this dump file?",
        dumpPath);
}

std::vector<std::uint64_t> RecentCrashRestarts(std::uint64_t now) {
    std::vector<std::uint64_t> times;
    const auto bytes =
        platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey, kRestartTimesValue);
    if (!bytes) {
        return times;
    }
    for (std::size_t at = 0; at + 8 <= bytes->size(); at += 8) {
        std::uint64_t time = 0;
        for (int i = 7; i >= 0; --i) {
            time = (time << 8) | (*bytes)[at + static_cast<std::size_t>(i)];
        }
        // A time ahead of now (a clock set back) counts as recent, so a loop cannot hide.
        if (time + kCrashRestartWindow > now) {
            times.push_back(time);
        }
    }
    return times;
}

bool NoteCrashRestart(std::uint64_t now) {
    std::vector<std::uint64_t> times = RecentCrashRestarts(now);
    if (times.size() >= kMaxCrashRestarts) {
        return false;
    }
    times.push_back(now);
    std::vector<std::uint8_t> bytes;
    for (const std::uint64_t time : times) {
        for (int i = 0; i < 8; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(time >> (8 * i)));
        }
    }
    platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kCorvaneKey, kRestartTimesValue,
                                  bytes);
    return true;
}

long CrashFilter() {
    if (filterEntered.exchange(true)) {
        return 0;
    }
    // First of all, and before the dump freezes the engine for a while.
    ReleaseSuspensionsForCrash();
    const std::wstring path = CrashDumpPath();
    if (!path.empty()) {
        platform::DeleteFileAt(path);
    }
    if (ProcessStopFlag()) {
        platform::ExitOwnProcess(0);
    }
    const bool service = runningAsService;
    const bool restartAllowed = service || NoteCrashRestart(platform::SystemTimeAsFileTime());
    const bool noDumps =
        platform::ReadRegistryDword(RegistryRoot::LocalMachine, kCorvaneKey, L"NoVigilorDumps")
            .value_or(0) != 0;
    if (!noDumps) {
        const bool dumped = !path.empty() && WriteDumpFrozen(path);
        if (!service) {
            TellUser(dumped, path, restartAllowed);
        }
    }
    platform::SleepMs(kPauseBeforeRestartMs);
    if (service) {
        platform::ExitOwnProcess(1);
    }
    if (!restartAllowed) {
        RecordCrashLoopEnd();
        platform::ExitOwnProcess(1);
    }
    RestartSelf();
}

}  // namespace cv
