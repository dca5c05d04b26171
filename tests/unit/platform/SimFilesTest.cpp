// The simulated file system follows the Windows rules the configuration code depends on; the same
// cases run against the real calls in tests/win/FilesWinTest.cpp.
#include <functional>
#include <string>

#include "SimFixture.h"
#include "common/FileCases.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/KernelObjects.h"
#include "platform/sim/SimFiles.h"

namespace cv {
namespace {

using namespace platform;
using namespace std::string_literals;

using test::kShareAll;

class SimFilesTest : public test::SimTest {
  protected:
    void TearDown() override { EXPECT_EQ(sim::OpenFileCount(), 0u); }

    static UniqueHandle Open(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                             FileCreation creation = FileCreation::OpenAlways,
                             std::uint32_t attributes = kFileAttributeNormal) {
        return OpenFile(path, access, share, creation, attributes).handle;
    }
    static std::string ReadAll(RawHandle file) {
        std::string bytes(64, '\0');
        const auto read = ReadFromFile(file, bytes.data(), 64);
        EXPECT_TRUE(read.has_value());
        bytes.resize(read.value_or(0));
        return bytes;
    }
};

void Put(const std::wstring& path, const std::string& bytes) {
    sim::PutFile(path, bytes);
}

TEST_F(SimFilesTest, SharingRules) {
    test::CheckSharingRules(L"C:\\ProgramData\\shared.bin", Put);
}

TEST_F(SimFilesTest, CreationModes) {
    test::CheckCreationModes(L"C:\\ProgramData\\mode.bin", Put, sim::FileBytes);
    // Nothing is created in a missing folder, and a folder is not opened as a file.
    EXPECT_FALSE(Open(L"C:\\Nowhere\\x.bin", kGenericWrite, 0));
    EXPECT_FALSE(PathExists(L"C:\\Nowhere"));
    EXPECT_FALSE(Open(L"C:\\ProgramData", kGenericRead, kShareAll));
    EXPECT_FALSE(Open(L"Q:\\x.bin", kGenericWrite, 0));
}

TEST_F(SimFilesTest, HiddenSystemFileIsOverwrittenOnlyWithTheSameAttributes) {
    const std::wstring lock = L"C:\\ProgramData\\.cv-lock";
    const std::uint32_t lockAttributes =
        kFileAttributeHidden | kFileAttributeSystem | kFileAttributeTemporary;
    ASSERT_TRUE(Open(lock, kGenericWrite, 0, FileCreation::CreateAlways, lockAttributes));
    EXPECT_EQ(sim::FileAttributes(lock), lockAttributes);
    EXPECT_FALSE(Open(lock, kGenericWrite, 0, FileCreation::CreateAlways, kFileAttributeNormal));
    EXPECT_TRUE(Open(lock, kGenericWrite, 0, FileCreation::CreateAlways, lockAttributes));
    EXPECT_TRUE(DeleteFileAt(lock));
}

TEST_F(SimFilesTest, ReadWriteAndEndOfFile) {
    const std::wstring path = L"C:\\ProgramData\\data.bin";
    UniqueHandle file =
        Open(path, kGenericRead | kGenericWrite, kFileShareRead, FileCreation::CreateAlways);
    ASSERT_TRUE(file);
    ASSERT_TRUE(WriteToFile(file.Get(), "hello world", 11));
    EXPECT_EQ(FileSizeLow(file.Get()), 11u);
    EXPECT_EQ(ReadAll(file.Get()), "");  // the position is at the end
    ASSERT_TRUE(SeekToFileStart(file.Get()));
    ASSERT_TRUE(WriteToFile(file.Get(), "HELLO", 5));
    ASSERT_TRUE(SetEndOfFileHere(file.Get()));
    EXPECT_TRUE(FlushFile(file.Get()));
    ASSERT_TRUE(SeekToFileStart(file.Get()));
    EXPECT_EQ(ReadAll(file.Get()), "HELLO");

    // Reading needs read access, writing, flushing and cutting need write access.
    file.Reset();
    UniqueHandle reader = Open(path, kGenericRead, kShareAll);
    UniqueHandle writer = Open(path, kGenericWrite, kShareAll);
    ASSERT_TRUE(reader);
    ASSERT_TRUE(writer);
    char byte = 0;
    EXPECT_FALSE(WriteToFile(reader.Get(), "x", 1));
    EXPECT_FALSE(FlushFile(reader.Get()));
    EXPECT_FALSE(SetEndOfFileHere(reader.Get()));
    EXPECT_FALSE(ReadFromFile(writer.Get(), &byte, 1));
    EXPECT_EQ(sim::FileBytes(path), "HELLO");

    // A closed handle is no file at all.
    const RawHandle closed = reader.Get();
    reader.Reset();
    EXPECT_FALSE(FileSizeLow(closed));
}

TEST_F(SimFilesTest, SizesAndPositions) {
    test::CheckSizesAndPositions(L"C:\\ProgramData\\sizes.bin", sim::FileBytes);
}

TEST_F(SimFilesTest, FullDiskWritesWhatFits) {
    const std::wstring path = L"C:\\ProgramData\\full.bin";
    sim::PutFile(path, "12345678");
    sim::SetFreeSpace(2);
    UniqueHandle file = Open(path, kGenericWrite, 0);
    // Overwriting takes no space; growing takes what is left and then fails.
    EXPECT_TRUE(WriteToFile(file.Get(), "abcdefgh", 8));
    EXPECT_FALSE(WriteToFile(file.Get(), "XYZ", 3));
    EXPECT_EQ(sim::FileBytes(path), "abcdefghXY");
    // Cutting the file gives the space back.
    ASSERT_TRUE(SeekToFileStart(file.Get()));
    ASSERT_TRUE(WriteToFile(file.Get(), "ab", 2));
    ASSERT_TRUE(SetEndOfFileHere(file.Get()));
    EXPECT_TRUE(WriteToFile(file.Get(), "12345678", 8));
    EXPECT_EQ(sim::FileBytes(path), "ab12345678");
}

TEST_F(SimFilesTest, LastWriteTimeFollowsTheClock) {
    const std::wstring path = L"C:\\ProgramData\\time.bin";
    const std::uint64_t created = machine().Now();
    UniqueHandle file = Open(path, kGenericRead | kGenericWrite, 0, FileCreation::CreateNew);
    EXPECT_EQ(FileLastWriteTime(file.Get()), sim::FileTimeAt(created));
    machine().AdvanceClock(1500);
    ASSERT_TRUE(WriteToFile(file.Get(), "x", 1));
    EXPECT_EQ(FileLastWriteTime(file.Get()), sim::FileTimeAt(created + 1500));
    EXPECT_EQ(sim::FileTimeAt(1) - sim::FileTimeAt(0), 10000u);  // milliseconds to 100 ns
    // Reading the times takes read access, as on Windows.
    UniqueHandle writeOnly = Open(path, kGenericWrite, kShareAll);
    file.Reset();
    EXPECT_FALSE(FileLastWriteTime(writeOnly.Get()));
}

TEST_F(SimFilesTest, PathsIgnoreCaseAndSeparators) {
    sim::PutFile(L"C:\\Data\\Corvane\\Corvex.ini", "abc");
    for (const wchar_t* path :
         {L"c:/data/CORVANE/corvex.INI", L"C:\\Data\\\\Corvane\\.\\corvex.ini",
          L"C:\\Data\\Other\\..\\Corvane\\corvex.ini", L"..\\..\\Data\\Corvane\\corvex.ini"}) {
        EXPECT_EQ(sim::FileBytes(path), "abc") << path;
        EXPECT_TRUE(PathExists(path)) << path;
    }
    EXPECT_TRUE(PathExists(L"C:\\"));
    EXPECT_FALSE(PathExists(L"D:\\"));
    sim::AddDrive(L'd', true);
    EXPECT_TRUE(PathExists(L"D:\\"));
    EXPECT_FALSE(PathExists(L"C:\\Data\\a|b"));
    EXPECT_FALSE(PathExists(L"C:relative"));
}

TEST_F(SimFilesTest, DeleteHonoursSharing) {
    const std::wstring path = L"C:\\ProgramData\\gone.bin";
    sim::PutFile(path, "x");
    {
        UniqueHandle open = Open(path, kGenericRead, kFileShareRead | kFileShareWrite);
        EXPECT_FALSE(DeleteFileAt(path));
    }
    {
        UniqueHandle open = Open(path, kGenericRead, kShareAll);
        EXPECT_TRUE(DeleteFileAt(path));
        EXPECT_FALSE(PathExists(path));
        EXPECT_EQ(FileSizeLow(open.Get()), 1u);  // the open handle keeps the content
    }
    EXPECT_FALSE(DeleteFileAt(path));
    EXPECT_FALSE(DeleteFileAt(L"C:\\ProgramData"));
    EXPECT_TRUE(sim::IsFolder(L"C:\\ProgramData"));
}

TEST_F(SimFilesTest, FolderTrees) {
    EXPECT_TRUE(CreateFolderTree(L"C:\\A\\B\\C"));
    EXPECT_TRUE(sim::IsFolder(L"C:\\A\\B"));
    EXPECT_TRUE(sim::IsFolder(L"C:\\A\\B\\C"));
    EXPECT_TRUE(CreateFolderTree(L"c:\\a\\b"));  // already there
    sim::PutFile(L"C:\\A\\file", "x");
    EXPECT_FALSE(CreateFolderTree(L"C:\\A\\file\\sub"));
    EXPECT_FALSE(CreateFolderTree(L"C:\\A\\file"));
    EXPECT_FALSE(CreateFolderTree(L"relative\\folder"));
    EXPECT_FALSE(CreateFolderTree(L"E:\\no-such-drive"));
}

TEST_F(SimFilesTest, MoveFilesAndFolders) {
    sim::PutFile(L"C:\\Roaming\\Corvane\\config\\corvex.ini", "cfg");
    sim::PutFile(L"C:\\Roaming\\Corvane\\config\\sub\\x.txt", "x");
    sim::PutFolder(L"C:\\Local\\Corvane");
    sim::PutFile(L"C:\\Local\\taken", "t");

    EXPECT_FALSE(MovePath(L"C:\\Roaming\\Corvane\\config", L"C:\\Local\\taken"));
    EXPECT_FALSE(MovePath(L"C:\\Roaming\\Corvane\\config", L"C:\\Missing\\config"));
    EXPECT_FALSE(MovePath(L"C:\\Roaming\\Corvane", L"C:\\Roaming\\Corvane\\config\\inner"));
    EXPECT_FALSE(MovePath(L"C:\\Roaming\\nothing", L"C:\\Local\\nothing"));
    {
        // A file open without delete sharing stays put, and so does every folder above it.
        UniqueHandle open = Open(L"C:\\Roaming\\Corvane\\config\\corvex.ini", kGenericRead,
                                 kFileShareRead | kFileShareWrite);
        EXPECT_FALSE(MovePath(L"C:\\Roaming\\Corvane\\config\\corvex.ini", L"C:\\Local\\x.ini"));
        EXPECT_FALSE(MovePath(L"C:\\Roaming\\Corvane\\config", L"C:\\Local\\Corvane\\config"));
    }
    EXPECT_EQ(sim::FileBytes(L"C:\\Roaming\\Corvane\\config\\corvex.ini"), "cfg");

    ASSERT_TRUE(MovePath(L"C:\\Roaming\\Corvane\\config", L"C:\\Local\\Corvane\\config"));
    EXPECT_FALSE(PathExists(L"C:\\Roaming\\Corvane\\config"));
    EXPECT_TRUE(sim::IsFolder(L"C:\\Roaming\\Corvane"));
    EXPECT_EQ(sim::FileBytes(L"C:\\Local\\Corvane\\config\\corvex.ini"), "cfg");
    EXPECT_EQ(sim::FileBytes(L"C:\\Local\\Corvane\\config\\sub\\x.txt"), "x");
    // The moved file is the same file: it can be opened and renamed again.
    EXPECT_TRUE(MovePath(L"C:\\Local\\Corvane\\config\\corvex.ini",
                         L"C:\\Local\\Corvane\\config\\renamed.ini"));
    EXPECT_EQ(sim::FileBytes(L"C:\\Local\\Corvane\\config\\renamed.ini"), "cfg");
}

TEST_F(SimFilesTest, SpecialFoldersAndVolumes) {
    for (const auto folder : {SpecialFolder::CommonAppData, SpecialFolder::LocalAppData,
                              SpecialFolder::RoamingAppData}) {
        const std::wstring path = SpecialFolderPath(folder, false);
        EXPECT_FALSE(path.empty());
        EXPECT_TRUE(sim::IsFolder(path));
    }
    sim::SetSpecialFolder(SpecialFolder::LocalAppData, L"C:\\Users\\Other\\AppData\\Local");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::LocalAppData, false), L"");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::LocalAppData, true),
              L"C:\\Users\\Other\\AppData\\Local");
    EXPECT_TRUE(sim::IsFolder(L"C:\\Users\\Other\\AppData\\Local"));
    sim::SetSpecialFolder(SpecialFolder::CommonAppData, L"");
    EXPECT_EQ(SpecialFolderPath(SpecialFolder::CommonAppData, true), L"");

    sim::AddDrive(L'N', false);
    EXPECT_TRUE(HasVolumeName(L"C:\\"));
    EXPECT_TRUE(HasVolumeName(L"c:\\"));
    EXPECT_FALSE(HasVolumeName(L"C:"));
    EXPECT_FALSE(HasVolumeName(L"N:\\"));  // a mapped network drive
    EXPECT_FALSE(HasVolumeName(L"X:\\"));
    EXPECT_FALSE(HasVolumeName(L"\\\\server\\share\\"));
}

