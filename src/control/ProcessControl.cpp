#include "control/ProcessControl.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <optional>

#include "config/RuleLists.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Processes.h"
#include "platform/Resources.h"
#include "platform/SystemProcessLayout.h"
#include "processes/HandleCache.h"
#include "processes/ProcessSnapshot.h"
#include "texts/Language.h"

namespace cv {

namespace {

using platform::UniqueHandle;

// String resources of the priority classes in kPriorityClassOrder, and of I/O priority 4 (the
// next ones count down to I/O priority 0).
constexpr std::array<std::uint32_t, 6> kPriorityClassTexts = {243, 244, 245, 247, 246, 248};
constexpr std::uint32_t kCriticalIoPriorityText = 742;
constexpr std::int32_t kHighestIoPriority = 4;
constexpr std::uint32_t kEfficiencyModeOffText = 1350;
constexpr std::uint32_t kEfficiencyModeOnText = 1351;
constexpr std::size_t kMaxTextLength = 80;

struct ControlTexts {
    bool built = false;
    platform::ModuleHandle module = nullptr;
    std::array<std::wstring, 6> priorityClasses;
    std::array<std::wstring, 5> ioPriorities;  // by value
    std::array<std::wstring, 2> efficiencyModes;
};

struct ControlState {
    std::mutex mutex;
    ControlTexts texts;
    std::optional<CpuSetCatalogue> catalogue;
};

ControlState& State() {
    static ControlState state;
    return state;
}

std::wstring LoadText(std::uint32_t id) {
    std::wstring text = LoadResourceString(id);
    if (text.size() > kMaxTextLength) {
        text.resize(kMaxTextLength);
    }
    return text;
}

// One text of the current language; the table is rebuilt when the language module changed.
template <typename Pick>
std::wstring CurrentText(Pick pick) {
    const platform::ModuleHandle module = CurrentLanguageModule();
    ControlState& state = State();
    {
        std::lock_guard lock(state.mutex);
        if (state.texts.built && state.texts.module == module) {
            return pick(state.texts);
        }
    }
    RebuildControlTexts();
    std::lock_guard lock(state.mutex);
    return pick(state.texts);
}

// A query asks through the handle the cache keeps for the process when it has the rights the
// query opens with: it is of the process the engine knows by the id, and costs no open and close.
// A query it cannot answer opens a handle of its own.
template <typename Query, typename Answered>
auto AskCachedHandle(std::uint32_t processId, std::uint32_t access, Query query, Answered answered)
    -> std::optional<decltype(query(platform::RawHandle{}))> {
    if (const SharedProcessHandle cached = ProcessHandleCache::Instance().Peek(processId, access)) {
        if (*cached) {
            auto answer = query(cached->Get());
            if (answered(answer)) {
                return answer;
            }
        }
    }
    return std::nullopt;
}

UniqueHandle OpenForQuery(std::uint32_t processId) {
    UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessQueryInformation);
    if (!process) {
        process = platform::OpenProcessHandle(processId, platform::kProcessQueryLimitedInformation);
    }
    return process;
}

}  // namespace

void RebuildControlTexts() {
    ControlTexts texts;
    texts.built = true;
    texts.module = CurrentLanguageModule();
    for (std::size_t i = 0; i < texts.priorityClasses.size(); ++i) {
        texts.priorityClasses[i] = LoadText(kPriorityClassTexts[i]);
    }
    for (std::int32_t value = 0; value <= kHighestIoPriority; ++value) {
        texts.ioPriorities[static_cast<std::size_t>(value)] = LoadText(
            kCriticalIoPriorityText + static_cast<std::uint32_t>(kHighestIoPriority - value));
    }
    texts.efficiencyModes[0] = LoadText(kEfficiencyModeOffText);
    texts.efficiencyModes[1] = LoadText(kEfficiencyModeOnText);
    std::lock_guard lock(State().mutex);
    State().texts = std::move(texts);
}

std::wstring PriorityClassText(std::uint32_t priorityClass) {
    const auto found =
        std::find(kPriorityClassOrder.begin(), kPriorityClassOrder.end(), priorityClass);
    if (found == kPriorityClassOrder.end()) {
        return L"ERROR";
    }
    const auto index = static_cast<std::size_t>(found - kPriorityClassOrder.begin());
    return CurrentText([index](const ControlTexts& texts) { return texts.priorityClasses[index]; });
}

std::wstring IoPriorityText(std::int32_t ioPriority) {
    if (ioPriority < 0 || ioPriority > kHighestIoPriority) {
        return L"ERROR";
    }
    const auto index = static_cast<std::size_t>(ioPriority);
    return CurrentText([index](const ControlTexts& texts) { return texts.ioPriorities[index]; });
}

