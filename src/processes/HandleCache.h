#pragma once
// One open handle per process, kept until the process is gone. Every query of another process
// goes through it, so a process is opened once and not once per question.
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/Handle.h"

namespace cv {

class ProcessHandleCache {
  public:
    static ProcessHandleCache& Instance();

    // The cached handle, opening the process (query and read access, else limited query) when
    // there is none; null when it cannot be opened. The cache keeps ownership.
    platform::RawHandle GetHandle(std::uint32_t processId);
    // Closes and forgets the handle; false when there was none.
    bool ReleaseHandle(std::uint32_t processId);
    // Closes every handle whose process id is not in the set; the number closed.
    std::size_t ReleaseAllExcept(const std::unordered_set<std::uint32_t>& keep);
    std::size_t Size();
    void Clear();

  private:
    std::mutex mutex_;
    std::unordered_map<std::uint32_t, platform::UniqueHandle> handles_;
};

}  // namespace cv
