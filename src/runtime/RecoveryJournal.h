#pragma once
// The recovery journal: what the engine changed in other processes for the time being (a
// suspension, a lowered class or boost, a narrowed affinity, efficiency mode, a lowered I/O
// priority), written before the change is made and removed once it is undone, so that a later
// engine can put back what an engine that was killed or crashed left behind.
//
// It lives in one binary registry value under HKEY_LOCAL_MACHINE\Software\Corvane, beside the
// power plans' recovery values, one value per engine scope (the service, or the engine of one
// user session). A registry value is replaced whole by each write, so a kill at any instant
// leaves either the journal before the write or the one after it; the registry outlives the
// engine but not the machine, which is all the journal needs, since every entry names a running
// process. Each entry carries its own check, so an entry that is torn or damaged is dropped on
// its own and the others are still read.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace cv {

// What was changed.
enum class JournalChange : std::uint8_t {
    Suspension = 1,      // count: suspensions the engine added
    PriorityClass = 2,   // value: the class to restore
    PriorityBoost = 3,   // value: 1 when boost was enabled
    Affinity = 4,        // value: the mask to restore; applied: the mask the engine set
    EfficiencyMode = 5,  // value: 1 when it was on
    IoPriority = 6,      // value: the I/O priority to restore
};

// Which feature made the change.
enum class JournalOwner : std::uint8_t {
    Throttle = 1,
    Restraint = 2,
    CpuLimit = 3,
};

struct JournalEntry {
    std::uint32_t pid = 0;
    std::uint64_t createTime = 0;  // FILETIME of the process's creation
    JournalChange change = JournalChange::Suspension;
    JournalOwner owner = JournalOwner::Throttle;
    std::uint64_t value = 0;
    std::uint64_t applied = 0;
    std::uint32_t count = 0;
    bool operator==(const JournalEntry&) const = default;
    // The same process, change and owner: a new entry replaces the old.
    bool SameSlot(const JournalEntry& other) const {
        return pid == other.pid && createTime == other.createTime && change == other.change &&
               owner == other.owner;
    }
};

// The bytes of the value: an 8-byte header ("CVRJ", version 1, entry size 40), then 40 bytes an
// entry, each with a leading mark and a trailing FNV-1a check of its other bytes.
inline constexpr std::size_t kJournalHeaderSize = 8;
inline constexpr std::size_t kJournalEntrySize = 40;
std::vector<std::uint8_t> EncodeJournal(const std::vector<JournalEntry>& entries);
struct DecodedJournal {
    std::vector<JournalEntry> entries;
    std::size_t dropped = 0;  // torn or damaged entries, and a torn tail
};
// Never fails: whatever cannot be read is counted as dropped.
DecodedJournal DecodeJournal(const std::vector<std::uint8_t>& bytes);

inline constexpr wchar_t kJournalKey[] = L"Software\\Corvane";
// The value of the service's engine, and of the engine of a user session.
std::wstring JournalValueName(bool isService, std::uint32_t sessionId);

// The engine's journal. Every method may be called from any thread (the throttles journal from
// their own); each change is written before it returns.
class RecoveryJournal {
  public:
    static RecoveryJournal& Instance();

    // What an earlier engine of the scope left behind (empty when nothing, or unreadable).
    static DecodedJournal ReadLeftOver(const std::wstring& valueName);

    // From now on the engine journals into the value, which is rewritten with `kept` (entries
    // the start-up could not put back yet).
    void Begin(const std::wstring& valueName, std::vector<JournalEntry> kept = {});
    bool Active() const;
    // Adds the entry, or updates the one of the same process, change and owner, which keeps the
    // value it saved first; false when it could not be written (the entry is still kept in
    // memory and written with the next change).
    bool Record(const JournalEntry& entry);
    void Remove(std::uint32_t pid, std::uint64_t createTime, JournalChange change,
                JournalOwner owner);
    // Every entry of a process that ended.
    void RemoveProcess(std::uint32_t pid, std::uint64_t createTime);
    std::vector<JournalEntry> Entries() const;
    // The crash filter has resumed what the throttles held: their entries go, if the journal's
    // lock can be had within a short while (best effort; a crash may have left it taken).
    bool DropSuspensionsAfterCrash();
    // A normal stop with nothing left to put back deletes the value; the journal stops.
    void End();
    // Forgets everything without writing (tests, and a new simulated machine).
    void Reset();

  private:
    bool WriteLocked();

    mutable std::timed_mutex mutex_;
    std::wstring valueName_;
    std::vector<JournalEntry> entries_;
};

}  // namespace cv