std::wstring MemoryPriorityText(std::int32_t memoryPriority) {
    return std::to_wstring(memoryPriority);
}

std::wstring EfficiencyModeText(bool on) {
    return CurrentText(
        [on](const ControlTexts& texts) { return texts.efficiencyModes[on ? 1 : 0]; });
}

std::int32_t QueryPriorityClass(std::uint32_t processId) {
    if (const auto cached = AskCachedHandle(processId, platform::kProcessQueryLimitedInformation,
                                            platform::GetProcessPriorityClass,
                                            [](std::uint32_t answer) { return answer != 0; })) {
        return static_cast<std::int32_t>(*cached);
    }
    const UniqueHandle process = OpenForQuery(processId);
    if (!process) {
        return -1;
    }
    const std::uint32_t priorityClass = platform::GetProcessPriorityClass(process.Get());
    return priorityClass == 0 ? -1 : static_cast<std::int32_t>(priorityClass);
}

bool ChangePriorityClass(std::uint32_t processId, std::uint32_t priorityClass) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
    return process && platform::SetProcessPriorityClass(process.Get(), priorityClass);
}

void ChangePriorityClass(std::uint32_t processId, std::uint32_t priorityClass,
                         std::uint32_t* applied) {
    if (ChangePriorityClass(processId, priorityClass) && applied != nullptr) {
        *applied = priorityClass;
    }
}

bool ChangeAffinity(std::uint32_t processId, std::uint64_t mask) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
    return process && platform::SetProcessAffinity(process.Get(), mask);
}

bool ChangeAffinityWithGroup(std::uint32_t processId, std::uint64_t mask, std::int32_t group) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
    if (!process) {
        return false;
    }
    if (group == kNoProcessorGroup) {
        const std::uint64_t active = platform::ActiveProcessorMask();
        return platform::SetProcessAffinity(process.Get(), active != 0 ? mask & active : mask);
    }
    constexpr std::int32_t kHighestGroup = 256;
    const bool usableGroup = group >= 0 && group <= kHighestGroup;
    const auto groupNumber = static_cast<std::uint16_t>(usableGroup ? group : 0);
    // SetProcessAffinityMask refuses a process whose threads are in several groups, so they are
    // gathered first.
    if (usableGroup && QueryProcessGroups(processId).size() > 1) {
        for (const std::uint32_t thread : platform::ThreadIdsOfProcess(processId)) {
            platform::SetThreadGroupAffinityById(thread, mask, groupNumber);
        }
    }
    bool moved = false;
    if (usableGroup && platform::ActiveProcessorGroupCount() >= 2) {
        const UniqueHandle again =
            platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
        moved = again && platform::SetProcessGroupAffinity(again.Get(), mask, groupNumber);
    }
    platform::SetProcessAffinity(process.Get(), mask);
    return moved;
}

std::vector<std::uint16_t> QueryProcessGroups(std::uint32_t processId) {
    if (auto cached = AskCachedHandle(
            processId, platform::kProcessQueryLimitedInformation, platform::GetProcessGroups,
            [](const std::vector<std::uint16_t>& answer) { return !answer.empty(); })) {
        return std::move(*cached);
    }
    const UniqueHandle process = OpenForQuery(processId);
    return process ? platform::GetProcessGroups(process.Get()) : std::vector<std::uint16_t>();
}

bool SpansSeveralGroups(platform::RawHandle process) {
    return platform::GetProcessGroups(process).size() > 1;
}

std::int32_t QueryMemoryPriority(std::uint32_t processId) {
    if (!IsVistaOrLater()) {
        return -1;
    }
    if (const auto cached = AskCachedHandle(processId, platform::kProcessQueryInformation,
                                            platform::GetMemoryPriority,
                                            [](std::int32_t answer) { return answer >= 0; })) {
        return *cached;
    }
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessQueryInformation);
    return process ? platform::GetMemoryPriority(process.Get()) : -1;
}

bool ChangeMemoryPriority(std::uint32_t processId, std::uint32_t memoryPriority) {
    if (!IsVistaOrLater()) {
        return false;
    }
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
    return process && platform::SetMemoryPriority(process.Get(), memoryPriority);
}

int QueryEfficiencyMode(std::uint32_t processId) {
    if (const auto cached =
            AskCachedHandle(processId, platform::kProcessQueryLimitedInformation,
                            platform::GetEfficiencyMode, [](int answer) { return answer >= 0; })) {
        return *cached;
    }
    const UniqueHandle process = OpenForQuery(processId);
    return process ? platform::GetEfficiencyMode(process.Get()) : -1;
}

bool ChangeEfficiencyMode(std::uint32_t processId, bool on) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
    return process && platform::SetEfficiencyMode(process.Get(), on);
}