TEST_F(SimFilesTest, QueryPathTellsMissingFromFailed) {
    test::CheckQueryPath(L"C:\\ProgramData", Put);
    sim::PutFile(L"C:\\ProgramData\\file.ini", "x");
    machine().FailCall("GetFileAttributes", L"C:\\ProgramData\\file.ini");
    EXPECT_EQ(QueryPath(L"C:\\ProgramData\\file.ini").kind, PathKind::Unknown);
    EXPECT_EQ(QueryPath(L"C:\\ProgramData\\file.ini").error, 5u);
}

TEST_F(SimFilesTest, RenameReplacing) {
    test::CheckRenameReplacing(L"C:\\ProgramData", Put, sim::FileBytes);
    sim::PutFile(L"C:\\ProgramData\\a", "a");
    sim::AddDrive(L'D', true);
    sim::PutFolder(L"D:\\Other");
    EXPECT_FALSE(RenameFileReplacing(L"C:\\ProgramData\\a", L"D:\\Other\\a"));
}

TEST_F(SimFilesTest, CutWritesStopTheProgramWhereTheyEnd) {
    const std::wstring path = L"C:\\ProgramData\\cut.bin";
    sim::PutFile(L"C:\\ProgramData\\other.bin", "o");
    sim::CutWritesAfter(5);
    {
        UniqueHandle file = Open(path, kGenericWrite, 0, FileCreation::CreateNew);
        ASSERT_TRUE(file);  // one change
        EXPECT_FALSE(WriteToFile(file.Get(), "abcdef", 6));
        EXPECT_TRUE(sim::WritesCut());
        EXPECT_EQ(sim::FileBytes(path), "abcd");
        // Nothing changes any more, and nothing is flushed.
        EXPECT_FALSE(WriteToFile(file.Get(), "x", 1));
        EXPECT_FALSE(SetEndOfFileHere(file.Get()));
        EXPECT_FALSE(FlushFile(file.Get()));
    }
    EXPECT_FALSE(DeleteFileAt(path));
    EXPECT_FALSE(RenameFileReplacing(path, path + L".2"));
    EXPECT_FALSE(MovePath(path, path + L".2"));
    EXPECT_FALSE(CreateFolderTree(L"C:\\ProgramData\\New"));
    EXPECT_FALSE(Open(L"C:\\ProgramData\\new.bin", kGenericWrite, 0));
    EXPECT_FALSE(Open(L"C:\\ProgramData\\other.bin", kGenericWrite, 0, FileCreation::CreateAlways));
    EXPECT_TRUE(Open(path, kGenericRead, kShareAll, FileCreation::OpenExisting));
    EXPECT_EQ(sim::WriteChangesMade(), 5u);

    sim::CutWritesAfter(std::nullopt);
    EXPECT_FALSE(sim::WritesCut());
    EXPECT_TRUE(DeleteFileAt(path));
    EXPECT_TRUE(CreateFolderTree(L"C:\\ProgramData\\New"));
    EXPECT_EQ(sim::WriteChangesMade(), 2u);
}

