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
// on an open file: its full path, with backslashes): CreateFile, GetFileSize, ReadFile,
// WriteFile (writes nothing), FlushFileBuffers, SetEndOfFile, SetFilePointer, GetFileTime,
// GetFileAttributes, DeleteFile, SHCreateDirectoryEx, MoveFileEx (subject: the source),
// SHGetSpecialFolderPath (subject empty), GetVolumeNameForVolumeMountPoint (subject: the drive
// root), GetFileSizeEx, GetNamedSecurityInfo. GetFileAttributes also fails QueryPath, with
// access denied (5). A write
// that fails part-way is made with SetFreeSpace; a program killed or a power loss in the middle
// of its writes with CutWritesAfter and LosePower; one that does not return with
// SetWritesHang.
//
// Security: a folder that CreateFolderTree makes with AdministratorsOnly, and a path given
// SetPathSecurity (a drive's root or a share too), has its own owner and access list; everything
// else takes those of the nearest folder above that has its own (as inherited: not protected),
// else DefaultSecurity. So nothing lets a standard user change anything unless a test says so.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileSecurity.h"
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

// What ReadPathSecurity reports where no folder above has security of its own: owned by the
// administrators, SYSTEM and the administrators may change it, users may read it.
platform::PathSecurity DefaultSecurity();
// The security the file or folder has of its own; none when it has none (or is missing).
std::optional<platform::PathSecurity> RecordedSecurity(const std::wstring& path);
// Gives an existing file or folder, a drive's root or a share security of its own, as an
// administrator or the program that made it may.
void SetPathSecurity(const std::wstring& path, const platform::PathSecurity& security);

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

// The program stops changing files once it has made this many more changes: every written byte
// is one, and so is creating a file, emptying one on open, setting its end, renaming, deleting
// and creating folders. The change that does not fit is cut short (a write writes what fits),
// and from then on every change and every flush fails, as for a program that was killed.
// None: no limit. Either way the count of changes starts again from 0.
void CutWritesAfter(std::optional<std::uint64_t> changes);
// Changes made since the last CutWritesAfter (or the machine's reset).
std::uint64_t WriteChangesMade();
// Whether a change was cut short.
bool WritesCut();
// Power loss: every file falls back to the bytes it had when last flushed, or put by PutFile
// (a file created since and never flushed is empty); renames, deletions and new files stay, as a
// journaling file system keeps them. Ends a cut.
void LosePower();

}  // namespace cv::sim
