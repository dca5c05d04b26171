// The recovery journal's bytes and its entries on the simulated machine's registry.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "platform/Registry.h"
#include "runtime/RecoveryJournal.h"

namespace cv::test {
namespace {

using platform::RegistryRoot;

constexpr wchar_t kValue[] = L"ProcessRecoveryJournal";

JournalEntry Entry(std::uint32_t pid, JournalChange change, JournalOwner owner, std::uint64_t value,
                   std::uint64_t applied = 0, std::uint32_t count = 0) {
    JournalEntry entry;
    entry.pid = pid;
    entry.createTime = 133'000'000'000'000'000ull + pid;
    entry.change = change;
    entry.owner = owner;
    entry.value = value;
    entry.applied = applied;
    entry.count = count;
    return entry;
}

class RecoveryJournalTest : public SimTest {
  protected:
    std::vector<JournalEntry> Stored() {
        const auto bytes =
            platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, kValue);
        return bytes ? DecodeJournal(*bytes).entries : std::vector<JournalEntry>();
    }
};

TEST_F(RecoveryJournalTest, EveryKindOfEntryComesBackAsWritten) {
    const std::vector<JournalEntry> entries = {
        Entry(10, JournalChange::Suspension, JournalOwner::Throttle, 0, 0, 1),
        Entry(11, JournalChange::PriorityClass, JournalOwner::Restraint, 0x20),
        Entry(11, JournalChange::PriorityBoost, JournalOwner::Restraint, 1),
        Entry(12, JournalChange::Affinity, JournalOwner::CpuLimit, 0xFFFF'FFFF'FFFF'FFFFull, 0x3),
        Entry(13, JournalChange::EfficiencyMode, JournalOwner::Restraint, 0),
        Entry(0xFFFF'FFFF, JournalChange::IoPriority, JournalOwner::Restraint, 2),
    };
    const auto bytes = EncodeJournal(entries);
    EXPECT_EQ(bytes.size(), kJournalHeaderSize + entries.size() * kJournalEntrySize);
    const DecodedJournal decoded = DecodeJournal(bytes);
    EXPECT_EQ(decoded.entries, entries);
    EXPECT_EQ(decoded.dropped, 0u);
    EXPECT_TRUE(DecodeJournal(EncodeJournal({})).entries.empty());
    EXPECT_EQ(DecodeJournal({}).dropped, 0u);
    EXPECT_EQ(DecodeJournal({'x'}).dropped, 1u);
}

TEST_F(RecoveryJournalTest, EachChangeIsWrittenBeforeTheCallReturnsAndTheFirstValueIsKept) {
    RecoveryJournal& journal = RecoveryJournal::Instance();
    // Before an engine begins, nothing is written.
    journal.Record(Entry(20, JournalChange::Affinity, JournalOwner::CpuLimit, 0xFF, 0x7F));
    EXPECT_TRUE(Stored().empty());
    journal.Begin(kValue);
    journal.Record(Entry(20, JournalChange::Affinity, JournalOwner::CpuLimit, 0xFF, 0x7F));
    ASSERT_EQ(Stored().size(), 1u);
    // A second narrowing saved the first one's mask: the mask to put back stays the first.
    journal.Record(Entry(20, JournalChange::Affinity, JournalOwner::CpuLimit, 0x7F, 0x3F));
    ASSERT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Stored()[0].value, 0xFFu);
    EXPECT_EQ(Stored()[0].applied, 0x3Fu);
    // Another owner of the same value has an entry of its own.
    journal.Record(Entry(20, JournalChange::Affinity, JournalOwner::Restraint, 0x3F, 0x3));
    journal.Record(Entry(21, JournalChange::Suspension, JournalOwner::Throttle, 0, 0, 1));
    EXPECT_EQ(Stored().size(), 3u);
    journal.Remove(20, Entry(20, JournalChange::Affinity, JournalOwner::CpuLimit, 0).createTime,
                   JournalChange::Affinity, JournalOwner::CpuLimit);
    EXPECT_EQ(Stored().size(), 2u);
    journal.RemoveProcess(20,
                          Entry(20, JournalChange::Affinity, JournalOwner::CpuLimit, 0).createTime);
    ASSERT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Stored()[0].pid, 21u);
    // A crash's filter drops what the throttles held.
    EXPECT_TRUE(journal.DropSuspensionsAfterCrash());
    EXPECT_FALSE(platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, kValue));
    // A stop with something left keeps it for the next start; an empty one leaves no value.
    journal.Record(Entry(22, JournalChange::IoPriority, JournalOwner::Restraint, 2));
    journal.End();
    EXPECT_EQ(Stored().size(), 1u);
    journal.Begin(kValue);
    journal.End();
    EXPECT_FALSE(platform::ReadRegistryBinary(RegistryRoot::LocalMachine, kJournalKey, kValue));
}

TEST_F(RecoveryJournalTest, ValueNamesKeepTheServiceAndEachSessionApart) {
    EXPECT_EQ(JournalValueName(true, 3), L"ProcessRecoveryJournal");
    EXPECT_EQ(JournalValueName(false, 3), L"ProcessRecoveryJournal.Session3");
    EXPECT_NE(JournalValueName(false, 1), JournalValueName(false, 2));
}

}  // namespace
}  // namespace cv::test
