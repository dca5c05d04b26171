// The real file calls, in a throw-away folder under the temp folder. The cases mirror
// tests/unit/platform/SimFilesTest.cpp, so the simulated file system is held to what Windows does.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "common/FileCases.h"
#include "config/ConfigDocument.h"
#include "config/ConfigFile.h"
#include "config/ConfigSettings.h"
#include "config/ConfigStorage.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/KernelObjects.h"
#include "platform/System.h"

namespace cv::platform {
namespace {

using namespace std::string_literals;

using test::kShareAll;

class FilesWinTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::error_code error;
        root_ = std::filesystem::temp_directory_path(error) /
                (L"cv-files-" + std::to_wstring(OwnProcessId()));
        ASSERT_FALSE(error);
        std::filesystem::remove_all(root_, error);
        ASSERT_TRUE(CreateFolderTree(root_.wstring()));
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(root_, error);
        EXPECT_FALSE(std::filesystem::exists(root_, error));
    }

    std::wstring Path(const std::wstring& name) const { return (root_ / name).wstring(); }

    static UniqueHandle Open(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                             FileCreation creation = FileCreation::OpenAlways,
                             std::uint32_t attributes = kFileAttributeNormal) {
        return OpenFile(path, access, share, creation, attributes).handle;
    }
    static void Put(const std::wstring& path, const std::string& bytes) {
        UniqueHandle file = Open(path, kGenericWrite, 0, FileCreation::CreateAlways);
        ASSERT_TRUE(file);
        ASSERT_TRUE(
            WriteToFile(file.Get(), bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    }
    static std::optional<std::string> Bytes(const std::wstring& path) {
        UniqueHandle file = Open(path, kGenericRead, kShareAll, FileCreation::OpenExisting);
        const auto size = file ? FileSizeLow(file.Get()) : std::nullopt;
        if (!size) {
            return std::nullopt;
        }
        std::string bytes(*size, '\0');
        const auto read = ReadFromFile(file.Get(), bytes.data(), *size);
        if (!read || *read != *size) {
            return std::nullopt;
        }
        return bytes;
    }

    std::filesystem::path root_;
};

TEST_F(FilesWinTest, SharingRules) {
    test::CheckSharingRules(Path(L"shared.bin"), Put);
}

TEST_F(FilesWinTest, CreationModes) {
    test::CheckCreationModes(Path(L"mode.bin"), Put, Bytes);
    EXPECT_FALSE(Open(Path(L"Nowhere\\x.bin"), kGenericWrite, 0));
    EXPECT_FALSE(PathExists(Path(L"Nowhere")));
    EXPECT_FALSE(Open(root_.wstring(), kGenericRead, kShareAll));
}

TEST_F(FilesWinTest, HiddenSystemFileIsOverwrittenOnlyWithTheSameAttributes) {
    const std::wstring lock = Path(L".cv-lock");
    const std::uint32_t lockAttributes =
        kFileAttributeHidden | kFileAttributeSystem | kFileAttributeTemporary;
    ASSERT_TRUE(Open(lock, kGenericWrite, 0, FileCreation::CreateAlways, lockAttributes));
    // Windows also refuses the overwrite with plain attributes; Wine 8 allows it, so that half
    // is checked on the simulated machine only.
    EXPECT_TRUE(Open(lock, kGenericWrite, 0, FileCreation::CreateAlways, lockAttributes));
    EXPECT_TRUE(DeleteFileAt(lock));
    EXPECT_FALSE(PathExists(lock));
}

TEST_F(FilesWinTest, ReadWriteAndEndOfFile) {
    const std::wstring path = Path(L"data.bin");
    UniqueHandle file =
        Open(path, kGenericRead | kGenericWrite, kFileShareRead, FileCreation::CreateAlways);
    ASSERT_TRUE(file);
    ASSERT_TRUE(WriteToFile(file.Get(), "hello world", 11));
    EXPECT_EQ(FileSizeLow(file.Get()), 11u);
    char buffer[16] = {};
    EXPECT_EQ(ReadFromFile(file.Get(), buffer, 16), 0u);  // the position is at the end
    ASSERT_TRUE(SeekToFileStart(file.Get()));
    ASSERT_TRUE(WriteToFile(file.Get(), "HELLO", 5));
    ASSERT_TRUE(SetEndOfFileHere(file.Get()));
    EXPECT_TRUE(FlushFile(file.Get()));
    ASSERT_TRUE(SeekToFileStart(file.Get()));
    EXPECT_EQ(ReadFromFile(file.Get(), buffer, 16), 5u);
    EXPECT_EQ(std::string(buffer, 5), "HELLO");
    const auto written = FileLastWriteTime(file.Get());
    ASSERT_TRUE(written.has_value());
    EXPECT_GT(*written, 130000000000000000u);  // after 2012

    file.Reset();
    UniqueHandle reader = Open(path, kGenericRead, kShareAll);
    UniqueHandle writer = Open(path, kGenericWrite, kShareAll);
    ASSERT_TRUE(reader);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(WriteToFile(reader.Get(), "x", 1));
    EXPECT_FALSE(FlushFile(reader.Get()));
    EXPECT_FALSE(SetEndOfFileHere(reader.Get()));
    EXPECT_FALSE(ReadFromFile(writer.Get(), buffer, 1));
    // Windows documents that the times need read access; Wine 8 gives them to a writer too.
    EXPECT_EQ(FileLastWriteTime(reader.Get()), written);
}

TEST_F(FilesWinTest, SizesAndPositions) {
    test::CheckSizesAndPositions(Path(L"sizes.bin"), Bytes);
}

TEST_F(FilesWinTest, DeleteHonoursSharing) {
    const std::wstring path = Path(L"gone.bin");
    Put(path, "x");
    {
        UniqueHandle open = Open(path, kGenericRead, kFileShareRead | kFileShareWrite);
        ASSERT_TRUE(open);
        EXPECT_FALSE(DeleteFileAt(path));
    }
    {
        UniqueHandle open = Open(path, kGenericRead, kShareAll);
        ASSERT_TRUE(open);
        EXPECT_TRUE(DeleteFileAt(path));
        EXPECT_EQ(FileSizeLow(open.Get()), 1u);
    }
    EXPECT_FALSE(PathExists(path));
    EXPECT_FALSE(DeleteFileAt(path));
    EXPECT_FALSE(DeleteFileAt(root_.wstring()));
    EXPECT_TRUE(PathExists(root_.wstring()));
}

TEST_F(FilesWinTest, FolderTrees) {
    EXPECT_TRUE(CreateFolderTree(Path(L"A\\B\\C")));
    EXPECT_TRUE(PathExists(Path(L"A\\B\\C")));
    EXPECT_TRUE(CreateFolderTree(Path(L"a\\b")));  // already there, in another case
    Put(Path(L"A\\file"), "x");
    EXPECT_FALSE(CreateFolderTree(Path(L"A\\file\\sub")));
    EXPECT_FALSE(CreateFolderTree(Path(L"A\\file")));
    EXPECT_FALSE(CreateFolderTree(L"relative\\folder"));
    EXPECT_FALSE(PathExists(L"relative"));
}

// The descriptor the service gives its folders is accepted, and the folders read back with it.
// Wine 8 keeps no descriptor of a file's own: it maps the one given to the Unix permission bits
// and reads back its user as the owner, with the grants those bits allow. So under Wine the test
// holds the grants to nobody else being let in; on Windows, to the descriptor as given.
TEST_F(FilesWinTest, FoldersMadeForAdministratorsOnly) {
    const std::wstring folder = Path(L"Corvane\\config");
    ASSERT_TRUE(CreateFolderTree(folder, FolderSecurity::AdministratorsOnly));
    for (const std::wstring& made : {Path(L"Corvane"), folder}) {
        SCOPED_TRACE(std::string(made.begin(), made.end()));
        ASSERT_EQ(QueryPath(made).kind, PathKind::Folder);
        const auto security = ReadPathSecurity(made);
        ASSERT_TRUE(security);
        if (security->owner == kSidAdministrators) {
            EXPECT_EQ(*security, AdministratorsOnlySecurity());
            EXPECT_FALSE(FindOutsideWriter(*security));
        }
        for (const AccessGrant& grant : security->grants) {
            const bool reads = (grant.mask & kChangingAccess) == 0;
            EXPECT_TRUE(IsAdministrativeAccount(grant.account) ||
                        grant.account == security->owner || (grant.account == kSidUsers && reads))
                << std::string(grant.account.begin(), grant.account.end());
        }
    }
    // There already: nothing to do. A file in the way, or a relative path, fails.
    EXPECT_TRUE(CreateFolderTree(folder, FolderSecurity::AdministratorsOnly));
    Put(Path(L"file"), "x");
    EXPECT_FALSE(CreateFolderTree(Path(L"file\\sub"), FolderSecurity::AdministratorsOnly));
    EXPECT_FALSE(CreateFolderTree(L"relative\\folder", FolderSecurity::AdministratorsOnly));
    EXPECT_FALSE(ReadPathSecurity(Path(L"missing")));
}

TEST_F(FilesWinTest, MoveFilesAndFolders) {
    ASSERT_TRUE(CreateFolderTree(Path(L"Roaming\\Corvane\\config\\sub")));
    Put(Path(L"Roaming\\Corvane\\config\\corvex.ini"), "cfg");
    Put(Path(L"Roaming\\Corvane\\config\\sub\\x.txt"), "x");
    ASSERT_TRUE(CreateFolderTree(Path(L"Local\\Corvane")));
    Put(Path(L"Local\\taken"), "t");

    EXPECT_FALSE(MovePath(Path(L"Roaming\\Corvane\\config"), Path(L"Local\\taken")));
    EXPECT_FALSE(MovePath(Path(L"Roaming\\Corvane\\config"), Path(L"Missing\\config")));
    EXPECT_FALSE(MovePath(Path(L"Roaming\\Corvane"), Path(L"Roaming\\Corvane\\config\\inner")));
    EXPECT_FALSE(MovePath(Path(L"Roaming\\nothing"), Path(L"Local\\nothing")));
    {
        // NTFS would also refuse to move the folder above the open file; Wine 8 does not check.
        UniqueHandle open = Open(Path(L"Roaming\\Corvane\\config\\corvex.ini"), kGenericRead,
                                 kFileShareRead | kFileShareWrite);
        ASSERT_TRUE(open);
        EXPECT_FALSE(
            MovePath(Path(L"Roaming\\Corvane\\config\\corvex.ini"), Path(L"Local\\x.ini")));
    }
    EXPECT_EQ(Bytes(Path(L"Roaming\\Corvane\\config\\corvex.ini")), "cfg");

    ASSERT_TRUE(MovePath(Path(L"Roaming\\Corvane\\config"), Path(L"Local\\Corvane\\config")));
    EXPECT_FALSE(PathExists(Path(L"Roaming\\Corvane\\config")));
    EXPECT_TRUE(PathExists(Path(L"Roaming\\Corvane")));
    EXPECT_EQ(Bytes(Path(L"Local\\Corvane\\config\\corvex.ini")), "cfg");
    EXPECT_EQ(Bytes(Path(L"Local\\Corvane\\config\\sub\\x.txt")), "x");
    EXPECT_TRUE(MovePath(Path(L"Local\\Corvane\\config\\corvex.ini"),
                         Path(L"Local\\Corvane\\config\\renamed.ini")));
    EXPECT_EQ(Bytes(Path(L"Local\\Corvane\\config\\renamed.ini")), "cfg");
}

TEST_F(FilesWinTest, SpecialFoldersVolumesAndAnsi) {
    for (const auto folder : {SpecialFolder::CommonAppData, SpecialFolder::LocalAppData,
                              SpecialFolder::RoamingAppData}) {
        const std::wstring path = SpecialFolderPath(folder, true);
        EXPECT_FALSE(path.empty());
        EXPECT_TRUE(PathExists(path)) << std::filesystem::path(path).string();
    }
    EXPECT_NE(SpecialFolderPath(SpecialFolder::LocalAppData, false),
              SpecialFolderPath(SpecialFolder::RoamingAppData, false));

    EXPECT_TRUE(HasVolumeName(L"C:\\"));
    EXPECT_FALSE(HasVolumeName(L"C:"));
    for (wchar_t letter = L'M'; letter <= L'Y'; ++letter) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        if (!PathExists(root)) {
            EXPECT_FALSE(HasVolumeName(root)) << static_cast<char>(letter);
            break;
        }
    }

    EXPECT_EQ(AnsiToWide("plain text"), L"plain text");
    EXPECT_EQ(AnsiToWide("a\0b"s), std::wstring(L"a\0b", 3));
    EXPECT_EQ(AnsiToWide(""), L"");
}

TEST_F(FilesWinTest, ConfigDocumentRoundTrip) {
    ConfigDocument document;
    AddEntry(document, L"Global", L" UpdateSpeedCore ", L"1000");
    AddEntry(document, L"Global", L"Name", L"Caf\u00E9 \u20AC");
    AddEntry(document, L"Logging", L"LogDisable", L"false");
    const std::wstring path = Path(L"config\\corvex.ini");
    ASSERT_TRUE(CreateFolderTree(Path(L"config")));
    Put(path, std::string(6000, 'x'));  // longer than what replaces it

    ASSERT_TRUE(WriteConfigFile(path, document));
    EXPECT_EQ(Bytes(path), RenderConfigBytes(document));
    ConfigDocument readBack;
    ASSERT_TRUE(ReadConfigFile(path, readBack));
    EXPECT_EQ(GetConfigInt(L"Global", L"updatespeedcore", 0, readBack), 1000);
    EXPECT_EQ(GetConfigString(L"Global", L"Name", nullptr, readBack), L"Caf\u00E9 \u20AC");
    EXPECT_FALSE(GetConfigBool(L"Logging", L"LogDisable", true, readBack));

    // A missing folder is created once the retries are over.
    ConfigDocument empty;
    ASSERT_TRUE(ReadConfigFile(Path(L"new\\deep\\corvex.ini"), empty));
    EXPECT_EQ(Bytes(Path(L"new\\deep\\corvex.ini")), "");
}

TEST_F(FilesWinTest, QueryPathRenameAndWholeSize) {
    test::CheckQueryPath(root_.wstring(), Put);
    EXPECT_EQ(QueryPath(Path(L"a|b")).kind, PathKind::Unknown);  // an invalid name is no answer
    test::CheckRenameReplacing(root_.wstring(), Put, Bytes);

    const std::wstring path = Path(L"size.bin");
    Put(path, std::string(70000, 'x'));
    UniqueHandle file = Open(path, kGenericRead, kShareAll, FileCreation::OpenExisting);
    EXPECT_EQ(FileSize(file.Get()), 70000u);
}

TEST_F(FilesWinTest, FolderWatchSeesWritesAndFileNameChanges) {
    const std::wstring path = Path(L"corvex.ini");
    Put(path, "x");
    const FolderWatch files = WatchFolderForFileChanges(root_.wstring());
    ASSERT_TRUE(files);
    const struct {
        const char* name;
        std::function<bool()> change;
    } changes[] = {
        {"rewritten",
         [&] {
             UniqueHandle file = Open(path, kGenericWrite, kFileShareRead);
             return file && WriteToFile(file.Get(), "yy", 2) && FlushFile(file.Get());
         }},
        {"renamed", [&] { return MovePath(path, path + L".old"); }},
        {"replaced by a rename",
         [&] {
             Put(path, "z");
             return RenameFileReplacing(path, path + L".old");
         }},
        {"deleted", [&] { return DeleteFileAt(path + L".old"); }},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.change());
        EXPECT_EQ(WaitForObject(files.Get(), 5000), WaitResult::Signalled);
        // Let the burst of notifications settle before the next change.
        while (ContinueFolderWatch(files) &&
               WaitForObject(files.Get(), 200) == WaitResult::Signalled) {
        }
    }
}

