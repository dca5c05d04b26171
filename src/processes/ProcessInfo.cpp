#include "processes/ProcessInfo.h"

#include <algorithm>
#include <atomic>

#include "common/WideString.h"
#include "enginehost/EngineHost.h"
#include "platform/Clock.h"
#include "platform/KernelObjects.h"
#include "platform/Services.h"
#include "platform/System.h"
#include "platform/SystemProcessLayout.h"
#include "processes/HandleCache.h"
#include "processes/ProcessSnapshot.h"
#include "texts/KernelObjectNames.h"

namespace cv {

namespace {

namespace layout = platform::layout;

constexpr std::size_t kMaxImageNameBytes = 770;
constexpr std::size_t kMaxImageNameCharacters = 384;

std::uint32_t LogicalProcessors() {
    static const std::uint32_t count = std::max(1u, platform::ActiveProcessorCountAllGroups());
    return count;
}

}  // namespace

bool IsProtectedImageName(std::wstring_view imageName) {
    static constexpr std::wstring_view kProtected[] = {
        L"csrss.exe",    L"memory compression", L"mfpmp.exe",   L"msmpeng.exe",  L"nissrv.exe",
        L"services.exe", L"smss.exe",           L"wininit.exe", L"wudfhost.exe", L"zam.exe"};
    for (const auto name : kProtected) {
        if (EqualsIgnoreCase(imageName, name)) {
            return true;
        }
    }
    return false;
}

bool TerminalServicesReady() {
    static std::atomic<bool> ready{false};
    if (ready) {
        return true;
    }
    const platform::UniqueHandle event =
        platform::OpenEventObject(names::kTerminalServicesReadyEvent, platform::kSynchronize);
    if (event) {
        ready = platform::IsSignalled(event.Get());
    } else if (!IsVistaOrLater()) {
        ready = platform::QueryServiceState(L"TermService") == platform::ServiceState::Running;
    }
    return ready;
}

void ProcessInfo::FillFromEntry(const std::uint8_t* entry, std::size_t entrySize) {
    {
        std::lock_guard lock(mutex_);
        // The process's part is kept; of its threads, only what is asked of them later.
        const std::size_t kept = std::min(entrySize, layout::kProcessEntrySize);
        entrySize_ = std::max(entrySize_, kept);
        std::copy(entry, entry + kept, entry_.begin());
        firstThreadId_ = entrySize >= layout::kProcessEntrySize + layout::kThreadEntrySize &&
                                 layout::Read<std::uint32_t>(entry, layout::kNumberOfThreads) != 0
                             ? static_cast<std::uint32_t>(layout::Read<std::uint64_t>(
                                   entry + layout::kProcessEntrySize, layout::kThreadClientThread))
                             : 0;
        suspended_ = IsSuspendedEntry(entry, entrySize);
        threadCount_.store(
            entrySize_ == 0 ? 0
                            : layout::Read<std::uint32_t>(entry_.data(), layout::kNumberOfThreads),
            std::memory_order_relaxed);
        const auto newPid = static_cast<std::uint32_t>(
            layout::Read<std::uint64_t>(entry_.data(), layout::kUniqueProcessId));
        if (newPid == pid_) {
            return;
        }
        // The name points into the snapshot buffer; copy it and clear the copy's pointer.
        const auto length = layout::Read<std::uint16_t>(entry_.data(), layout::kImageNameLength);
        const auto address = layout::Read<std::uint64_t>(entry_.data(), layout::kImageNameBuffer);
        imageName_.clear();
        if (length > 0 && length < kMaxImageNameBytes && address != 0) {
            const auto* name =
                reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address));
            const std::size_t characters =
                std::min<std::size_t>(length / 2, kMaxImageNameCharacters);
            std::u16string units(characters, u'\0');
            for (std::size_t i = 0; i < characters; ++i) {
                units[i] = layout::Read<char16_t>(name, i * 2);
            }
            imageName_ = FromUtf16(units);
        }
        layout::Write<std::uint16_t>(entry_.data(), layout::kImageNameLength, 0);
        layout::Write<std::uint16_t>(entry_.data(), layout::kImageNameMaximumLength, 0);
        layout::Write<std::uint64_t>(entry_.data(), layout::kImageNameBuffer, 0);
        pid_ = newPid;
        path_.clear();
        commandLine_.clear();
        times_ = {};
        previousKernel_ = previousUser_ = previousSampleTime_ = 0;
        cpuPercent_.store(0, std::memory_order_relaxed);
        createTime_ = 0;
        createTimeRead_ = false;
        ended_ = false;
    }
    {
        std::lock_guard lock(userLock_);
        user_.clear();
        domain_.clear();
        accountRead_ = false;
    }
    SampleCpu();
}

