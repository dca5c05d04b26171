// Reading corvex.ini with reasons, and saves cut short at every point by a kill or a power loss.
#include <optional>
#include <set>
#include <string>

#include "SimFixture.h"
#include "config/ConfigFile.h"
#include "platform/Files.h"
#include "platform/sim/SimFiles.h"

namespace cv {
namespace {

using namespace std::string_literals;

const std::wstring kFolder = L"C:\\Cfg";
const std::wstring kPath = L"C:\\Cfg\\corvex.ini";
const std::wstring kSide = kPath + kSaveSideSuffix;
const std::wstring kPartial = kPath + kPartialSideSuffix;

class ConfigFileSaveTest : public test::SimTest {
  protected:
    void SetUp() override {
        test::SimTest::SetUp();
        sim::PutFolder(kFolder);
    }
    void TearDown() override { EXPECT_EQ(sim::OpenFileCount(), 0u); }

    static void Remove(const std::wstring& path) {
        if (platform::QueryPath(path).kind == platform::PathKind::File) {
            ASSERT_TRUE(platform::DeleteFileAt(path));
        }
    }
    static void Start(const std::optional<std::string>& old) {
        for (const auto& path : {kPath, kSide, kPartial}) {
            Remove(path);
        }
        if (old) {
            sim::PutFile(kPath, *old);
        }
    }
    static bool SideFilesLeft() {
        return sim::FileBytes(kSide).has_value() || sim::FileBytes(kPartial).has_value();
    }
};

// Where the cut fell, as the folder shows it afterwards.
enum class Phase { BeforeSideFile, InSideFile, SideFileComplete, InRewrite, Rewritten };

const char* PhaseName(Phase phase) {
    switch (phase) {
        case Phase::BeforeSideFile:
            return "before the side file";
        case Phase::InSideFile:
            return "inside the side file";
        case Phase::SideFileComplete:
            return "after the rename, before the rewrite";
        case Phase::InRewrite:
            return "inside the in-place rewrite";
        case Phase::Rewritten:
            return "after the rewrite, before the side file is deleted";
    }
    return "";
}

Phase PhaseAfterCut(const std::optional<std::string>& old, const std::string& next) {
    const auto current = sim::FileBytes(kPath);
    if (sim::FileBytes(kPartial)) {
        return Phase::InSideFile;
    }
    if (!sim::FileBytes(kSide)) {
        return Phase::BeforeSideFile;
    }
    if (current == next) {
        return Phase::Rewritten;
    }
    return current == old ? Phase::SideFileComplete : Phase::InRewrite;
}

TEST_F(ConfigFileSaveTest, SaveCutShortAtAnyPointLeavesTheOldOrTheNewContent) {
    const std::string ansi = "UpdateSpeedCore=2000\r\nDisallowedProcesses=bad.exe\r\n";
    const std::string wide = "\xFF\xFEU\0p\0=\0001\0\r\0\n\0"s;
    const struct {
        const char* name;
        std::optional<std::string> old;
        std::string next;
        bool powerLoss;
    } cases[] = {
        {"killed, longer new content", "a=1\r\n", ansi, false},
        {"killed, shorter new content", ansi, wide, false},
        {"killed, first save", std::nullopt, ansi, false},
        {"power lost, longer new content", "a=1\r\n", ansi, true},
        {"power lost, shorter new content", ansi, wide, true},
        {"power lost, first save", std::nullopt, wide, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.old);
        sim::CutWritesAfter(std::nullopt);
        ASSERT_TRUE(SaveConfigFileBytes(kPath, c.next));
        const std::uint64_t changes = sim::WriteChangesMade();
        ASSERT_FALSE(SideFilesLeft());

        std::set<Phase> phases;
        bool newSeen = false;
        for (std::uint64_t cut = 0; cut <= changes; ++cut) {
            SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(changes));
            Start(c.old);
            sim::CutWritesAfter(cut);
            const bool saved = SaveConfigFileBytes(kPath, c.next);
            const Phase phase = PhaseAfterCut(c.old, c.next);
            // A save that says it succeeded has put the new content in place.
            EXPECT_TRUE(!saved || phase == Phase::Rewritten || cut == changes) << PhaseName(phase);
            phases.insert(phase);
            if (c.powerLoss) {
                sim::LosePower();
            } else {
                sim::CutWritesAfter(std::nullopt);
            }
            const InterruptedSave outcome = FinishInterruptedSave(kPath);
            EXPECT_NE(outcome, InterruptedSave::Unfinished) << PhaseName(phase);
            EXPECT_NE(outcome, InterruptedSave::Superseded) << PhaseName(phase);
            const auto bytes = sim::FileBytes(kPath);
            const bool isNew = bytes == c.next;
            EXPECT_TRUE(isNew || bytes == c.old) << PhaseName(phase);
            // Once the new content is sure, every later cut leaves it too.
            EXPECT_FALSE(newSeen && !isNew) << PhaseName(phase);
            newSeen = newSeen || isNew;
            EXPECT_FALSE(SideFilesLeft()) << PhaseName(phase);
        }
        EXPECT_EQ(phases.size(), 5u);  // every phase was cut into
    }
}

TEST_F(ConfigFileSaveTest, FailedSaveKeepsTheOldContentAndLeavesNoSideFile) {
    const std::string old = "UpdateSpeedCore=2000\r\n";
    const std::string next = "UpdateSpeedCore=3000\r\nMore=yes\r\n";
    const struct {
        const char* name;
        bool oldFile;
        std::function<void()> fault;
    } cases[] = {
        {"side file cannot be created", true,
         [] { sim::Machine::Get().FailCall("CreateFile", kPartial); }},
        {"side file cannot be flushed", true,
         [] { sim::Machine::Get().FailCall("FlushFileBuffers", kPartial); }},
        {"side file cannot be renamed", true,
         [] { sim::Machine::Get().FailCall("MoveFileEx", kPartial); }},
        {"in-place write fails", true, [] { sim::Machine::Get().FailCall("WriteFile", kPath, 1); }},
        {"in-place write fails on a first save", false,
         [] { sim::Machine::Get().FailCall("WriteFile", kPath, 1); }},
        {"in-place flush fails", true,
         [] { sim::Machine::Get().FailCall("FlushFileBuffers", kPath, 1); }},
        {"disk full", true, [] { sim::SetFreeSpace(40); }},
        {"another program writes the file", true,
         [] { sim::HoldFileOpen(kPath, platform::kGenericWrite, 0, 100000); }},
        {"the file cannot be looked at", true,
         [] { sim::Machine::Get().FailCall("GetFileAttributes", kPath); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        sim::PutFolder(kFolder);
        if (c.oldFile) {
            sim::PutFile(kPath, old);
        }
        c.fault();
        EXPECT_FALSE(SaveConfigFileBytes(kPath, next));
        machine().ClearFailures();
        sim::SetFreeSpace(std::nullopt);
        // Never an empty file in place of a missing one, never a side file that a later load
        // would finish.
        EXPECT_EQ(sim::FileBytes(kPath),
                  c.oldFile ? std::optional<std::string>(old) : std::nullopt);
        EXPECT_FALSE(SideFilesLeft());
        machine().AdvanceClock(200000);  // ends the hold
    }
}

TEST_F(ConfigFileSaveTest, SaveCutShortIsDroppedWhenAnotherProgramRewroteTheFile) {
    const std::string old = "UpdateSpeedCore=2000\r\nDisallowedProcesses=bad.exe\r\n";
    const std::string next = "UpdateSpeedCore=3000\r\nDisallowedProcesses=bad.exe\r\n";
    const std::string theirs = "UpdateSpeedCore=2000\r\nDisallowedProcesses=worse.exe\r\n";
    sim::PutFile(kPath, old);
    sim::CutWritesAfter(std::nullopt);
    ASSERT_TRUE(SaveConfigFileBytes(kPath, next));
    const std::uint64_t changes = sim::WriteChangesMade();
    sim::PutFile(kPath, old);
    // Cut inside the in-place rewrite; the user interface then saves its own content.
    sim::CutWritesAfter(changes - 5);
    EXPECT_FALSE(SaveConfigFileBytes(kPath, next));
    sim::CutWritesAfter(std::nullopt);
    ASSERT_TRUE(sim::FileBytes(kSide).has_value());
    sim::PutFile(kPath, theirs);
    EXPECT_EQ(FinishInterruptedSave(kPath), InterruptedSave::Superseded);
    EXPECT_EQ(sim::FileBytes(kPath), theirs);
    EXPECT_FALSE(SideFilesLeft());
}

TEST_F(ConfigFileSaveTest, InterruptedSaveWaitsWhileTheFileIsHeld) {
    sim::PutFile(kPath, "a=1\r\n");
    sim::CutWritesAfter(std::nullopt);
    ASSERT_TRUE(SaveConfigFileBytes(kPath, "a=2\r\n"));
    const std::uint64_t changes = sim::WriteChangesMade();
    sim::PutFile(kPath, "a=1\r\n");
    sim::CutWritesAfter(changes - 3);  // the rewrite is cut short
    EXPECT_FALSE(SaveConfigFileBytes(kPath, "a=2\r\n"));
    sim::CutWritesAfter(std::nullopt);
    sim::HoldFileOpen(kPath, platform::kGenericRead, platform::kFileShareRead, 10000);
    EXPECT_EQ(FinishInterruptedSave(kPath), InterruptedSave::Unfinished);
    EXPECT_TRUE(sim::FileBytes(kSide).has_value());
    machine().AdvanceClock(10000);
    EXPECT_EQ(FinishInterruptedSave(kPath), InterruptedSave::Finished);
    EXPECT_EQ(sim::FileBytes(kPath), "a=2\r\n");
    EXPECT_FALSE(SideFilesLeft());
}

TEST_F(ConfigFileSaveTest, DamagedSideFileIsNeverCopiedIn) {
    const struct {
        const char* name;
        std::string side;
    } cases[] = {
        {"empty", ""},
        {"nothing but NUL bytes", std::string(64, '\0')},
        {"plain text", "UpdateSpeedCore=1\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::PutFile(kPath, "a=1\r\n");
        sim::PutFile(kSide, c.side);
        sim::PutFile(kPartial, "leftover");
        EXPECT_EQ(FinishInterruptedSave(kPath), InterruptedSave::None);
        EXPECT_EQ(sim::FileBytes(kPath), "a=1\r\n");
        EXPECT_FALSE(SideFilesLeft());
    }
}

TEST_F(ConfigFileSaveTest, ReadTellsWhyItFailed) {
    const struct {
        const char* name;
        std::function<void()> arrange;
        ConfigReadStatus status;
        const wchar_t* reason;
    } cases[] = {
        {"text", [] { sim::PutFile(kPath, "a=1"); }, ConfigReadStatus::Read, L""},
        {"missing", [] {}, ConfigReadStatus::NotFound, L""},
        {"missing folder", [] { sim::Machine::Get().Reset(); }, ConfigReadStatus::NotFound, L""},
        {"a folder", [] { sim::PutFolder(kPath); }, ConfigReadStatus::Folder,
         L"a folder has its name"},
        {"look-up fails",
         [] {
             sim::PutFile(kPath, "a=1");
             sim::Machine::Get().FailCall("GetFileAttributes", kPath);
         },
         ConfigReadStatus::Failed, L"looking for it failed with error 5"},
        {"held without read sharing",
         [] {
             sim::PutFile(kPath, "a=1");
             sim::HoldFileOpen(kPath, platform::kGenericWrite, 0, 100000);
         },
         ConfigReadStatus::Failed, L"another program holds it open"},
        {"read fails",
         [] {
             sim::PutFile(kPath, "a=1");
             sim::Machine::Get().FailCall("ReadFile", kPath);
         },
         ConfigReadStatus::Failed, L"reading it failed"},
        {"empty", [] { sim::PutFile(kPath, ""); }, ConfigReadStatus::NoContent, L"it is empty"},
        {"NUL bytes", [] { sim::PutFile(kPath, std::string(4096, '\0')); },
         ConfigReadStatus::NoContent, L"it holds nothing but NUL bytes"},
        {"byte-order mark and NUL bytes", [] { sim::PutFile(kPath, "\xFF\xFE\0\0\0\0"s); },
         ConfigReadStatus::NoContent, L"it holds nothing but NUL bytes"},
        {"UTF-8 mark and NUL bytes", [] { sim::PutFile(kPath, "\xEF\xBB\xBF\0"s); },
         ConfigReadStatus::NoContent, L"it holds nothing but NUL bytes"},
        {"UTF-8 mark alone", [] { sim::PutFile(kPath, "\xEF\xBB\xBF"); },
         ConfigReadStatus::NoContent, L"it holds nothing but a byte-order mark"},
        {"16 MB", [] { sim::PutFile(kPath, "a=1\r\n" + std::string((16u << 20) - 5, ';')); },
         ConfigReadStatus::Read, L""},
        {"over 16 MB", [] { sim::PutFile(kPath, std::string((16u << 20) + 1, 'a')); },
         ConfigReadStatus::TooLarge,
         L"it has 16777217 bytes, more than the 16777216 this program reads"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().Reset();
        sim::PutFolder(kFolder);
        c.arrange();
        const ConfigFileRead read = ReadConfigFileBytes(kPath);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(read.reason, c.reason);
        EXPECT_EQ(read.bytes.empty(), c.status != ConfigReadStatus::Read);
    }
    machine().Reset();
}

}  // namespace
}  // namespace cv