bool ChangePriorityBoost(std::uint32_t processId, bool enabled) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetInformation);
    return process && platform::SetPriorityBoostEnabled(process.Get(), enabled);
}

CpuSetCatalogue::CpuSetCatalogue(std::vector<platform::CpuSetInfo> sets) : sets_(std::move(sets)) {}

const platform::CpuSetInfo* CpuSetCatalogue::Find(std::uint32_t id) const {
    const auto it = std::find_if(sets_.begin(), sets_.end(),
                                 [id](const platform::CpuSetInfo& set) { return set.id == id; });
    return it == sets_.end() ? nullptr : &*it;
}

std::optional<std::uint32_t> CpuSetCatalogue::IdOf(std::uint16_t group,
                                                   std::uint8_t processorIndex) const {
    const auto it = std::find_if(sets_.begin(), sets_.end(), [&](const platform::CpuSetInfo& set) {
        return set.group == group && set.logicalProcessorIndex == processorIndex;
    });
    if (it == sets_.end()) {
        return std::nullopt;
    }
    return it->id;
}

const CpuSetCatalogue& SystemCpuSetCatalogue() {
    ControlState& state = State();
    std::lock_guard lock(state.mutex);
    if (!state.catalogue) {
        state.catalogue.emplace(
            platform::SystemCpuSets().value_or(std::vector<platform::CpuSetInfo>()));
    }
    return *state.catalogue;
}

std::vector<GroupAffinity> CpuSetsToMasks(const std::vector<std::uint32_t>& ids,
                                          const CpuSetCatalogue& catalogue) {
    std::map<std::uint16_t, std::uint64_t> masks;
    for (const std::uint32_t id : ids) {
        if (const platform::CpuSetInfo* set = catalogue.Find(id)) {
            masks[set->group] |= std::uint64_t{1} << (set->logicalProcessorIndex % 64);
        }
    }
    std::vector<GroupAffinity> sets;
    for (const auto& [group, mask] : masks) {
        sets.push_back({static_cast<std::int32_t>(group), mask});
    }
    return sets;
}

std::vector<std::uint32_t> MasksToCpuSets(const std::vector<GroupAffinity>& sets,
                                          const CpuSetCatalogue& catalogue) {
    std::vector<std::uint32_t> ids;
    for (const GroupAffinity& set : sets) {
        const auto group = static_cast<std::uint16_t>(std::max(set.group, 0));
        for (std::uint8_t bit = 0; bit < 64; ++bit) {
            if ((set.mask >> bit & 1) != 0) {
                if (const auto id = catalogue.IdOf(group, bit)) {
                    ids.push_back(*id);
                }
            }
        }
    }
    return ids;
}

std::optional<std::vector<GroupAffinity>> QueryDefaultCpuSets(platform::RawHandle process) {
    if (!platform::CpuSetFunctionsAvailable()) {
        return std::nullopt;
    }
    const auto ids = platform::GetDefaultCpuSetIds(process);
    if (!ids) {
        return std::nullopt;
    }
    return CpuSetsToMasks(*ids, SystemCpuSetCatalogue());
}

bool ChangeDefaultCpuSets(std::uint32_t processId, const std::vector<GroupAffinity>& sets) {
    if (!platform::CpuSetFunctionsAvailable()) {
        return false;
    }
    std::vector<std::uint32_t> ids;
    if (!sets.empty()) {
        ids = MasksToCpuSets(sets, SystemCpuSetCatalogue());
        // An empty identifier list would clear the CPU sets instead of setting them.
        if (ids.empty()) {
            return false;
        }
    }
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSetLimitedInformation);
    return process && platform::SetDefaultCpuSetIds(process.Get(), ids);
}

bool SuspendProcessById(std::uint32_t processId) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSuspendResume);
    return process && platform::SuspendProcessHandle(process.Get());
}

bool ResumeProcessById(std::uint32_t processId) {
    const UniqueHandle process =
        platform::OpenProcessHandle(processId, platform::kProcessSuspendResume);
    return process && platform::ResumeProcessHandle(process.Get());
}

bool TrimWorkingSetById(std::uint32_t processId) {
    const UniqueHandle process = platform::OpenProcessHandle(processId, platform::kProcessSetQuota);
    return process && platform::TrimWorkingSet(process.Get());
}

bool TerminateWithExitCode(std::uint32_t processId, std::uint32_t exitCode) {
    const UniqueHandle process = platform::OpenProcessHandle(
        processId, platform::kProcessTerminate | platform::kSynchronize);
    if (!process) {
        return false;
    }
    platform::TerminateProcessHandle(process.Get(), exitCode);
    return true;
}

