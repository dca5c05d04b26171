#include "trimming/CullmarkTrimmer.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "actionlog/ActionCodes.h"
#include "actionlog/ActionLog.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "common/WideString.h"
#include "config/ConfigSettings.h"
#include "config/ProcessMatch.h"
#include "control/ProcessGuard.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/SystemProcessLayout.h"
#include "platform/UserSession.h"
#include "processes/ProcessSnapshot.h"
#include "runtime/PerformanceModeState.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

namespace layout = platform::layout;
using platform::ObjectSecurity;
using platform::RawHandle;

constexpr std::uint32_t kTrimmedText = 988;
constexpr std::uint32_t kDoneText = 991;
constexpr std::uint32_t kLoadBelowText = 1006;
constexpr std::uint32_t kFreedText = 1188;
constexpr std::uint32_t kFreeAboveText = 1190;
constexpr std::uint32_t kNotInPerformanceModeText = 1193;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr wchar_t kMemoryCompression[] = L"Memory Compression";

// The image name of a process-list entry; it points into the list's own buffer.
std::wstring EntryImageName(const std::uint8_t* entry) {
    const auto length = layout::Read<std::uint16_t>(entry, layout::kImageNameLength);
    const auto address = layout::Read<std::uint64_t>(entry, layout::kImageNameBuffer);
    if (length == 0 || address == 0) {
        return {};
    }
    const auto* name = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address));
    std::u16string units(std::min<std::size_t>(length / 2, 384), u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = layout::Read<char16_t>(name, i * 2);
    }
    return FromUtf16(units);
}

// A handle for reading the working set, path and owner; empty when the process cannot be opened.
platform::UniqueHandle OpenForQuery(std::uint32_t pid) {
    auto handle = platform::OpenProcessHandle(
        pid, platform::kProcessQueryInformation | platform::kProcessVmRead);
    if (!handle) {
        handle = platform::OpenProcessHandle(pid, platform::kProcessQueryLimitedInformation);
    }
    return handle;
}

std::uint64_t WorkingSetOf(RawHandle process) {
    if (!platform::IsValidRawHandle(process)) {
        return 0;
    }
    const auto counters = platform::GetMemoryOfProcess(process);
    return counters ? counters->workingSet : 0;
}

// The text after the last backslash that is not the first character; empty without one.
std::wstring FileNamePart(const std::wstring& path) {
    const auto slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0) {
        return {};
    }
    return path.substr(slash + 1);
}

bool MatchesIgnoringCase(const std::wstring& pattern, const std::wstring& text) {
    return MatchPattern(ToLower(pattern), ToLower(text));
}

}  // namespace

CullmarkTrimmer::CullmarkTrimmer(const FeatureContext& context) : context_(context) {}

CullmarkTrimmer::~CullmarkTrimmer() {
    Stop();
}

std::uint32_t CullmarkTrimmer::TimerPeriodMs(bool enabled, std::uint32_t minutes) {
    if (!enabled || minutes == 0) {
        return platform::kInfinite;
    }
    const std::uint32_t period = minutes * 60'000u;
    // Only a product that wrapped around comes out below a minute.
    return period < 60'000u ? 60'000u : period;
}

bool CullmarkTrimmer::StartWorker(RawHandle exitEvent) {
    if (running_) {
        return true;
    }
    // A worker that ended on its own is released before a new one starts.
    worker_.Join();
    exitEvent_ = exitEvent;
    running_ = true;
    if (!worker_.Start([this] { RunWorker(); }, kStackReserve,
                       platform::kThreadPriorityBelowNormal)) {
        running_ = false;
    }
    return running_;
}

bool CullmarkTrimmer::RequestStop() {
    const auto stop =
        platform::OpenEventObject(names::kCullmarkStopEvent, platform::kEventModifyState);
    return stop && platform::SetEventObject(stop.Get());
}

void CullmarkTrimmer::Stop() {
    if (worker_.Joinable()) {
        RequestStop();
        worker_.Join();
    }
}

void CullmarkTrimmer::NotifyConfigChanged() {
    const auto changed = platform::OpenEventObject(names::kCullmarkSettingsChangedEvent,
                                                   platform::kEventModifyState);
    if (changed) {
        platform::SetEventObject(changed.Get());
    }
}