TEST_F(SimFilesTest, PowerLossKeepsWhatWasFlushed) {
    const std::wstring flushed = L"C:\\ProgramData\\flushed.bin";
    const std::wstring unflushed = L"C:\\ProgramData\\unflushed.bin";
    const std::wstring fresh = L"C:\\ProgramData\\fresh.bin";
    sim::PutFile(flushed, "old");
    sim::PutFile(unflushed, "old");
    {
        UniqueHandle a = Open(flushed, kGenericWrite, 0);
        UniqueHandle b = Open(unflushed, kGenericWrite, 0);
        UniqueHandle c = Open(fresh, kGenericWrite, 0, FileCreation::CreateNew);
        ASSERT_TRUE(WriteToFile(a.Get(), "new!", 4));
        ASSERT_TRUE(FlushFile(a.Get()));
        ASSERT_TRUE(WriteToFile(a.Get(), "lost", 4));
        ASSERT_TRUE(WriteToFile(b.Get(), "x", 1));
        ASSERT_TRUE(SetEndOfFileHere(b.Get()));
        ASSERT_TRUE(WriteToFile(c.Get(), "lost", 4));
    }
    ASSERT_TRUE(RenameFileReplacing(fresh, fresh + L".renamed"));
    sim::CutWritesAfter(0);
    sim::LosePower();
    EXPECT_FALSE(sim::WritesCut());
    EXPECT_EQ(sim::FileBytes(flushed), "new!");
    EXPECT_EQ(sim::FileBytes(unflushed), "old");
    EXPECT_EQ(sim::FileBytes(fresh + L".renamed"), "");  // created and renamed, never flushed
    EXPECT_TRUE(DeleteFileAt(flushed));                  // the cut is over
}

