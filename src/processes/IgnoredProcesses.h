#pragma once
// The processes the engine leaves alone, each known by its id and its creation time: an id seen
// with another creation time is a new process and is judged afresh. A process that could not be
// opened or named at first sight is judged again on the next cycles before it is left alone.
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace cv {

class IgnoredProcesses {
  public:
    // Tries a process that failed for a passing reason gets before it is left alone for good.
    static constexpr std::uint8_t kMaxTries = 5;

    enum class Lookup {
        Unknown,    // not here, or the id now belongs to another process
        Ignored,    // left alone
        JudgeAgain  // failed before for a passing reason; judge it once more
    };

    // Starts a walk over the snapshot; entries not looked up or added before EndWalk drop out.
    void BeginWalk() { ++walk_; }
    void EndWalk();
    Lookup Find(std::uint32_t pid, std::uint64_t createTime);
    // Left alone while it lives (until the rules change).
    void IgnoreForLife(std::uint32_t pid, std::uint64_t createTime);
    // Could not be judged now: tried again next cycle, until the tries run out.
    void IgnoreForNow(std::uint32_t pid, std::uint64_t createTime);
    void Forget(std::uint32_t pid) { entries_.erase(pid); }
    void Clear() { entries_.clear(); }
    std::size_t count(std::uint32_t pid) const { return entries_.count(pid); }
    std::size_t Size() const { return entries_.size(); }

  private:
    struct Entry {
        std::uint64_t createTime = 0;
        std::uint32_t walk = 0;
        std::uint8_t tries = 0;
        bool forLife = false;
    };
    std::unordered_map<std::uint32_t, Entry> entries_;
    std::uint32_t walk_ = 0;
};

}  // namespace cv
