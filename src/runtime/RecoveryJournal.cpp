#include "runtime/RecoveryJournal.h"

#include <algorithm>
#include <chrono>

#include "common/Format.h"
#include "platform/Power.h"
#include "platform/Registry.h"

namespace cv {

namespace {

using platform::RegistryRoot;

constexpr std::uint8_t kHeaderMagic[4] = {'C', 'V', 'R', 'J'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint8_t kEntryMark = 0xCE;
constexpr std::size_t kCheckedBytes = kJournalEntrySize - 4;
// How long the crash filter waits for the journal's lock.
constexpr auto kCrashLockWait = std::chrono::milliseconds(200);

void Put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::uint64_t Get(const std::uint8_t* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

std::uint32_t Check(const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    return hash;
}

bool KnownChange(std::uint8_t change) {
    return change >= static_cast<std::uint8_t>(JournalChange::Suspension) &&
           change <= static_cast<std::uint8_t>(JournalChange::IoPriority);
}

bool KnownOwner(std::uint8_t owner) {
    return owner >= static_cast<std::uint8_t>(JournalOwner::Throttle) &&
           owner <= static_cast<std::uint8_t>(JournalOwner::CpuLimit);
}

}  // namespace

std::vector<std::uint8_t> EncodeJournal(const std::vector<JournalEntry>& entries) {
    std::vector<std::uint8_t> out(std::begin(kHeaderMagic), std::end(kHeaderMagic));
    Put(out, kVersion, 2);
    Put(out, kJournalEntrySize, 2);
    for (const JournalEntry& entry : entries) {
        const std::size_t start = out.size();
        out.push_back(kEntryMark);
        out.push_back(static_cast<std::uint8_t>(entry.change));
        out.push_back(static_cast<std::uint8_t>(entry.owner));
        out.push_back(0);
        Put(out, entry.pid, 4);
        Put(out, entry.createTime, 8);
        Put(out, entry.value, 8);
        Put(out, entry.applied, 8);
        Put(out, entry.count, 4);
        Put(out, Check(out.data() + start, kCheckedBytes), 4);
    }
    return out;
}

DecodedJournal DecodeJournal(const std::vector<std::uint8_t>& bytes) {
    DecodedJournal journal;
    if (bytes.size() < kJournalHeaderSize ||
        !std::equal(std::begin(kHeaderMagic), std::end(kHeaderMagic), bytes.begin()) ||
        Get(bytes.data() + 4, 2) != kVersion || Get(bytes.data() + 6, 2) != kJournalEntrySize) {
        journal.dropped = bytes.empty() ? 0 : 1;
        return journal;
    }
    std::size_t at = kJournalHeaderSize;
    for (; at + kJournalEntrySize <= bytes.size(); at += kJournalEntrySize) {
        const std::uint8_t* in = bytes.data() + at;
        if (in[0] != kEntryMark || !KnownChange(in[1]) || !KnownOwner(in[2]) ||
            Get(in + kCheckedBytes, 4) != Check(in, kCheckedBytes)) {
            ++journal.dropped;
            continue;
        }
        JournalEntry entry;
        entry.change = static_cast<JournalChange>(in[1]);
        entry.owner = static_cast<JournalOwner>(in[2]);
        entry.pid = static_cast<std::uint32_t>(Get(in + 4, 4));
        entry.createTime = Get(in + 8, 8);
        entry.value = Get(in + 16, 8);
        entry.applied = Get(in + 24, 8);
        entry.count = static_cast<std::uint32_t>(Get(in + 32, 4));
        journal.entries.push_back(entry);
    }
    if (at < bytes.size()) {
        ++journal.dropped;  // a torn tail
    }
    return journal;
}

std::wstring JournalValueName(bool isService, std::uint32_t sessionId) {
    return isService ? std::wstring(L"ProcessRecoveryJournal")
                     : FormatText(L"ProcessRecoveryJournal.Session%u", sessionId);
}

RecoveryJournal& RecoveryJournal::Instance() {
    static RecoveryJournal journal;
    return journal;
}

DecodedJournal RecoveryJournal::ReadLeftOver(const std::wstring& valueName) {
    const auto bytes =
        platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, valueName);
    if (!bytes) {
        // Missing, or of another type: nothing that can be read.
        DecodedJournal none;
        none.dropped =
            platform::RegistryValuePresent(RegistryRoot::LocalMachine, kJournalKey, valueName) ? 1
                                                                                               : 0;
        return none;
    }
    return DecodeJournal(*bytes);
}

void RecoveryJournal::Begin(const std::wstring& valueName, std::vector<JournalEntry> kept) {
    std::lock_guard lock(mutex_);
    valueName_ = valueName;
    entries_ = std::move(kept);
    if (entries_.empty()) {
        platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kJournalKey, valueName_);
        return;
    }
    WriteLocked();
}

bool RecoveryJournal::Active() const {
    std::lock_guard lock(mutex_);
    return !valueName_.empty();
}

bool RecoveryJournal::Record(const JournalEntry& entry) {
    std::lock_guard lock(mutex_);
    if (valueName_.empty()) {
        return true;  // no engine journals (a feature driven on its own)
    }
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const JournalEntry& kept) { return kept.SameSlot(entry); });
    if (it != entries_.end()) {
        // The value first saved is the one to put back: a later change of the same value (a
        // second CPU limit, a restraint after a restore that failed) saved a value the engine set.
        JournalEntry updated = entry;
        updated.value = it->value;
        if (*it == updated) {
            return true;
        }
        *it = updated;
    } else {
        entries_.push_back(entry);
    }
    return WriteLocked();
}

void RecoveryJournal::Remove(std::uint32_t pid, std::uint64_t createTime, JournalChange change,
                             JournalOwner owner) {
    JournalEntry key;
    key.pid = pid;
    key.createTime = createTime;
    key.change = change;
    key.owner = owner;
    std::lock_guard lock(mutex_);
    if (std::erase_if(entries_, [&](const JournalEntry& kept) { return kept.SameSlot(key); }) !=
        0) {
        WriteLocked();
    }
}

void RecoveryJournal::RemoveProcess(std::uint32_t pid, std::uint64_t createTime) {
    std::lock_guard lock(mutex_);
    if (std::erase_if(entries_, [&](const JournalEntry& kept) {
            return kept.pid == pid && kept.createTime == createTime;
        }) != 0) {
        WriteLocked();
    }
}

std::vector<JournalEntry> RecoveryJournal::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

bool RecoveryJournal::DropSuspensionsAfterCrash() {
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_for(kCrashLockWait)) {
        return false;
    }
    if (std::erase_if(entries_, [](const JournalEntry& kept) {
            return kept.change == JournalChange::Suspension;
        }) != 0) {
        return WriteLocked();
    }
    return true;
}

void RecoveryJournal::End() {
    std::lock_guard lock(mutex_);
    if (!valueName_.empty() && entries_.empty()) {
        platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kJournalKey, valueName_);
    }
    valueName_.clear();
    entries_.clear();
}

void RecoveryJournal::Reset() {
    std::lock_guard lock(mutex_);
    valueName_.clear();
    entries_.clear();
}

bool RecoveryJournal::WriteLocked() {
    if (valueName_.empty()) {
        return true;
    }
    if (entries_.empty()) {
        return !platform::RegistryValuePresent(RegistryRoot::LocalMachine, kJournalKey,
                                               valueName_) ||
               platform::DeleteRegistryValue(RegistryRoot::LocalMachine, kJournalKey, valueName_);
    }
    return platform::WriteRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, valueName_,
                                         EncodeJournal(entries_));
}

}  // namespace cv
