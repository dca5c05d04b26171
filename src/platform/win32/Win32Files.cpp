#include <climits>

#include "platform/FileSecurity.h"
#include "platform/Files.h"
#include "platform/win32/WindowsApi.h"

#include <sddl.h>
#include <shlobj.h>

namespace cv::platform {

FileOpenResult OpenFile(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                        FileCreation creation, std::uint32_t attributes) {
    FileOpenResult result;
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, static_cast<DWORD>(creation),
                              attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result.error = GetLastError() == ERROR_SHARING_VIOLATION ? FileOpenError::SharingViolation
                                                                 : FileOpenError::Other;
        return result;
    }
    result.handle = UniqueHandle(file);
    return result;
}

std::optional<std::uint32_t> FileSizeLow(RawHandle file) {
    // A low part of all ones is a real size when the call leaves no error behind.
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        return std::nullopt;
    }
    return low;
}

std::optional<std::uint32_t> ReadFromFile(RawHandle file, void* buffer, std::uint32_t size) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, size, &read, nullptr)) {
        return std::nullopt;
    }
    return read;
}

bool WriteToFile(RawHandle file, const void* data, std::uint32_t size) {
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

bool FlushFile(RawHandle file) {
    return FlushFileBuffers(file) != FALSE;
}

bool SetEndOfFileHere(RawHandle file) {
    return SetEndOfFile(file) != FALSE;
}

bool SeekToFileStart(RawHandle file) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) != FALSE;
}

bool SeekToFileEnd(RawHandle file) {
    LARGE_INTEGER zero{};
    return SetFilePointerEx(file, zero, nullptr, FILE_END) != FALSE;
}

std::optional<std::uint64_t> FileLastWriteTime(RawHandle file) {
    FILETIME written{};
    if (!GetFileTime(file, nullptr, nullptr, &written)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
}

std::optional<std::uint64_t> FileSize(RawHandle file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

bool SeekToFilePosition(RawHandle file, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DeleteFileAt(const std::wstring& path) {
    return DeleteFileW(path.c_str()) != FALSE;
}

namespace {

// Owned by the administrators; full control for SYSTEM and the administrators, read and run for
// users, each passed on to files and sub-folders; the access list is protected, so nothing of
// the folders above is inherited.
constexpr wchar_t kAdministratorsOnlyFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

bool IsFolderPath(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Where the folders of an absolute path begin: after "C:\" or after "\\server\share\"; none for a
// relative path.
std::optional<std::size_t> FirstFolderAt(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) {
        return 3;
    }
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        const std::size_t server = path.find_first_of(L"\\/", 2);
        const std::size_t share =
            server == std::wstring::npos ? server : path.find_first_of(L"\\/", server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
    return std::nullopt;
}

bool CreateAdministratorsOnlyTree(const std::wstring& path) {
    const std::optional<std::size_t> first = FirstFolderAt(path);
    if (!first) {
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kAdministratorsOnlyFolderSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool created = true;
    for (std::size_t at = *first; created && at <= path.size(); ++at) {
        if (at != path.size() && path[at] != L'\\' && path[at] != L'/') {
            continue;
        }
        const std::wstring folder = path.substr(0, at);
        if (folder.size() > *first && !IsFolderPath(folder) &&
            !CreateDirectoryW(folder.c_str(), &attributes)) {
            // Another program may have made it meanwhile; a file of that name stops the walk.
            created = IsFolderPath(folder);
        }
    }
    LocalFree(descriptor);
    return created && IsFolderPath(path);
}

}  // namespace

bool CreateFolderTree(const std::wstring& path, FolderSecurity security) {
    return security == FolderSecurity::AdministratorsOnly ? CreateAdministratorsOnlyTree(path)
                                                          : CreateFolderTree(path);
}

bool CreateFolderTree(const std::wstring& path) {
    const int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (result == ERROR_SUCCESS) {
        return true;
    }
    // "Already exists" is also the answer when a file has the name.
    return IsFolderPath(path);
}

bool MovePath(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) != FALSE;
}

std::wstring SpecialFolderPath(SpecialFolder folder, bool create) {
    int csidl = CSIDL_LOCAL_APPDATA;
    switch (folder) {
        case SpecialFolder::CommonAppData:
            csidl = CSIDL_COMMON_APPDATA;
            break;
        case SpecialFolder::LocalAppData:
            csidl = CSIDL_LOCAL_APPDATA;
            break;
        case SpecialFolder::RoamingAppData:
            csidl = CSIDL_APPDATA;
            break;
    }
    wchar_t path[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, path, csidl, create ? TRUE : FALSE)) {
        return {};
    }
    return path;
}

bool HasVolumeName(const std::wstring& driveRoot) {
    wchar_t volume[64] = {};
    return GetVolumeNameForVolumeMountPointW(driveRoot.c_str(), volume, 64) != FALSE;
}

PathState QueryPath(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return {(attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File,
                0};
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return {PathKind::NotFound, error};
    }
    return {PathKind::Unknown, error};
}

bool RenameFileReplacing(const std::wstring& from, const std::wstring& to) {
    return MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

std::wstring AnsiToWide(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(needed), L'\0');
    const int converted =
        MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), length, text.data(), needed);
    text.resize(converted > 0 ? static_cast<std::size_t>(converted) : 0);
    return text;
}

}  // namespace cv::platform