void CullmarkTrimmer::RunWorker() {
    auto stop = platform::CreateEventObject(names::kCullmarkStopEvent, false, false,
                                            ObjectSecurity::Default);
    auto changed = platform::CreateEventObject(names::kCullmarkSettingsChangedEvent, false, false,
                                               ObjectSecurity::Default);
    auto runNow = platform::CreateEventObject(names::kCullmarkRunNowEvent, false, false,
                                              ObjectSecurity::Open);
    if (stop && changed && runNow) {
        const ConfigSettings& settings = context_.Settings();
        for (;;) {
            const auto& memory = settings.MemoryManagement;
            const std::uint32_t waitMs = TimerPeriodMs(
                memory.CullmarkIsEnabled, static_cast<std::uint32_t>(memory.CullmarkIntervalMins));
            // The engine's exit event ends the worker too, so it never outlives the engine.
            std::array<RawHandle, 4> events{stop.Get(), changed.Get(), runNow.Get(), exitEvent_};
            const std::size_t count = platform::IsValidRawHandle(exitEvent_) ? 4 : 3;
            const int woken = platform::WaitForAnyObject(events.data(), count, waitMs);
            bool stopped = false;
            if (woken == 0 || woken == 3) {
                break;
            }
            if (woken == 2) {
                stopped = Pass(true).stopped;
            } else if (woken == platform::kWaitTimedOut) {
                stopped = Pass(false).stopped;
            } else if (woken == platform::kWaitFailed) {
                platform::SleepMs(kWaitFailurePauseMs);
            }
            // Bursts of requests run at most about one pass a second.
            if (stopped || StopRequested(stop.Get(), kStopCheckMs)) {
                break;
            }
        }
    }
    running_ = false;
}

bool CullmarkTrimmer::StopRequested(RawHandle stopEvent, std::uint32_t waitMs) const {
    std::array<RawHandle, 2> events{stopEvent, exitEvent_};
    const std::size_t count = platform::IsValidRawHandle(exitEvent_) ? 2 : 1;
    const int woken = platform::WaitForAnyObject(events.data(), count, waitMs);
    return woken >= 0;
}

bool CullmarkTrimmer::RecordingOn() const {
    return context_.LogOn(context_.Settings().Logging.LogCullmark);
}

void CullmarkTrimmer::RecordEngine(std::uint32_t actionId, const std::wstring& info) const {
    context_.Record(actionId, context_.EngineFacts(info, false));
}

std::uint64_t CullmarkTrimmer::ReadFreeMemoryBytes() {
    if (!counter_.IsOpen()) {
        counter_.Open();
    }
    if (counter_.IsOpen()) {
        return counter_.Read().value_or(0);
    }
    // Without the counter (Wine's PDH has none) the available physical memory stands in, or
    // free memory would always read 0 and the caches would be cleared at every pass.
    if (!fallbackNoted_) {
        fallbackNoted_ = true;
        if (RecordingOn()) {
            RecordEngine(CV_ACTION_TOOK_NO_CULLMARK_CLEARSTANDBY,
                         L"Free memory counter unavailable; available physical memory is used");
        }
    }
    const auto status = platform::ReadMemoryStatus();
    return status ? status->availablePhysical : 0;
}

bool CullmarkTrimmer::RunPass(bool forced) {
    Pass(forced);
    return true;
}

CullmarkTrimmer::PassOutcome CullmarkTrimmer::Pass(bool forced) {
    const auto& memory = context_.Settings().MemoryManagement;
    PassOutcome outcome;
    if (memory.CullmarkClearStandbyList || memory.CullmarkClearFileCache) {
        ClearCaches(forced);
    }
    if (memory.CullmarkWorkingSetTrims) {
        outcome.stopped = TrimWorkingSets();
    }
    return outcome;
}

void CullmarkTrimmer::ClearCaches(bool forced) {
    const auto& memory = context_.Settings().MemoryManagement;
    const bool recording = RecordingOn();
    const std::uint64_t freeBefore = ReadFreeMemoryBytes();
    const std::uint64_t freeMiB = freeBefore / kMiB;
    const std::uint64_t threshold = memory.ClearStandbyFreeRAMThresholdMB;
    if (freeMiB > threshold) {
        if (recording) {
            RecordEngine(CV_ACTION_TOOK_NO_CULLMARK_CLEARSTANDBY,
                         FormatText(EngineText(kFreeAboveText), freeMiB, threshold));
        }
    } else if (!forced && memory.ClearStandbyOnlyInPerfMode &&
               !PerformanceModeState(false).IsActive()) {
        if (recording) {
            RecordEngine(CV_ACTION_TOOK_NO_CULLMARK_CLEARSTANDBY,
                         EngineText(kNotInPerformanceModeText));
        }
    } else {
        if (memory.CullmarkClearFileCache && platform::FlushSystemFileCache() && recording) {
            RecordEngine(CV_ACTION_TOOK_CULLMARK_CLEAR_FS_CACHE,
                         FormatText(EngineText(kFreedText), freeMiB, ReadFreeMemoryBytes() / kMiB));
        }
        if (memory.CullmarkClearStandbyList && platform::PurgeStandbyList() && recording) {
            RecordEngine(CV_ACTION_TOOK_CULLMARK_CLEARSTANDBY,
                         FormatText(EngineText(kFreedText), freeMiB, ReadFreeMemoryBytes() / kMiB));
        }
    }
    context_.Log().Wake();
}