bool TerminateById(std::uint32_t processId) {
    const UniqueHandle process = platform::OpenProcessHandle(
        processId, platform::kProcessTerminate | platform::kSynchronize);
    if (!process) {
        return false;
    }
    // TerminateProcess only starts the end of another process, so a zero wait right after it
    // may still find the process running.
    const bool accepted = platform::TerminateProcessHandle(process.Get(), kTerminatedExitCode);
    return platform::IsSignalled(process.Get()) || accepted;
}

bool CloseGracefully(std::uint32_t processId, std::uint32_t graceMs) {
    // A suspended process cannot answer WM_CLOSE.
    if (IsProcessSuspended(processId)) {
        return TerminateById(processId);
    }
    const UniqueHandle process = platform::OpenProcessHandle(processId, platform::kSynchronize);
    if (!process || platform::IsSignalled(process.Get())) {
        return true;  // gone, or ended on its own
    }
    for (const platform::TopLevelWindow& window : platform::TopLevelWindows()) {
        if (window.processId != processId || !window.visible || window.owned) {
            continue;
        }
        if (platform::PostCloseMessage(window.window) &&
            platform::WaitForObject(process.Get(), std::min(graceMs, kMaxGracefulWaitMs)) ==
                platform::WaitResult::Signalled) {
            return true;
        }
        break;
    }
    return TerminateById(processId);
}

std::vector<bool> CloseGracefullyTogether(const std::vector<std::uint32_t>& processIds,
                                          std::uint32_t graceMs, platform::RawHandle stopEvent) {
    std::vector<bool> closed(processIds.size(), false);
    // Processes asked to close, by their place in the list.
    std::vector<std::pair<std::size_t, UniqueHandle>> waiting;
    const std::vector<platform::TopLevelWindow> windows = platform::TopLevelWindows();
    for (std::size_t i = 0; i < processIds.size(); ++i) {
        const std::uint32_t processId = processIds[i];
        // A suspended process cannot answer WM_CLOSE.
        if (IsProcessSuspended(processId)) {
            closed[i] = TerminateById(processId);
            continue;
        }
        UniqueHandle process = platform::OpenProcessHandle(processId, platform::kSynchronize);
        if (!process || platform::IsSignalled(process.Get())) {
            closed[i] = true;  // gone, or ended on its own
            continue;
        }
        bool asked = false;
        for (const platform::TopLevelWindow& window : windows) {
            if (window.processId == processId && window.visible && !window.owned) {
                asked = platform::PostCloseMessage(window.window);
                break;
            }
        }
        if (asked) {
            waiting.emplace_back(i, std::move(process));
        } else {
            closed[i] = TerminateById(processId);
        }
    }

    const std::uint32_t grace = std::min(graceMs, kMaxGracefulWaitMs);
    const std::uint64_t deadline = platform::TickCount64() + grace;
    // One wait takes the stop event and at most 63 processes, as Windows allows 64 objects.
    constexpr std::size_t kMaxProcessesPerWait = 63;
    bool stopping = false;
    while (!waiting.empty() && !stopping) {
        const std::uint64_t now = platform::TickCount64();
        if (now >= deadline) {
            break;
        }
        std::vector<platform::RawHandle> objects;
        if (platform::IsValidRawHandle(stopEvent)) {
            objects.push_back(stopEvent);
        }
        const std::size_t first = objects.size();
        for (std::size_t k = 0; k < waiting.size() && k < kMaxProcessesPerWait; ++k) {
            objects.push_back(waiting[k].second.Get());
        }
        const int index = platform::WaitForAnyObject(objects.data(), objects.size(),
                                                     static_cast<std::uint32_t>(deadline - now));
        if (index == platform::kWaitTimedOut || index == platform::kWaitFailed) {
            break;
        }
        if (static_cast<std::size_t>(index) < first) {
            stopping = true;
            break;
        }
        const std::size_t k = static_cast<std::size_t>(index) - first;
        closed[waiting[k].first] = true;
        waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(k));
    }
    // Never left half-closed: what did not close in time is terminated.
    for (const auto& [i, process] : waiting) {
        closed[i] = platform::IsSignalled(process.Get()) || TerminateById(processIds[i]);
    }
    return closed;
}

bool IsProcessSuspended(std::uint32_t processId) {
    ProcessSnapshot snapshot;
    snapshot.Take(false);
    bool suspended = false;
    snapshot.ForEachEntry([&](const std::uint8_t* entry, std::size_t size) {
        namespace layout = platform::layout;
        if (layout::Read<std::uint64_t>(entry, layout::kUniqueProcessId) == processId) {
            suspended = IsSuspendedEntry(entry, size);
        }
    });
    return suspended;
}

void ResetProcessControlState() {
    ControlState& state = State();
    std::lock_guard lock(state.mutex);
    state.texts = ControlTexts();
    state.catalogue.reset();
}

}  // namespace cv