TEST_F(FilesWinTest, ConfigurationSaveThroughTheSideFile) {
    const std::wstring path = Path(L"corvex.ini");
    const std::string next = "\xFF\xFEU\0=\0001\0\r\0\n\0"s;
    ASSERT_TRUE(SaveConfigFileBytes(path, next));  // a first save creates the file
    EXPECT_EQ(Bytes(path), next);
    Put(path, std::string(6000, 'x'));  // longer than what replaces it
    ASSERT_TRUE(SaveConfigFileBytes(path, next));
    EXPECT_EQ(Bytes(path), next);
    EXPECT_FALSE(HasSaveSideFiles(path));

    // What a save cut short inside the side file leaves is thrown away.
    Put(path + kPartialSideSuffix, "partial");
    EXPECT_TRUE(HasSaveSideFiles(path));
    EXPECT_EQ(FinishInterruptedSave(path), InterruptedSave::None);
    EXPECT_FALSE(HasSaveSideFiles(path));
    EXPECT_EQ(Bytes(path), next);

    // Another program writing the file makes the save fail without touching it.
    {
        UniqueHandle writer = Open(path, kGenericWrite, 0);
        ASSERT_TRUE(writer);
        EXPECT_FALSE(SaveConfigFileBytes(path, "\xFF\xFEx\0"s));
    }
    EXPECT_EQ(Bytes(path), next);
    EXPECT_FALSE(HasSaveSideFiles(path));
}

