// Who besides the administrators may change a file or folder, judged from its owner and access
// list; and the simulated file system keeping the security a folder was made with.
#include <optional>
#include <string>

#include "SimFixture.h"
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

}  // namespace
}  // namespace cv
