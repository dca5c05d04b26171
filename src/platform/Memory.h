#pragma once
// The machine's memory: how much is free and in use, and the system-wide cache operations the
// memory trimmer uses.
#include <cstdint>
#include <memory>
#include <optional>

namespace cv::platform {

struct MemoryStatus {
    std::uint32_t memoryLoad = 0;  // percent of physical memory in use
    std::uint64_t totalPhysical = 0;
    std::uint64_t availablePhysical = 0;
};
// GlobalMemoryStatusEx; none on failure.
std::optional<MemoryStatus> ReadMemoryStatus();

// The performance counter "\Memory\Free & Zero Page List Bytes" (PdhOpenQueryW,
// PdhAddEnglishCounterW), kept open between readings.
class FreeMemoryCounter {
  public:
    FreeMemoryCounter();
    FreeMemoryCounter(const FreeMemoryCounter&) = delete;
    FreeMemoryCounter& operator=(const FreeMemoryCounter&) = delete;
    ~FreeMemoryCounter();

    // Opens the query and adds the counter; false (and nothing open) when either fails.
    bool Open();
    bool IsOpen() const;
    // PdhCollectQueryData once, then the value as a 64-bit integer; none when either fails.
    std::optional<std::uint64_t> Read();
    // PdhRemoveCounter and PdhCloseQuery.
    void Close();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// NtSetSystemInformation, system file cache information (class 21) with both working-set limits
// all-ones: flushes the file cache's working set. False when the entry point is missing or the
// status is a failure.
bool FlushSystemFileCache();
// NtSetSystemInformation, system memory list information (class 80) with the command 4: purges
// the standby page list.
bool PurgeStandbyList();

}  // namespace cv::platform