TEST_F(SimFilesTest, FolderWatchesSeeTheChangesTheyAskFor) {
    const std::wstring folder = L"C:\\ProgramData\\Watched";
    sim::PutFile(folder + L"\\corvex.ini", "x");
    const FolderWatch writes = WatchFolderForWrites(folder);
    const FolderWatch files = WatchFolderForFileChanges(folder);
    const struct {
        const char* name;
        std::function<bool()> change;
        bool writeSeen;
        bool fileSeen;
    } cases[] = {
        {"rewritten",
         [&] {
             sim::PutFile(folder + L"\\corvex.ini", "y");
             return true;
         },
         true, true},
        {"renamed", [&] { return MovePath(folder + L"\\corvex.ini", folder + L"\\a.ini"); }, false,
         true},
        {"replaced by a rename",
         [&] {
             sim::PutFile(L"C:\\ProgramData\\b.ini", "b");
             return RenameFileReplacing(L"C:\\ProgramData\\b.ini", folder + L"\\a.ini");
         },
         false, true},
        {"deleted", [&] { return DeleteFileAt(folder + L"\\a.ini"); }, false, true},
        {"created", [&] { return Open(folder + L"\\new.ini", kGenericWrite, 0).IsValid(); }, true,
         true},
        {"another folder",
         [&] {
             sim::PutFile(L"C:\\ProgramData\\c.ini", "c");
             return DeleteFileAt(L"C:\\ProgramData\\c.ini");
         },
         false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ContinueFolderWatch(writes));
        ASSERT_TRUE(ContinueFolderWatch(files));
        ASSERT_TRUE(c.change());
        EXPECT_EQ(IsSignalled(writes.Get()), c.writeSeen);
        EXPECT_EQ(IsSignalled(files.Get()), c.fileSeen);
    }
}

TEST(SimAnsi, Windows1252) {
    const struct {
        std::string bytes;
        std::wstring text;
    } cases[] = {
        {"", L""},
        {"plain text", L"plain text"},
        {"\x80\x81\x8A\x9F", L"\u20AC\u0081\u0160\u0178"},
        {"\xA0\xE9\xFF", L"\u00A0\u00E9\u00FF"},
        {"a\0b"s, std::wstring(L"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiToWide(c.bytes), c.text);
    }
}

}  // namespace
}  // namespace cv