std::uint32_t ProcessInfo::Pid() const {
    std::lock_guard lock(mutex_);
    return pid_;
}

std::wstring ProcessInfo::ImageName() const {
    std::lock_guard lock(mutex_);
    return imageName_;
}

std::uint32_t ProcessInfo::ParentPid() const {
    std::lock_guard lock(mutex_);
    return entrySize_ == 0 ? 0
                           : static_cast<std::uint32_t>(layout::Read<std::uint64_t>(
                                 entry_.data(), layout::kInheritedFromUniqueProcessId));
}

std::uint32_t ProcessInfo::ThreadCount() const {
    return threadCount_.load(std::memory_order_relaxed);
}

std::uint32_t ProcessInfo::HandleCount() const {
    std::lock_guard lock(mutex_);
    return entrySize_ == 0 ? 0 : layout::Read<std::uint32_t>(entry_.data(), layout::kHandleCount);
}

std::uint64_t ProcessInfo::IoTransferBytes() const {
    std::lock_guard lock(mutex_);
    if (entrySize_ < layout::kProcessEntrySize) {
        return 0;
    }
    return layout::Read<std::uint64_t>(entry_.data(), layout::kReadTransferCount) +
           layout::Read<std::uint64_t>(entry_.data(), layout::kWriteTransferCount);
}

std::uint32_t ProcessInfo::FirstThreadId() const {
    std::lock_guard lock(mutex_);
    return firstThreadId_;
}

std::uint32_t ProcessInfo::EntrySessionId() const {
    std::lock_guard lock(mutex_);
    return entrySize_ == 0 ? 0xFFFFFFFF
                           : layout::Read<std::uint32_t>(entry_.data(), layout::kSessionId);
}

std::uint64_t ProcessInfo::CreateTime() {
    std::lock_guard lock(mutex_);
    if (!createTimeRead_ && entrySize_ != 0) {
        createTime_ = layout::Read<std::uint64_t>(entry_.data(), layout::kCreateTime);
        createTimeRead_ = true;
    }
    return createTime_;
}

SharedProcessHandle ProcessInfo::Handle() {
    const std::uint64_t createTime = CreateTime();
    std::uint32_t pid = 0;
    {
        std::lock_guard lock(mutex_);
        if (ended_) {
            return nullptr;
        }
        pid = pid_;
    }
    return ProcessHandleCache::Instance().Share(pid, createTime);
}

void ProcessInfo::KeepTimes(const platform::UniqueHandle& handle) {
    const auto times = platform::GetTimesOfProcess(handle.Get());
    std::lock_guard lock(mutex_);
    if (times && (createTime_ == 0 || times->create == createTime_)) {
        times_ = *times;
    }
}

bool ProcessInfo::IsAlive() {
    const SharedProcessHandle handle = Handle();
    if (handle == nullptr) {
        return false;
    }
    if (platform::WaitForObject(handle->Get(), 0) == platform::WaitResult::Signalled) {
        // Read through its own handle while there is one: once it is given back, the id may
        // belong to another process, and the exit record needs the time this one ended.
        KeepTimes(*handle);
        std::uint32_t pid = 0;
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
            pid = pid_;
        }
        ProcessHandleCache::Instance().Take(pid, CreateTime());
        return false;
    }
    if (ThreadCount() == 0) {
        // Still alive, but a process without threads keeps no handle.
        ReleaseHandle();
    }
    return true;
}

bool ProcessInfo::CanOpen() {
    return Handle() != nullptr;
}

void ProcessInfo::ReleaseHandle() {
    const SharedProcessHandle handle = ProcessHandleCache::Instance().Take(Pid(), CreateTime());
    if (handle != nullptr) {
        KeepTimes(*handle);
    }
}

std::uint32_t ProcessInfo::SessionId() const {
    return platform::ProcessSessionId(Pid()).value_or(0xFFFFFFFF);
}

std::wstring ProcessInfo::Path() {
    {
        std::lock_guard lock(mutex_);
        if (!path_.empty()) {
            return path_;
        }
    }
    std::wstring path;
    if (const SharedProcessHandle handle = Handle()) {
        path = platform::ProcessImagePath(handle->Get());
    }
    std::lock_guard lock(mutex_);
    if (path_.empty()) {
        path_ = std::move(path);
    }
    return path_;
}

