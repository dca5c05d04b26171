#pragma once
// What the system process list says about one process, with the expensive facts (path,
// command line, owner, times) read on demand and kept.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Processes.h"

namespace cv {

// Processes whose memory the engine never reads and which it leaves alone when told to ignore
// problematic processes.
bool IsProtectedImageName(std::wstring_view imageName);
// Remote-desktop services can answer session questions (remembered once true).
bool TerminalServicesReady();

class ProcessInfo {
  public:
    ProcessInfo() = default;
    ProcessInfo(const ProcessInfo&) = delete;
    ProcessInfo& operator=(const ProcessInfo&) = delete;

    // Copies the entry (entrySize bytes) of the system process list. A new process id resets
    // every cached fact and takes a first CPU sample.
    void FillFromEntry(const std::uint8_t* entry, std::size_t entrySize);

    std::uint32_t Pid() const { return pid_; }
    const std::wstring& ImageName() const { return imageName_; }
    std::uint32_t ParentPid() const;
    std::uint32_t ThreadCount() const;
    std::uint32_t HandleCount() const;
    // Bytes read and written by the process so far.
    std::uint64_t IoTransferBytes() const;
    std::uint32_t FirstThreadId() const;
    std::uint32_t EntrySessionId() const;
    std::uint64_t CreateTime();

    bool IsAlive();
    bool CanOpen();
    // ProcessIdToSessionId; all bits set on failure.
    std::uint32_t SessionId() const;
    const std::wstring& Path();
    std::wstring CommandLine(bool refresh = false);
    std::wstring UserName();
    std::wstring DomainName();
    double SampleCpu();
    double CpuPercent() const { return cpuPercent_; }
    platform::ProcessTimes Times();
    platform::MemoryCounters MemoryCounters();
    bool IsServiceHost() const;
    // Every thread of the entry is suspended.
    bool IsSuspended() const;

  private:
    void ReadAccount();

    mutable std::mutex entryLock_;
    std::mutex userLock_;
    std::vector<std::uint8_t> entry_;
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
    double cpuPercent_ = 0;
    std::uint64_t createTime_ = 0;
    bool createTimeRead_ = false;
};

}  // namespace cv
