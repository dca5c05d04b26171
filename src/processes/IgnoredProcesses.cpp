#include "processes/IgnoredProcesses.h"

namespace cv {

void IgnoredProcesses::EndWalk() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        it = it->second.walk == walk_ ? std::next(it) : entries_.erase(it);
    }
}

IgnoredProcesses::Lookup IgnoredProcesses::Find(std::uint32_t pid, std::uint64_t createTime) {
    const auto it = entries_.find(pid);
    if (it == entries_.end()) {
        return Lookup::Unknown;
    }
    if (it->second.createTime != createTime) {
        entries_.erase(it);
        return Lookup::Unknown;
    }
    it->second.walk = walk_;
    return it->second.forLife ? Lookup::Ignored : Lookup::JudgeAgain;
}

void IgnoredProcesses::IgnoreForLife(std::uint32_t pid, std::uint64_t createTime) {
    Entry& entry = entries_[pid];
    entry = Entry{createTime, walk_, entry.tries, true};
}

void IgnoredProcesses::IgnoreForNow(std::uint32_t pid, std::uint64_t createTime) {
    Entry& entry = entries_[pid];
    if (entry.createTime != createTime) {
        entry = Entry{createTime, walk_, 0, false};
    }
    entry.walk = walk_;
    ++entry.tries;
    entry.forLife = entry.tries >= kMaxTries;
}

}  // namespace cv
