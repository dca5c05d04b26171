#pragma once
// One snapshot of the system process list per cycle, into a buffer kept between cycles.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace cv {

// Every thread of a process-list entry waits because it is suspended.
bool IsSuspendedEntry(const std::uint8_t* entry, std::size_t entrySize);

class ProcessSnapshot {
  public:
    // Queries the process list; with disallowBufferReuse the kept buffer is freed first.
    void Take(bool disallowBufferReuse);
    // Calls the visitor for every entry after the system idle process, in list order, with the
    // entry and its size (its NextEntryOffset, or 256 + 80 x threads for the last).
    void ForEachEntry(
        const std::function<void(const std::uint8_t* entry, std::size_t size)>& visit) const;
    std::size_t Capacity() const { return buffer_.size(); }
    void Free();

  private:
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> buffer_;
    std::size_t filled_ = 0;
};

}  // namespace cv