std::wstring ProcessInfo::CommandLine(bool refresh) {
    std::uint32_t pid = 0;
    std::uint32_t threadId = 0;
    {
        std::lock_guard lock(mutex_);
        if ((!commandLine_.empty() && !refresh) || IsProtectedImageName(imageName_)) {
            return commandLine_;
        }
        pid = pid_;
        threadId = firstThreadId_;
    }
    std::wstring text = platform::ReadProcessCommandLine(pid, threadId);
    std::lock_guard lock(mutex_);
    if (!text.empty() && pid == pid_) {
        commandLine_ = std::move(text);
    }
    return commandLine_;
}

void ProcessInfo::ReadAccount() {
    if (accountRead_) {
        return;
    }
    if (const SharedProcessHandle handle = Handle()) {
        if (auto account = platform::ProcessAccount(handle->Get())) {
            user_ = account->user;
            domain_ = account->domain;
            accountRead_ = true;
            return;
        }
    }
    if (TerminalServicesReady()) {
        if (const auto session = platform::ProcessSessionId(Pid())) {
            if (auto name = platform::SessionUserName(*session)) {
                user_ = *name;
                domain_.clear();
                accountRead_ = !user_.empty();
            }
        }
    }
}

std::wstring ProcessInfo::UserName() {
    std::lock_guard lock(userLock_);
    ReadAccount();
    return user_;
}

std::wstring ProcessInfo::DomainName() {
    std::lock_guard lock(userLock_);
    ReadAccount();
    return domain_;
}

platform::ProcessTimes ProcessInfo::Times() {
    if (const SharedProcessHandle handle = Handle()) {
        KeepTimes(*handle);
    }
    std::lock_guard lock(mutex_);
    return times_;
}

double ProcessInfo::KeepSample(std::uint64_t kernel, std::uint64_t user, std::uint64_t now) {
    const std::uint64_t total = kernel + user;
    const std::uint64_t previousTotal = previousKernel_ + previousUser_;
    // No share from a first sample, nor across a clock set back (or a sample taken before the
    // one kept, that came second to the lock): counting starts again from this one.
    double percent = 0;
    if (previousSampleTime_ != 0 && now > previousSampleTime_) {
        const double used = static_cast<double>(total) - static_cast<double>(previousTotal);
        percent = 100.0 * used /
                  (static_cast<double>(LogicalProcessors()) *
                   (static_cast<double>(now) - static_cast<double>(previousSampleTime_)));
    }
    cpuPercent_.store(percent, std::memory_order_relaxed);
    previousKernel_ = kernel;
    previousUser_ = user;
    previousSampleTime_ = now;
    return percent;
}

double ProcessInfo::SampleCpu() {
    // The process list's entry carries the same kernel and user times GetProcessTimes gives, and
    // is the one source with true figures under Wine: read and kept under one hold of the lock.
    {
        const std::uint64_t now = platform::SystemTimeAsFileTime();
        std::lock_guard lock(mutex_);
        if (entrySize_ >= layout::kProcessEntrySize) {
            return KeepSample(layout::Read<std::uint64_t>(entry_.data(), layout::kKernelTime),
                              layout::Read<std::uint64_t>(entry_.data(), layout::kUserTime), now);
        }
    }
    // The call is the fall-back; samples through it are taken one at a time, each timed after
    // its times were read.
    std::lock_guard sampling(sampleLock_);
    const platform::ProcessTimes times = Times();
    const std::uint64_t now = platform::SystemTimeAsFileTime();
    std::lock_guard lock(mutex_);
    return KeepSample(times.kernel, times.user, now);
}

double ProcessInfo::CpuPercent() const {
    return cpuPercent_.load(std::memory_order_relaxed);
}

platform::MemoryCounters ProcessInfo::MemoryCounters() {
    if (const SharedProcessHandle handle = Handle()) {
        if (const auto counters = platform::GetMemoryOfProcess(handle->Get())) {
            return *counters;
        }
    }
    return {};
}

bool ProcessInfo::IsServiceHost() const {
    const std::wstring image = ImageName();
    if (image.empty()) {
        return true;
    }
    const std::wstring cut = ToLower(std::wstring_view(image).substr(0, 11));
    return cut == L"svchost.exe" || cut == L"services.ex";
}

bool ProcessInfo::IsSuspended() const {
    std::lock_guard lock(mutex_);
    return suspended_;
}

}  // namespace cv
