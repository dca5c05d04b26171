#pragma once
// One open handle per process, kept until the process is gone. Every query of another process
// goes through it, so a process is opened once and not once per question.
//
// The handles are shared: the cache holds one reference and every user that takes the handle
// holds another, so a release by the control thread only drops the cache's reference and never
// closes a handle another thread is still working with.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Handle.h"

namespace cv {

// An open process handle that stays open while anyone holds it.
using SharedProcessHandle = std::shared_ptr<const platform::UniqueHandle>;

class ProcessHandleCache {
  public:
    static ProcessHandleCache& Instance();

    // The handle of the process with this id and creation time, opening it (query and read
    // access, else limited query) when there is none. A process is its id and its creation
    // time: when the id now belongs to a process created at another time, there is no handle.
    // A creation time of 0 takes whatever process has the id.
    SharedProcessHandle Share(std::uint32_t processId, std::uint64_t createTime);
    // The same as a plain handle, which stays valid only while the cache keeps it: for the
    // control thread, which is the one that releases. Other threads hold a shared handle.
    platform::RawHandle GetHandle(std::uint32_t processId, std::uint64_t createTime);
    // For callers that do not know the creation time.
    platform::RawHandle GetHandle(std::uint32_t processId);

    // The cached handle of that process, taken out of the cache; none when the cache has none
    // for it (or has one of another process with the same id).
    SharedProcessHandle Take(std::uint32_t processId, std::uint64_t createTime);
    // The cached handle of the process with this id when it was opened with (at least) these
    // rights, without opening one; none otherwise.
    SharedProcessHandle Peek(std::uint32_t processId, std::uint32_t access);
    // Drops the cache's reference; false when there was none.
    bool ReleaseHandle(std::uint32_t processId);
    // Drops the cache's reference of every process whose id is not in the set; the number
    // dropped.
    std::size_t ReleaseAllExcept(const std::unordered_set<std::uint32_t>& keep);
    // The same, asking `keep` (under the cache's lock) instead of a set of ids.
    std::size_t ReleaseAllExceptWhere(const std::function<bool(std::uint32_t)>& keep);
    // The same for a caller whose `keep` says no again only to the ids in `removed` since its
    // last sweep: only those and the handles opened since are asked about, as every other
    // handle was kept by that sweep and is kept still. The number dropped.
    std::size_t Sweep(const std::vector<std::uint32_t>& removed,
                      const std::function<bool(std::uint32_t)>& keep);
    std::size_t Size();
    // Whether the cache holds a handle for the id.
    bool Holds(std::uint32_t processId);
    void Clear();

  private:
    struct Entry {
        SharedProcessHandle handle;
        std::uint64_t createTime = 0;  // of the process the handle was opened for
        std::uint32_t access = 0;      // the rights it was opened with
    };

    // Takes out every handle `keep` refuses; under the lock.
    void DropRefused(const std::function<bool(std::uint32_t)>& keep,
                     std::vector<SharedProcessHandle>& dropped);

    // Past this many handles opened between two sweeps, a sweep asks about every handle.
    static constexpr std::size_t kMaxOpenedBetweenSweeps = 4096;

    mutable std::mutex mutex_;
    std::unordered_map<std::uint32_t, Entry> handles_;
    // The ids of the handles opened since the last Sweep, while they are few enough.
    std::vector<std::uint32_t> openedSinceSweep_;
    bool tooManyOpened_ = false;
};

}  // namespace cv
