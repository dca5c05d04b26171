// Who besides the administrators may change a file or folder, judged from its owner and access
// list; and the simulated file system keeping the security a folder was made with.
#include <optional>
#include <string>

#include "SimFixture.h"
#include "common/WideString.h"
#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/sim/SimFiles.h"

namespace cv {
namespace {

using namespace platform;

constexpr wchar_t kStandardUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

TEST(FileSecurityTest, FindsWhoBesidesTheAdministratorsMayChangeIt) {
    const PathSecurity adminsOnly = AdministratorsOnlySecurity();
    const auto with = [&adminsOnly](std::wstring owner, std::vector<AccessGrant> extra) {
        PathSecurity security = adminsOnly;
        security.owner = std::move(owner);
        security.grants.insert(security.grants.end(), extra.begin(), extra.end());
        return security;
    };
    PathSecurity nullList = adminsOnly;
    nullList.hasAccessList = false;
    nullList.grants.clear();
    PathSecurity unknown = adminsOnly;
    unknown.hasUnknownEntries = true;
    const struct {
        const char* name;
        PathSecurity security;
        std::optional<std::wstring> writer;  // none: administrators only
        bool owner;
    } cases[] = {
        {"administrators' folder", adminsOnly, std::nullopt, false},
        {"owned by SYSTEM", with(kSidSystem, {}), std::nullopt, false},
        {"owned by TrustedInstaller", with(kSidTrustedInstaller, {}), std::nullopt, false},
        {"owned by a standard user", with(kStandardUser, {}), kStandardUser, true},
        {"creator owner may do anything", with(kSidAdministrators, {{kSidCreatorOwner, 0x1F01FF}}),
         std::nullopt, false},
        {"owner rights", with(kSidAdministrators, {{kSidOwnerRights, 0x1F01FF}}), std::nullopt,
         false},
        {"users may read", with(kSidAdministrators, {{kSidUsers, 0x1200A9}}), std::nullopt, false},
        {"users may add files", with(kSidAdministrators, {{kSidUsers, kFileWriteData}}), kSidUsers,
         false},
        {"users may add folders", with(kSidAdministrators, {{kSidUsers, kFileAppendData}}),
         kSidUsers, false},
        {"a user may change the access list",
         with(kSidAdministrators, {{kStandardUser, kWriteDac}}), kStandardUser, false},
        {"a user may take it", with(kSidAdministrators, {{kStandardUser, kWriteOwner}}),
         kStandardUser, false},
        {"generic write", with(kSidAdministrators, {{kSidAuthenticatedUsers, kGenericWriteAccess}}),
         kSidAuthenticatedUsers, false},
        {"generic all", with(kSidAdministrators, {{kSidEveryone, kGenericAllAccess}}), kSidEveryone,
         false},
        {"a null access list", nullList, kSidEveryone, false},
        // What the folder warnings count of the facts the launch check reads too.
        {"users' grant only passed on",
         with(kSidAdministrators, {{kSidUsers, kFileWriteData, true}}), kSidUsers, false},
        {"users may delete", with(kSidAdministrators, {{kSidUsers, kDelete | kFileDeleteChild}}),
         std::nullopt, false},
        {"a conditional grant to read",
         with(kSidAdministrators, {{kSidUsers, kFileReadAndExecute, false, true}}), std::nullopt,
         false},
        {"a conditional grant to write",
         with(kSidAdministrators, {{kSidUsers, kFileWriteData, false, true}}), kSidUsers, false},
        {"entries not read", unknown, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto writer = FindOutsideWriter(c.security);
        ASSERT_EQ(writer.has_value(), c.writer.has_value());
        if (writer) {
            EXPECT_EQ(writer->account, *c.writer);
            EXPECT_EQ(writer->owner, c.owner);
        }
    }
}

class SimFileSecurityTest : public test::SimTest {};

TEST_F(SimFileSecurityTest, FoldersMadeForAdministratorsKeepThatSecurity) {
    sim::PutFolder(L"C:\\Data\\Old");
    ASSERT_TRUE(
        CreateFolderTree(L"C:\\Data\\Old\\New\\Deeper", FolderSecurity::AdministratorsOnly));
    // Every folder it made has the descriptor; the folders that were there keep theirs.
    EXPECT_EQ(sim::RecordedSecurity(L"C:\\Data\\Old\\New"), AdministratorsOnlySecurity());
    EXPECT_EQ(sim::RecordedSecurity(L"C:\\Data\\Old\\New\\Deeper"), AdministratorsOnlySecurity());
    EXPECT_EQ(sim::RecordedSecurity(L"C:\\Data\\Old"), std::nullopt);
    EXPECT_EQ(ReadPathSecurity(L"C:\\Data\\Old\\New\\Deeper"), AdministratorsOnlySecurity());

    // A folder made plainly has nothing of its own, and a folder there already is not changed.
    ASSERT_TRUE(CreateFolderTree(L"C:\\Data\\Plain"));
    EXPECT_EQ(sim::RecordedSecurity(L"C:\\Data\\Plain"), std::nullopt);
    PathSecurity users = sim::DefaultSecurity();
    users.owner = L"S-1-5-21-1-2-3-1001";
    sim::SetPathSecurity(L"C:\\Data\\Plain", users);
    ASSERT_TRUE(CreateFolderTree(L"C:\\Data\\Plain", FolderSecurity::AdministratorsOnly));
    EXPECT_EQ(sim::RecordedSecurity(L"C:\\Data\\Plain"), users);

    // A file takes what its folder passes on; a missing path has none.
    sim::PutFile(L"C:\\Data\\Plain\\a.ini", "x");
    PathSecurity inherited = users;
    inherited.isProtected = false;
    EXPECT_EQ(ReadPathSecurity(L"C:\\Data\\Plain\\a.ini"), inherited);
    EXPECT_EQ(ReadPathSecurity(L"C:\\Data\\Missing"), std::nullopt);
    machine().FailCall("GetNamedSecurityInfo", L"C:\\Data\\Plain\\a.ini");
    EXPECT_EQ(ReadPathSecurity(L"C:\\Data\\Plain\\a.ini"), std::nullopt);
}

// A program the service would start as SYSTEM: each folder on its way has security of its own,
// and one of them, or the program, is given the case's.
TEST_F(SimFileSecurityTest, AProgramIsSafeOnlyWhenNoOneElseMayChangeItOrAFolderAbove) {
    constexpr wchar_t kProgram[] = L"C:\\Apps\\Tool\\tool.exe";
    constexpr wchar_t kFolder[] = L"C:\\Apps\\Tool";
    constexpr wchar_t kAbove[] = L"C:\\Apps";
    constexpr wchar_t kRoot[] = L"C:\\";
    const auto with = [](AccessGrant grant) {
        PathSecurity security = sim::DefaultSecurity();
        security.grants.push_back(std::move(grant));
        return security;
    };
    PathSecurity unknown = sim::DefaultSecurity();
    unknown.hasUnknownEntries = true;
    PathSecurity owned = sim::DefaultSecurity();
    owned.owner = kStandardUser;
    // A drive's root as Windows sets it up: users may make folders there, and what they make is
    // theirs to change.
    PathSecurity systemDrive = with({kSidUsers, kFileAppendData});
    systemDrive.grants.push_back({kSidAuthenticatedUsers, 0x001301BF, true});
    systemDrive.grants.push_back({kSidCreatorOwner, kFileAllAccess, true});
    const struct {
        const char* name;
        const wchar_t* path;
        PathSecurity security;
        bool safe;
    } cases[] = {
        {"administrators only", kAbove, sim::DefaultSecurity(), true},
        {"a system drive's root", kRoot, systemDrive, true},
        {"users may read the program", kProgram, with({kSidUsers, kFileReadAndExecute}), true},
        {"users may write the program", kProgram, with({kSidUsers, kFileWriteData}), false},
        {"users may delete the program", kProgram, with({kSidUsers, kDelete}), false},
        {"users may delete in its folder", kFolder, with({kSidUsers, kFileDeleteChild}), false},
        {"users may make folders in its folder", kFolder, with({kSidUsers, kFileAppendData}),
         false},
        {"users may make folders above", kAbove, with({kSidUsers, kFileAppendData}), true},
        {"users may add files above", kAbove, with({kSidUsers, kFileWriteData}), false},
        {"users may add files to the root", kRoot, with({kSidUsers, kFileWriteData}), false},
        {"users may change the root's list", kRoot, with({kSidUsers, kWriteDac}), false},
        {"a user owns the folder above", kAbove, owned, false},
        {"a conditional grant to read", kFolder,
         with({kSidUsers, kFileReadAndExecute, false, true}), false},
        {"entries not read", kAbove, unknown, false},
        {"creator owner on the program itself", kProgram, with({kSidCreatorOwner, kFileAllAccess}),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::PutFile(kProgram, "MZ");
        for (const wchar_t* path : {kProgram, kFolder, kAbove, kRoot}) {
            sim::SetPathSecurity(path, sim::DefaultSecurity());
        }
        sim::SetPathSecurity(c.path, c.security);
        EXPECT_EQ(OnlyAdministratorsCanWrite(kProgram), c.safe);
    }
}

// The path is made full before its folders are read; what cannot be read is not safe.
TEST_F(SimFileSecurityTest, AProgramPathIsReadAsWindowsReadsIt) {
    sim::PutFile(L"C:\\Apps\\Tool\\tool.exe", "MZ");
    sim::PutFile(L"C:\\Users\\Alice\\tool.exe", "MZ");
    PathSecurity users = sim::DefaultSecurity();
    users.grants.push_back({kSidUsers, kFileWriteData});
    sim::SetPathSecurity(L"C:\\Users\\Alice", users);
    machine().currentDirectory = L"C:\\Apps\\Tool";
    const struct {
        const wchar_t* path;
        bool safe;
    } cases[] = {
        {L"C:\\Apps\\Tool\\tool.exe", true},
        {L"c:/apps/tool/tool.exe", true},
        {L"C:\\Apps\\.\\Other\\..\\Tool\\\\tool.exe", true},
        {L"C:\\Apps\\Tool\\..\\..\\Users\\Alice\\tool.exe", false},
        {L"C:\\..\\Users\\Alice\\tool.exe", false},
        {L"tool.exe", false},
        {L"C:tool.exe", false},
        {L"\\\\?\\C:\\Apps\\Tool\\tool.exe", false},
        {L"C:\\Apps\\Tool\\missing.exe", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.path));
        EXPECT_EQ(OnlyAdministratorsCanWrite(c.path), c.safe);
    }
    machine().FailCall("GetNamedSecurityInfo", L"C:\\Apps");
    EXPECT_FALSE(OnlyAdministratorsCanWrite(L"C:\\Apps\\Tool\\tool.exe"));
}

}  // namespace
}  // namespace cv
