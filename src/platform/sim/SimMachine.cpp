#include "platform/sim/SimMachine.h"

#include <algorithm>

#include "common/WideString.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"

namespace cv::sim {

Machine& Machine::Get() {
    static Machine machine;
    return machine;
}

void Machine::Reset() {
    JoinThreads();
    std::lock_guard lock(mutex_);
    hungCalls.clear();
    const Machine fresh;
    ownPid = fresh.ownPid;
    ownImagePath = fresh.ownImagePath;
    commandLine = fresh.commandLine;
    currentDirectory = fresh.currentDirectory;
    windowsFolder = fresh.windowsFolder;
    parentConsole = false;
    consoleOutput.clear();
    userName = fresh.userName;
    computerName = fresh.computerName;
    osMajor = fresh.osMajor;
    osMinor = fresh.osMinor;
    servicePackMajor = fresh.servicePackMajor;
    uiLanguage = fresh.uiLanguage;
    processorCount = fresh.processorCount;
    integrityLevel = fresh.integrityLevel;
    enabledPrivileges.clear();
    priorityClass = fresh.priorityClass;
    threadPriority = 0;
    priorityBoostDisabled.reset();
    processInformation.clear();
    shutdownParameters.reset();
    loadedSystemLibraries.clear();
    nextLaunchPid = fresh.nextLaunchPid;
    ownSessionId = fresh.ownSessionId;
    registry.clear();
    services.clear();
    serviceStopPolls = 0;
    serviceStopRequests.clear();
    serviceStartRequests.clear();
    pendingStops.clear();
    serviceRows.clear();
    serviceEnumerations = 0;
    handles.clear();
    namedObjects.clear();
    nextHandle = fresh.nextHandle;
    installedModules.clear();
    loadedModules.clear();
    moduleLoadAttempts.clear();
    messageBoxes.clear();
    messageBoxAnswers.clear();
    setup = {};
    eventLog = {};
    launches.clear();
    folderWatches.clear();
    failures_.clear();
    processes_.clear();
    endedProcesses_.clear();
    sessionUsers = {{0, L"SYSTEM"}, {1, L"Tester"}};
    processorIdleTimes.assign(8, 0);
    activeProcessorsAllGroups = fresh.activeProcessorsAllGroups;
    localTimeOffsetMinutes = fresh.localTimeOffsetMinutes;
    systemTimeShiftMs = 0;
    nextUuid = fresh.nextUuid;
    processorGroups = fresh.processorGroups;
    cpuSetsSupported = fresh.cpuSetsSupported;
    powerThrottlingSupported = fresh.powerThrottlingSupported;
    workstation = fresh.workstation;
    ownThrottleIgnoreTimerResolution.reset();
    executionStates.clear();
    timerMinimum = fresh.timerMinimum;
    timerMaximum = fresh.timerMaximum;
    timerCurrent = fresh.timerCurrent;
    ownTimerRequest.reset();
    windows.clear();
    closeMessages.clear();
    frozenProcessList.clear();
    foregroundWindow = 0;
    lastInputTick = fresh.lastInputTick;
    soundLibraryLoaded = false;
    soundsPlayed.clear();
    handleAccess.clear();
    memoryLoad = fresh.memoryLoad;
    totalPhysicalBytes = fresh.totalPhysicalBytes;
    availablePhysicalBytes = fresh.availablePhysicalBytes;
    freeMemoryBytes = fresh.freeMemoryBytes;
    freeMemoryCounterExists = fresh.freeMemoryCounterExists;
    fileCacheBytes = fresh.fileCacheBytes;
    standbyBytes = fresh.standbyBytes;
    fileCacheFlushes = fresh.fileCacheFlushes;
    standbyPurges = fresh.standbyPurges;
    threadStarts.clear();
    scheduled_.clear();
    now_ = fresh.now_;
    driver_ = std::this_thread::get_id();
    InstallEnglishModule();
    ResetFileSystem();
    ResetPowerPlans();
    changed_.notify_all();
}

std::uint64_t Machine::Now() {
    std::lock_guard lock(mutex_);
    return now_;
}

void Machine::AdvanceClock(std::uint64_t milliseconds) {
    std::lock_guard lock(mutex_);
    const std::uint64_t target = now_ + milliseconds;
    // Scheduled actions run in time order, each with the clock at its own time.
    while (!scheduled_.empty() && scheduled_.begin()->first <= target) {
        auto due = scheduled_.extract(scheduled_.begin());
        now_ = std::max(now_, due.key());
        due.mapped()();
    }
    now_ = target;
    changed_.notify_all();
}

void Machine::Schedule(std::uint64_t delayMs, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    if (delayMs == 0) {
        action();
        changed_.notify_all();
        return;
    }
    scheduled_.emplace(now_ + delayMs, std::move(action));
}

void Machine::FreezeProcessList() {
    std::lock_guard lock(mutex_);
    frozenProcessList.clear();
    std::uint32_t needed = 0;
    platform::QuerySystemInformation(platform::kSystemProcessInformation, nullptr, 0, &needed);
    std::vector<std::uint8_t> list(needed);
    platform::QuerySystemInformation(platform::kSystemProcessInformation, list.data(), needed,
                                     &needed);
    frozenProcessList = std::move(list);
}

std::optional<std::uint64_t> Machine::NextScheduledTime() {
    std::lock_guard lock(mutex_);
    if (scheduled_.empty()) {
        return std::nullopt;
    }
    return scheduled_.begin()->first;
}

void Machine::FailCall(const std::string& operation, const std::wstring& subject,
                       std::optional<int> times) {
    std::lock_guard lock(mutex_);
    failures_.push_back({operation, subject, times});
}

void Machine::ClearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

bool Machine::ShouldFail(const std::string& operation, const std::wstring& subject) {
    std::lock_guard lock(mutex_);
    for (auto& failure : failures_) {
        if (failure.operation == operation &&
            (failure.subject.empty() || EqualsIgnoreCase(failure.subject, subject)) &&
            failure.remaining.value_or(1) > 0) {
            if (failure.remaining) {
                --*failure.remaining;
            }
            return true;
        }
    }
    return false;
}

SimProcess& Machine::AddProcess(std::uint32_t pid, const std::wstring& imageName) {
    std::lock_guard lock(mutex_);
    auto& slot = processes_[pid];
    if (slot != nullptr) {
        slot->ended = true;
        slot->waitObject->signalled = true;
        endedProcesses_.push_back(slot);
    }
    slot = std::make_shared<SimProcess>();
    SimProcess& process = *slot;
    process.pid = pid;
    process.imageName = imageName;
    process.imagePath = L"C:\\Programs\\" + imageName;
    process.commandLine = L"\"" + process.imagePath + L"\"";
    process.user = userName.value_or(L"SYSTEM");
    process.createTime = kEpochFileTime + now_ * 10'000;
    process.waitObject = std::make_shared<SimObject>();
    process.waitObject->kind = SimObject::Kind::Process;
    process.waitObject->process = slot;
    changed_.notify_all();
    return process;
}

SimProcess* Machine::FindProcess(std::uint32_t pid) {
    std::lock_guard lock(mutex_);
    const auto it = processes_.find(pid);
    return it == processes_.end() ? nullptr : it->second.get();
}

std::shared_ptr<SimProcess> Machine::ProcessOfHandle(platform::RawHandle handle) {
    std::lock_guard lock(mutex_);
    const auto object = FindObject(handle);
    return object == nullptr || object->kind != SimObject::Kind::Process ? nullptr
                                                                         : object->process.lock();
}

void Machine::EndProcess(std::uint32_t pid, std::uint32_t exitCode) {
    std::lock_guard lock(mutex_);
    const auto it = processes_.find(pid);
    if (it == processes_.end()) {
        return;
    }
    it->second->ended = true;
    it->second->exitCode = exitCode;
    it->second->waitObject->signalled = true;
    // Ended processes leave the process list but stay reachable through open handles.
    endedProcesses_.push_back(it->second);
    processes_.erase(it);
    changed_.notify_all();
}

void Machine::AddCpuTime(std::uint32_t pid, std::uint64_t hundredNanoseconds) {
    std::lock_guard lock(mutex_);
    if (SimProcess* process = FindProcess(pid)) {
        process->kernelTime += hundredNanoseconds / 2;
        process->userTime += hundredNanoseconds - hundredNanoseconds / 2;
    }
}

std::vector<std::uint32_t> Machine::ProcessIds() {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> ids;
    for (const auto& [pid, process] : processes_) {
        ids.push_back(pid);
    }
    return ids;
}

Machine::RegistryKey* Machine::FindKey(platform::RegistryRoot root, const std::wstring& key) {
    std::lock_guard lock(mutex_);
    const auto it = registry.find({root, ToLower(key)});
    return it == registry.end() ? nullptr : &it->second;
}

Machine::RegistryKey& Machine::CreateKey(platform::RegistryRoot root, const std::wstring& key) {
    std::lock_guard lock(mutex_);
    return registry[{root, ToLower(key)}];
}

void Machine::SetDword(platform::RegistryRoot root, const std::wstring& key,
                       const std::wstring& value, std::uint32_t data) {
    std::lock_guard lock(mutex_);
    RegistryValue entry;
    entry.name = value;
    entry.type = RegistryValue::Type::Dword;
    for (int i = 0; i < 4; ++i) {
        entry.bytes.push_back(static_cast<std::uint8_t>(data >> (8 * i)));
    }
    CreateKey(root, key)[ToLower(value)] = entry;
}

std::optional<std::uint32_t> Machine::GetDword(platform::RegistryRoot root, const std::wstring& key,
                                               const std::wstring& value) {
    std::lock_guard lock(mutex_);
    RegistryKey* found = FindKey(root, key);
    if (found == nullptr) {
        return std::nullopt;
    }
    const auto it = found->find(ToLower(value));
    if (it == found->end() || it->second.type != RegistryValue::Type::Dword ||
        it->second.bytes.size() != 4) {
        return std::nullopt;
    }
    std::uint32_t data = 0;
    for (int i = 0; i < 4; ++i) {
        data |= static_cast<std::uint32_t>(it->second.bytes[static_cast<std::size_t>(i)])
                << (8 * i);
    }
    return data;
}

bool Machine::HasValue(platform::RegistryRoot root, const std::wstring& key,
                       const std::wstring& value) {
    std::lock_guard lock(mutex_);
    RegistryKey* found = FindKey(root, key);
    return found != nullptr && found->count(ToLower(value)) != 0;
}

platform::RawHandle Machine::AddHandle(std::shared_ptr<SimObject> object) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t id = nextHandle;
    nextHandle += 4;
    handles[id] = std::move(object);
    return reinterpret_cast<platform::RawHandle>(id);
}

