#pragma once
// At start-up, before the first cycle and whatever the configuration now says: the changes an
// engine that was killed or crashed left in other processes (its recovery journal,
// services/RecoveryJournal.h) are put back. An entry whose process still runs with the same
// creation time is undone (the suspensions it added resumed; the class, boost, affinity,
// efficiency mode and I/O priority restored); an entry of a process that is gone is dropped.
// Each restore is logged once, with the record its feature writes when it puts the change back
// itself (49, 46, 41, 91, 108, 83), and each failure with 111.
#include <vector>

#include "control/FeatureContext.h"
#include "runtime/RecoveryJournal.h"

namespace cv {

struct ChangeRecoveryResult {
    std::size_t restored = 0;
    std::size_t gone = 0;
    // Entries that could not be put back now: kept in the journal for the next start, and
    // dropped once their process ends.
    std::vector<JournalEntry> kept;
};

// The entries are undone last first, so that two changes of one value (a restraint's affinity
// and a CPU limit's) end with the value before the first.
ChangeRecoveryResult RecoverLeftOverChanges(const FeatureContext& context,
                                            const std::vector<JournalEntry>& entries);

// Reads the scope's journal, puts back what it holds and makes the engine journal into it.
ChangeRecoveryResult RecoverAndBeginJournal(const FeatureContext& context, bool isService);

}  // namespace cv