TEST_F(FilesWinTest, HeldConfigurationKeepsTheSettingsUntilReleased) {
    ConfigDocument document;
    AddEntry(document, L"Performance", L"UpdateSpeedCore", L"2000");
    AddEntry(document, L"ProcessAllowances", L"DisallowedProcesses", L"bad.exe");
    const std::wstring path = Path(L"corvex.ini");
    Put(path, RenderConfigBytes(document));
    ConfigSettings settings;
    ConfigStorage storage(settings);
    storage.SetFolderOverride(root_.wstring());
    ASSERT_EQ(storage.LoadConfig(false).code, kConfigLoaded);
    ASSERT_EQ(settings.ProcessAllowances.DisallowedProcesses.size(), 1u);
    {
        UniqueHandle writer = Open(path, kGenericWrite, 0);
        ASSERT_TRUE(writer);
        const ConfigLoadResult held = storage.LoadConfig(true);
        EXPECT_FALSE(held.ok);
        EXPECT_EQ(held.code, kConfigUnreadable);
        EXPECT_EQ(held.reason, L"another program holds it open");
        EXPECT_EQ(settings.Performance.UpdateSpeedCore, 2000);
        EXPECT_EQ(settings.ProcessAllowances.DisallowedProcesses.size(), 1u);
        EXPECT_TRUE(storage.IsRetryDue());
    }
    const ConfigLoadResult released = storage.LoadConfig(false);
    EXPECT_TRUE(released.ok);
    EXPECT_EQ(released.code, kConfigLoaded);
    EXPECT_EQ(settings.ProcessAllowances.DisallowedProcesses.size(), 1u);
    EXPECT_FALSE(storage.IsRetryDue());
}

}  // namespace
}  // namespace cv::platform