std::shared_ptr<SimObject> Machine::FindObject(platform::RawHandle handle) {
    std::lock_guard lock(mutex_);
    const auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles.end() ? nullptr : it->second;
}

std::shared_ptr<SimObject> Machine::FindNamedObject(const std::wstring& name) {
    std::lock_guard lock(mutex_);
    const auto it = namedObjects.find(name);
    return it == namedObjects.end() ? nullptr : it->second.lock();
}

void Machine::SetNamedEvent(const std::wstring& name) {
    std::lock_guard lock(mutex_);
    auto object = FindNamedObject(name);
    if (object == nullptr) {
        object = std::make_shared<SimObject>();
        object->name = name;
        object->manualReset = true;
        namedObjects[name] = object;
        // An outside program keeps its handle open while the test runs.
        AddHandle(object);
    }
    object->signalled = true;
    changed_.notify_all();
}

bool Machine::IsNamedObjectSignalled(const std::wstring& name) {
    std::lock_guard lock(mutex_);
    const auto object = FindNamedObject(name);
    return object != nullptr && object->signalled;
}

std::size_t Machine::OpenHandleCount() {
    std::lock_guard lock(mutex_);
    return handles.size();
}

void Machine::WaitForChange(std::unique_lock<std::recursive_mutex>& lock) {
    changed_.wait(lock);
}

