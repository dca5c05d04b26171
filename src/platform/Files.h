#pragma once
// Files and folders: what the configuration needs to read and rewrite its file in place, hold its
// lock file, notice changes, find its default folder and migrate it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Handle.h"

namespace cv::platform {

// Access, sharing and attribute bits with the values CreateFileW takes.
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kFileShareRead = 0x00000001;
constexpr std::uint32_t kFileShareWrite = 0x00000002;
constexpr std::uint32_t kFileShareDelete = 0x00000004;
constexpr std::uint32_t kFileAttributeHidden = 0x00000002;
constexpr std::uint32_t kFileAttributeSystem = 0x00000004;
constexpr std::uint32_t kFileAttributeNormal = 0x00000080;
constexpr std::uint32_t kFileAttributeTemporary = 0x00000100;

enum class FileCreation {
    CreateNew = 1,     // fails when the file exists
    CreateAlways = 2,  // an existing file is emptied
    OpenExisting = 3,
    OpenAlways = 4,  // an existing file keeps its content
};

// Callers retry only on a sharing violation, so it is told apart from every other failure.
enum class FileOpenError { None, SharingViolation, Other };

struct FileOpenResult {
    UniqueHandle handle;  // none when the open failed
    FileOpenError error = FileOpenError::None;
};

// CreateFileW.
FileOpenResult OpenFile(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                        FileCreation creation, std::uint32_t attributes);

// GetFileSize: the low 32 bits of the size; none when the call fails.
std::optional<std::uint32_t> FileSizeLow(RawHandle file);
// ReadFile at the current position: the number of bytes read, which is less than asked at the
// end of the file; none when the call fails.
std::optional<std::uint32_t> ReadFromFile(RawHandle file, void* buffer, std::uint32_t size);
// WriteFile at the current position: true only when every byte was written. A failed write may
// have written part of the data.
bool WriteToFile(RawHandle file, const void* data, std::uint32_t size);
// FlushFileBuffers; needs write access.
bool FlushFile(RawHandle file);
// SetEndOfFile: the file ends at the current position.
bool SetEndOfFileHere(RawHandle file);
bool SeekToFileStart(RawHandle file);
bool SeekToFileEnd(RawHandle file);
// GetFileTime: the last-write time as a FILETIME count.
std::optional<std::uint64_t> FileLastWriteTime(RawHandle file);
// GetFileSizeEx: the whole size, beyond 4 GB too; none when the call fails.
std::optional<std::uint64_t> FileSize(RawHandle file);
// SetFilePointerEx from the start of the file; with SetEndOfFileHere it cuts a file back.
bool SeekToFilePosition(RawHandle file, std::uint64_t offset);

// GetFileAttributesW succeeds: a file or a folder is there.
bool PathExists(const std::wstring& path);
// DeleteFileW; folders are not deleted.
bool DeleteFileAt(const std::wstring& path);
// SHCreateDirectoryExW: the folder and every missing parent; the path must be absolute. True when
// the folder is there afterwards, whether created now or before.
bool CreateFolderTree(const std::wstring& path);
// MoveFileExW with MOVEFILE_COPY_ALLOWED: a file or a whole folder; an existing target is not
// replaced.
bool MovePath(const std::wstring& from, const std::wstring& to);

enum class SpecialFolder {
    CommonAppData,   // CSIDL_COMMON_APPDATA
    LocalAppData,    // CSIDL_LOCAL_APPDATA
    RoamingAppData,  // CSIDL_APPDATA
};
// SHGetSpecialFolderPathW, creating the folder when asked; empty when the call fails.
std::wstring SpecialFolderPath(SpecialFolder folder, bool create);

// CopyFileW over an existing target.
bool CopyFileReplacing(const std::wstring& from, const std::wstring& to);
// RemoveDirectoryW: only an empty folder goes.
bool RemoveEmptyFolder(const std::wstring& path);

// GetVolumeNameForVolumeMountPointW succeeds for a drive root such as "C:\"; it fails for mapped
// network drives and for drives that do not exist.
bool HasVolumeName(const std::wstring& driveRoot);

// MultiByteToWideChar from the thread's ANSI code page (CP_THREAD_ACP); embedded NULs are kept.
std::wstring AnsiToWide(std::string_view bytes);

// What GetFileAttributesW finds at a path. Only "file not found" and "path not found" say that
// nothing is there; any other failure (access denied, a share that does not answer) is Unknown,
// with the system error code, and says nothing either way.
enum class PathKind { File, Folder, NotFound, Unknown };
struct PathState {
    PathKind kind = PathKind::Unknown;
    std::uint32_t error = 0;  // GetLastError when the look-up failed
};
PathState QueryPath(const std::wstring& path);


// MoveFileExW with MOVEFILE_REPLACE_EXISTING and MOVEFILE_WRITE_THROUGH: renames a file within
// its volume, replacing a file of the target name, and returns once the rename is on the disk.
bool RenameFileReplacing(const std::wstring& from, const std::wstring& to);

// Exactly `size` bytes from the offset; none when the seek or the read fails or comes up short.
inline std::optional<std::string> ReadBytesAt(RawHandle file, std::uint64_t offset,
                                              std::uint64_t size) {
    std::string bytes(size, '\0');
    if (!SeekToFilePosition(file, offset)) {
        return std::nullopt;
    }
    const auto read = ReadFromFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (!read || *read != size) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace cv::platform