bool CullmarkTrimmer::IsExcluded(const RuleSet& rules, const std::wstring& path,
                                 const std::wstring& fileName) const {
    if (EqualsIgnoreCase(fileName, kMemoryCompression) ||
        EqualsIgnoreCase(path, kMemoryCompression)) {
        return true;
    }
    for (const auto& item : rules.MemoryManagement.CullmarkExclusions) {
        const std::wstring& pattern = item.text;
        if (MatchesIgnoringCase(pattern, path) || EqualsIgnoreCase(pattern, path) ||
            (!fileName.empty() &&
             (EqualsIgnoreCase(pattern, fileName) || MatchesIgnoringCase(pattern, fileName)))) {
            return true;
        }
    }
    return false;
}

bool CullmarkTrimmer::TrimWorkingSets() {
    const auto& memory = context_.Settings().MemoryManagement;
    const bool recording = RecordingOn();
    const auto status = platform::ReadMemoryStatus();
    const std::int64_t load = status ? status->memoryLoad : 0;
    const bool below = load < memory.CullmarkAutoMinimumRAMLoad;
    std::uint32_t examined = 0;
    std::uint32_t trimmed = 0;
    bool stopped = false;
    if (!below) {
        // The pass's own handle to the stop event, for its checks between processes.
        const auto stop = platform::CreateEventObject(names::kCullmarkStopEvent, false, false,
                                                      ObjectSecurity::Default);
        const auto foreground = platform::ForegroundWindowProcess();
        const std::uint32_t foregroundPid = foreground ? foreground->processId : 0;
        const std::int64_t minimumMiB = memory.MinimumProcessWSSInMb;
        // The lists as published when the pass begins, for the whole pass.
        const std::shared_ptr<const RuleSet> rules = context_.Settings().Rules();
        ProcessSnapshot snapshot;
        snapshot.Take(false);
        snapshot.ForEachEntry([&](const std::uint8_t* entry, std::size_t) {
            if (stopped || StopRequested(stop.Get(), 0)) {
                stopped = true;
                return;
            }
            ++examined;
            const auto pid = static_cast<std::uint32_t>(
                layout::Read<std::uint64_t>(entry, layout::kUniqueProcessId));
            const std::wstring imageName = EntryImageName(entry);
            const auto query = OpenForQuery(pid);
            const std::uint64_t before = WorkingSetOf(query.Get());
            const bool candidate =
                static_cast<std::int64_t>(before >> 20) > minimumMiB && pid != foregroundPid;
            if (!candidate) {
                return;
            }
            std::wstring path = query ? platform::ProcessImagePath(query.Get()) : std::wstring();
            if (path.empty()) {
                path = imageName;
            }
            if (IsExcluded(*rules, path, FileNamePart(path))) {
                return;
            }
            const GuardFacts guard{pid, context_.Engine().processId, imageName, false};
            if (const Protection protection = ProtectionOf(guard, GuardedChange::kRestrict);
                protection != Protection::kNone) {
                // The pass sees every process, not records: the engine is the only one it spares,
                // and tells so once.
                if (!engineSpareTold_.exchange(true) && context_.LoggingEnabled()) {
                    ActionFacts facts;
                    facts.name = imageName;
                    facts.pid = pid;
                    facts.info = RefusalText(GuardFamily::kTrimming, protection);
                    context_.Record(CV_ACTION_TOOK_PROTECTED_PROCESS_SPARED, facts);
                }
                return;
            }
            // Only a trim that was made counts and is told.
            const auto quota = platform::OpenProcessHandle(pid, platform::kProcessSetQuota);
            if (!quota || !platform::TrimWorkingSet(quota.Get())) {
                return;
            }
            ++trimmed;
            if (StopRequested(stop.Get(), kPauseAfterTrimMs)) {
                stopped = true;
                return;
            }
            const std::uint64_t after = WorkingSetOf(query.Get());
            if (recording) {
                ActionFacts facts;
                if (const auto account = platform::ProcessAccount(query.Get())) {
                    facts.user = account->user;
                }
                facts.name = imageName;
                facts.pid = pid;
                const std::uint64_t saving = before > after ? before - after : 0;
                facts.info =
                    FormatText(EngineText(kTrimmedText), saving >> 20, before >> 20, after >> 20);
                context_.Record(CV_ACTION_CULLMARK_PROGRESS, facts);
            }
        });
    }
    if (recording) {
        if (below) {
            RecordEngine(CV_CULMARK_NO_ACTION_TAKEN, EngineText(kLoadBelowText));
        } else if (examined > 0) {
            RecordEngine(CV_ACTION_CULLMARK_DONE,
                         FormatText(EngineText(kDoneText), trimmed, examined));
        }
    }
    context_.Log().Wake();
    return stopped;
}

}  // namespace cv