void Machine::NotifyChange() {
    changed_.notify_all();
}

std::vector<std::uint32_t> SimProcess::ThreadIds() const {
    std::vector<std::uint32_t> ids;
    const std::uint32_t first = firstThreadId != 0 ? firstThreadId : pid + 1;
    for (std::uint32_t i = 0; i < threadCount; ++i) {
        ids.push_back(first + 4 * i);
    }
    return ids;
}

void Machine::SetProcessorGroups(std::vector<std::vector<std::uint8_t>> groups) {
    std::lock_guard lock(mutex_);
    processorGroups = std::move(groups);
    activeProcessorsAllGroups = 0;
    for (const auto& group : processorGroups) {
        activeProcessorsAllGroups += static_cast<std::uint32_t>(group.size());
    }
}

std::uint64_t Machine::GroupMask(std::uint16_t group) {
    std::lock_guard lock(mutex_);
    if (group >= processorGroups.size()) {
        return 0;
    }
    const std::size_t count = processorGroups[group].size();
    return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

SimWindow& Machine::AddWindow(std::uint32_t processId) {
    std::lock_guard lock(mutex_);
    SimWindow window;
    window.window = 0x10000 + 0x10 * windows.size();
    window.processId = processId;
    windows.push_back(window);
    return windows.back();
}

bool Machine::HandleHasAccess(platform::RawHandle handle, std::uint32_t access) {
    std::lock_guard lock(mutex_);
    const auto it = handleAccess.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handleAccess.end()) {
        return false;
    }
    std::uint32_t granted = it->second;
    // The full rights include their limited forms.
    if ((granted & platform::kProcessQueryInformation) != 0) {
        granted |= platform::kProcessQueryLimitedInformation;
    }
    if ((granted & platform::kProcessSetInformation) != 0) {
        granted |= platform::kProcessSetLimitedInformation;
    }
    return (granted & access) == access;
}

}  // namespace cv::sim
