#include "processes/ProcessSnapshot.h"

#include <algorithm>

#include "platform/Processes.h"
#include "platform/SystemProcessLayout.h"

namespace cv {

namespace {
namespace layout = platform::layout;
constexpr std::size_t kHeadroom = 0x40000;
constexpr std::uint32_t kWaitingThread = 5;
constexpr std::uint32_t kSuspendedWait = 5;
}  // namespace

bool IsSuspendedEntry(const std::uint8_t* entry, std::size_t entrySize) {
    if (entry == nullptr || entrySize < layout::kProcessEntrySize) {
        return false;
    }
    const auto threads = layout::Read<std::uint32_t>(entry, layout::kNumberOfThreads);
    // A process without threads is ending, not suspended.
    if (threads == 0 ||
        entrySize < layout::kProcessEntrySize + std::size_t{threads} * layout::kThreadEntrySize) {
        return false;
    }
    for (std::uint32_t i = 0; i < threads; ++i) {
        const std::uint8_t* thread =
            entry + layout::kProcessEntrySize + std::size_t{i} * layout::kThreadEntrySize;
        if (layout::Read<std::uint32_t>(thread, layout::kThreadState) != kWaitingThread ||
            layout::Read<std::uint32_t>(thread, layout::kThreadWaitReason) != kSuspendedWait) {
            return false;
        }
    }
    return true;
}

void ProcessSnapshot::Free() {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t>().swap(buffer_);
    filled_ = 0;
}

void ProcessSnapshot::Take(bool disallowBufferReuse) {
    std::lock_guard lock(mutex_);
    if (disallowBufferReuse) {
        std::vector<std::uint8_t>().swap(buffer_);
    }
    // The kept buffer is tried first; its size is asked for only when there is none yet.
    if (buffer_.empty()) {
        std::uint32_t needed = 0;
        if (platform::QuerySystemInformation(platform::kSystemProcessInformation, nullptr, 0,
                                             &needed) != platform::kStatusInfoLengthMismatch) {
            needed = 0;
        }
        std::vector<std::uint8_t>(needed + kHeadroom).swap(buffer_);
    }
    filled_ = 0;
    for (int attempt = 0;; ++attempt) {
        std::uint32_t returned = 0;
        const std::int32_t status =
            platform::QuerySystemInformation(platform::kSystemProcessInformation, buffer_.data(),
                                             static_cast<std::uint32_t>(buffer_.size()), &returned);
        if (status >= 0) {
            filled_ = buffer_.size();
            return;
        }
        if (attempt == 64) {
            // A query that keeps failing for another reason must not stall the cycle forever.
            return;
        }
        std::size_t size = std::size_t{returned} + kHeadroom;
        if (status == platform::kStatusInfoLengthMismatch) {
            size += kHeadroom;
        }
        std::vector<std::uint8_t>(size).swap(buffer_);
    }
}

void ProcessSnapshot::ForEachEntry(
    const std::function<void(const std::uint8_t* entry, std::size_t size)>& visit) const {
    std::lock_guard lock(mutex_);
    if (filled_ < layout::kProcessEntrySize) {
        return;
    }
    // Windows lists the system idle process first; it is never managed. Wine's list has no
    // idle process, so the entry is skipped by its id rather than by its place.
    std::size_t offset = 0;
    while (offset + layout::kProcessEntrySize <= filled_) {
        const std::uint8_t* entry = buffer_.data() + offset;
        const std::uint32_t next = layout::Read<std::uint32_t>(entry, layout::kNextEntryOffset);
        const std::uint32_t threads = layout::Read<std::uint32_t>(entry, layout::kNumberOfThreads);
        std::size_t size =
            next != 0 ? next : layout::kProcessEntrySize + layout::kThreadEntrySize * threads;
        size = std::min(size, filled_ - offset);
        if (layout::Read<std::uint64_t>(entry, layout::kUniqueProcessId) != 0) {
            visit(entry, size);
        }
        if (next == 0) {
            break;
        }
        offset += next;
    }
}

}  // namespace cv
