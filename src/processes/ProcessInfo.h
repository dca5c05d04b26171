#pragma once
// What the system process list says about one process, with the expensive facts (path,
// command line, owner, times) read on demand and kept.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Processes.h"
#include "platform/SystemProcessLayout.h"
#include "processes/HandleCache.h"

namespace cv {

// Processes whose memory the engine never reads and which it leaves alone when told to ignore
// problematic processes.
bool IsProtectedImageName(std::wstring_view imageName);
// Remote-desktop services can answer session questions (remembered once true).
bool TerminalServicesReady();

// Safe to use from any thread: every cached fact is guarded by the object's lock, and the
// process handle it works with is shared, so the control thread's release never closes it
// under another thread's query.
class ProcessInfo {
  public:
    ProcessInfo() = default;
    ProcessInfo(const ProcessInfo&) = delete;
    ProcessInfo& operator=(const ProcessInfo&) = delete;

    // Copies the entry (entrySize bytes) of the system process list. A new process id resets
    // every cached fact and takes a first CPU sample.
    void FillFromEntry(const std::uint8_t* entry, std::size_t entrySize);

    std::uint32_t Pid() const;
    std::wstring ImageName() const;
    std::uint32_t ParentPid() const;
    std::uint32_t ThreadCount() const;
    std::uint32_t HandleCount() const;
    // Bytes read and written by the process so far.
    std::uint64_t IoTransferBytes() const;
    std::uint32_t FirstThreadId() const;
    std::uint32_t EntrySessionId() const;
    std::uint64_t CreateTime();

    // The process's handle, held by the caller for as long as it works with it; none when the
    // process cannot be opened, has ended, or its id now belongs to another process.
    SharedProcessHandle Handle();
    // False once the process has ended; its last times are then kept. A process without
    // threads stays alive but gives its handle back.
    bool IsAlive();
    bool CanOpen();
    // Reads and keeps the process's times, then drops the cached handle. The control loop
    // calls it instead of releasing the handle itself, so the exit record still has the times
    // of the process's end.
    void ReleaseHandle();
    // ProcessIdToSessionId; all bits set on failure.
    std::uint32_t SessionId() const;
    std::wstring Path();
    std::wstring CommandLine(bool refresh = false);
    std::wstring UserName();
    std::wstring DomainName();
    double SampleCpu();
    double CpuPercent() const;
    // Read through the handle; the last values read when that fails.
    platform::ProcessTimes Times();
    platform::MemoryCounters MemoryCounters();
    bool IsServiceHost() const;
    // Every thread of the entry is suspended.
    bool IsSuspended() const;

  private:
    void ReadAccount();
    // Keeps the times read through the handle, when it is this process's.
    void KeepTimes(const platform::UniqueHandle& handle);
    // Works out the CPU share since the last sample and keeps this one; under mutex_.
    double KeepSample(std::uint64_t kernel, std::uint64_t user, std::uint64_t now);

    // Guards every field below but the account and the atomics; never held while another lock
    // is taken.
    mutable std::mutex mutex_;
    // Serializes CPU samples that read the times through the handle before the previous sample.
    std::mutex sampleLock_;
    std::mutex userLock_;
    // The process's part of the entry (its first kProcessEntrySize bytes; entrySize_ of them
    // filled), kept in the object, and what its threads said.
    std::array<std::uint8_t, platform::layout::kProcessEntrySize> entry_{};
    std::size_t entrySize_ = 0;
    std::uint32_t firstThreadId_ = 0;
    bool suspended_ = false;
    std::uint32_t pid_ = 0xFFFFFFFF;
    std::wstring imageName_;
    std::wstring path_;
    std::wstring commandLine_;
    std::wstring user_;
    std::wstring domain_;
    bool accountRead_ = false;
    platform::ProcessTimes times_;
    std::uint64_t previousKernel_ = 0;
    std::uint64_t previousUser_ = 0;
    std::uint64_t previousSampleTime_ = 0;
    // Read by every feature of every cycle, so without the lock; written under it.
    std::atomic<double> cpuPercent_{0};
    std::atomic<std::uint32_t> threadCount_{0};
    std::uint64_t createTime_ = 0;
    bool createTimeRead_ = false;
    // Its handle was found signalled: the id is never opened again for it.
    bool ended_ = false;
};

}  // namespace cv
