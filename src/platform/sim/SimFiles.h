#pragma once
// The simulated machine's file system, as tests see it. Paths are drive-letter ("C:\a\b") or UNC
// ("\\server\share\a") paths, '/' works as '\', names are compared without regard to case, and
// relative paths start at Machine::currentDirectory. Files hold bytes and a last-write time taken
// from the machine's clock; open handles keep their access and sharing, so another program holding
// a file open causes sharing violations as on Windows.
//
// After Machine::Reset there is drive C: with the folders of the running program, the current
// directory and the three special folders; nothing else.
//
// Any file operation fails when Machine::FailCall names it, with the path as subject (for calls
// on an open file: its full path, with backslashes): CreateFile, GetFileSize, GetFileSizeEx,
// ReadFile, WriteFile (writes nothing), FlushFileBuffers, SetEndOfFile, SetFilePointer (every
// seek), GetFileTime, GetFileAttributes, DeleteFile, SHCreateDirectoryEx, MoveFileEx (subject:
// the source), SHGetSpecialFolderPath (subject empty), GetVolumeNameForVolumeMountPoint
// (subject: the drive root). A write that fails part-way is made with SetFreeSpace, and one that
// does not return with SetWritesHang.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace cv::sim {

// The FILETIME count the simulated clock maps a tick count to.
std::uint64_t FileTimeAt(std::uint64_t tick);

// Puts a file with these bytes and the clock's time, creating missing folders; an existing file
// is overwritten, and handles open on it see the new bytes.
void PutFile(const std::wstring& path, std::string_view bytes,
             std::uint32_t attributes = platform::kFileAttributeNormal);
void PutFolder(const std::wstring& path);
// The bytes of a file; none when there is no file (a folder is not a file).
std::optional<std::string> FileBytes(const std::wstring& path);
std::optional<std::uint64_t> FileWriteTime(const std::wstring& path);
std::optional<std::uint32_t> FileAttributes(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Another program holds the file open with this access and sharing for the given milliseconds
// of the simulated clock.
void HoldFileOpen(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                  std::uint64_t milliseconds);
// Open file handles and holds that have not ended.
std::size_t OpenFileCount();

// Where a special folder lies; an empty path makes the call fail.
void SetSpecialFolder(platform::SpecialFolder folder, const std::wstring& path);
// Adds a drive letter; a mapped network drive has no volume name.
void AddDrive(wchar_t letter, bool hasVolumeName);
// Bytes that writes may still add to files, over all drives; none: no limit. A write that needs
// more writes what fits and fails, as on a full disk.
void SetFreeSpace(std::optional<std::uint64_t> bytes);
// While on, a write to the file by any thread but the clock driver does not return, as a write
// to a dead network share may not; turning it off lets the waiting writes go on.
void SetWritesHang(const std::wstring& path, bool hang);

}  // namespace cv::sim
