#pragma once
// Who may change a file or a folder: its owner and the grants of its access list. The service
// keeps its configuration and its log in folders only administrators and SYSTEM may change, and
// warns about any of them that someone else may change.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cv::platform {

// Accounts, as SID strings.
inline constexpr wchar_t kSidAdministrators[] = L"S-1-5-32-544";
inline constexpr wchar_t kSidSystem[] = L"S-1-5-18";
inline constexpr wchar_t kSidTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
inline constexpr wchar_t kSidCreatorOwner[] = L"S-1-3-0";
inline constexpr wchar_t kSidOwnerRights[] = L"S-1-3-4";
inline constexpr wchar_t kSidUsers[] = L"S-1-5-32-545";
inline constexpr wchar_t kSidAuthenticatedUsers[] = L"S-1-5-11";
inline constexpr wchar_t kSidEveryone[] = L"S-1-1-0";

// Access bits as an access list grants them on files and folders.
inline constexpr std::uint32_t kFileWriteData = 0x00000002;    // on a folder: add a file
inline constexpr std::uint32_t kFileAppendData = 0x00000004;   // on a folder: add a sub-folder
inline constexpr std::uint32_t kFileDeleteChild = 0x00000040;  // on a folder: delete what it holds
inline constexpr std::uint32_t kDelete = 0x00010000;
inline constexpr std::uint32_t kWriteDac = 0x00040000;
inline constexpr std::uint32_t kWriteOwner = 0x00080000;
inline constexpr std::uint32_t kGenericAllAccess = 0x10000000;
inline constexpr std::uint32_t kGenericWriteAccess = 0x40000000;
inline constexpr std::uint32_t kFileAllAccess = 0x001F01FF;
inline constexpr std::uint32_t kFileReadAndExecute = 0x001200A9;
// Any of these lets its holder change what the file holds, or who may.
inline constexpr std::uint32_t kChangingAccess = kFileWriteData | kFileAppendData | kWriteDac |
                                                 kWriteOwner | kGenericAllAccess |
                                                 kGenericWriteAccess;

struct AccessGrant {
    std::wstring account;  // SID string
    std::uint32_t mask = 0;
    // Only passed on to new files and sub-folders: it gives nothing on this one.
    bool inheritOnly = false;
    // It allows only while a condition holds (a callback entry).
    bool conditional = false;
    bool operator==(const AccessGrant&) const = default;
};

struct PathSecurity {
    std::wstring owner;  // SID string
    // False for a null access list, which lets everyone do everything.
    bool hasAccessList = true;
    // The grants of the folders above are not inherited.
    bool isProtected = false;
    // The allowing entries in their order, those that only pass to new files and sub-folders
    // too; denying entries are not listed.
    std::vector<AccessGrant> grants;
    // The access list holds entries that are neither allowing nor plainly denying, or that could
    // not be read: what they give is not known.
    bool hasUnknownEntries = false;
    bool operator==(const PathSecurity&) const = default;
};

// How a folder that CreateFolderTree creates is secured.
enum class FolderSecurity {
    Inherited,           // as the folder above passes on
    AdministratorsOnly,  // see AdministratorsOnlySecurity
};

// What AdministratorsOnly gives a folder: owned by the administrators; full control for SYSTEM
// and the administrators, read and run for users, each passed on to everything inside; nothing
// taken from the folders above.
inline PathSecurity AdministratorsOnlySecurity() {
    return {kSidAdministrators,
            true,
            true,
            {{kSidSystem, kFileAllAccess},
             {kSidAdministrators, kFileAllAccess},
             {kSidUsers, kFileReadAndExecute}}};
}

inline bool IsAdministrativeAccount(std::wstring_view sid) {
    return sid == kSidAdministrators || sid == kSidSystem || sid == kSidTrustedInstaller;
}

// Who besides the administrators, SYSTEM and TrustedInstaller may change the file or folder.
struct OutsideWriter {
    std::wstring account;  // SID string; "S-1-1-0" (everyone) for a null access list
    bool owner = false;    // it is the owner, who may always change the access list
};

// Which entries of an access list FindOutsideWriter counts. The defaults judge the service's
// configuration and log folders: an entry only passed on counts, as it gives its rights to the
// files the service makes there.
struct WriterRules {
    // The rights that let their holder change the file or folder, or who may.
    std::uint32_t changingAccess = kChangingAccess;
    // Entries only passed on to new files and sub-folders count too.
    bool inheritOnlyCounts = true;
    // The creator-owner and owner-rights entries stand for the owner, who is then one of the
    // administrators, and do not count.
    bool ownerEntriesAreTheOwners = true;
    // Unknown entries, and conditional grants whatever they allow, count as everyone's.
    bool unknownCounts = false;
};

// None when only the administrators, SYSTEM and TrustedInstaller may change it.
inline std::optional<OutsideWriter> FindOutsideWriter(const PathSecurity& security,
                                                      const WriterRules& rules = {}) {
    if (!IsAdministrativeAccount(security.owner)) {
        return OutsideWriter{security.owner, true};
    }
    if (!security.hasAccessList || (rules.unknownCounts && security.hasUnknownEntries)) {
        return OutsideWriter{kSidEveryone, false};
    }
    for (const AccessGrant& grant : security.grants) {
        if (rules.unknownCounts && grant.conditional) {
            return OutsideWriter{grant.account, false};
        }
        const bool standsForOwner =
            rules.ownerEntriesAreTheOwners &&
            (grant.account == kSidCreatorOwner || grant.account == kSidOwnerRights);
        if ((grant.mask & rules.changingAccess) != 0 && !IsAdministrativeAccount(grant.account) &&
            !standsForOwner && (rules.inheritOnlyCounts || !grant.inheritOnly)) {
            return OutsideWriter{grant.account, false};
        }
    }
    return std::nullopt;
}

// The rules for a program the service starts as SYSTEM, and for each folder above it; level 0 is
// the program, 1 its folder. Deleting counts, as a deleted file or folder can be put back by
// whoever deleted it; an entry only passed on does not (every user has one on a drive's root
// that gives the files users make there to them); every entry not read or not weighed counts,
// the creator-owner and owner-rights ones and conditional grants among them. A new
// sub-folder cannot take the place of one that is there, so in the folders above the program's
// own the right to make sub-folders alone does not count (every user has it on a drive's root).
inline WriterRules ProgramWriterRules(int level) {
    WriterRules rules;
    rules.changingAccess = kChangingAccess | kDelete | kFileDeleteChild;
    if (level >= 2) {
        rules.changingAccess &= ~kFileAppendData;
    }
    rules.inheritOnlyCounts = false;
    rules.ownerEntriesAreTheOwners = false;
    rules.unknownCounts = true;
    return rules;
}

// CreateFolderTree of Files.h, with the given security for every folder it makes (CreateDirectoryW
// with the descriptor, one folder at a time); a folder that is there already keeps its own.
bool CreateFolderTree(const std::wstring& path, FolderSecurity security);

// GetNamedSecurityInfoW for the owner and the access list. None when they cannot be read (the
// path is missing, say) or there is no owner.
std::optional<PathSecurity> ReadPathSecurity(const std::wstring& path);

// Whether only the administrators, SYSTEM and TrustedInstaller can change the file and every
// folder above it, up to the drive's root or the share, by ProgramWriterRules. False for a
// relative path and when the security of any of them cannot be read. "." and ".." are resolved
// first, as GetFullPathNameW does.
bool OnlyAdministratorsCanWrite(const std::wstring& path);

}  // namespace cv::platform
