#pragma once
// How opening files behaves, as Windows decides: how two opens of one file get along, and what
// each creation mode does. The simulated file system and the real one under Wine run the same
// checks against whichever backend the test program links.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace cv::test {

struct FileSharingCase {
    const char* name;
    std::uint32_t firstAccess;
    std::uint32_t firstShare;
    std::uint32_t secondAccess;
    std::uint32_t secondShare;
    bool violation;
};

inline constexpr std::uint32_t kShareAll =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;

inline constexpr FileSharingCase kFileSharingCases[] = {
    {"two readers", platform::kGenericRead, platform::kFileShareRead, platform::kGenericRead,
     platform::kFileShareRead, false},
    {"writer after a reader sharing reading", platform::kGenericRead, platform::kFileShareRead,
     platform::kGenericWrite, platform::kFileShareRead, true},
    {"reader not sharing writing after a writer", platform::kGenericWrite, platform::kFileShareRead,
     platform::kGenericRead, platform::kFileShareRead, true},
    {"reader sharing writing after a writer", platform::kGenericWrite, platform::kFileShareRead,
     platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite, false},
    {"two writers sharing everything", platform::kGenericWrite, kShareAll, platform::kGenericWrite,
     kShareAll, false},
    {"exclusive lock file", platform::kGenericWrite, 0, platform::kGenericRead, kShareAll, true},
    {"no access takes no part", 0, 0, platform::kGenericWrite, 0, false},
    {"no access after a writer", platform::kGenericWrite, 0, 0, 0, false},
};

// Each case opens `path` twice; `put(path, bytes)` writes the file on the backend under test.
template <class Put>
void CheckSharingRules(const std::wstring& path, Put put) {
    using namespace platform;
    for (const auto& c : kFileSharingCases) {
        SCOPED_TRACE(c.name);
        put(path, "x");
        UniqueHandle first = OpenFile(path, c.firstAccess, c.firstShare, FileCreation::OpenAlways,
                                      kFileAttributeNormal)
                                 .handle;
        ASSERT_TRUE(first);
        const FileOpenResult second = OpenFile(path, c.secondAccess, c.secondShare,
                                               FileCreation::OpenExisting, kFileAttributeNormal);
        EXPECT_EQ(second.handle.IsValid(), !c.violation);
        EXPECT_EQ(second.error,
                  c.violation ? FileOpenError::SharingViolation : FileOpenError::None);
        if (c.violation) {
            // Once the first handle is closed nothing stands in the way.
            first.Reset();
            EXPECT_TRUE(OpenFile(path, c.secondAccess, c.secondShare, FileCreation::OpenExisting,
                                 kFileAttributeNormal)
                            .handle);
        }
    }
}

// Each mode opens `path` for writing with or without an "old" file there first; `bytes(path)`
// reads the file back afterwards (nothing when there is no file).
template <class Put, class Bytes>
void CheckCreationModes(const std::wstring& path, Put put, Bytes bytes) {
    using namespace platform;
    const struct {
        const char* name;
        bool exists;
        FileCreation creation;
        bool opened;
        std::optional<std::string> content;
    } cases[] = {
        {"create new over a file", true, FileCreation::CreateNew, false, "old"},
        {"create new", false, FileCreation::CreateNew, true, ""},
        {"open existing without a file", false, FileCreation::OpenExisting, false, std::nullopt},
        {"open existing", true, FileCreation::OpenExisting, true, "old"},
        {"create always empties", true, FileCreation::CreateAlways, true, ""},
        {"open always keeps", true, FileCreation::OpenAlways, true, "old"},
        {"open always creates", false, FileCreation::OpenAlways, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileAt(path);
        if (c.exists) {
            put(path, "old");
        }
        {
            const FileOpenResult result =
                OpenFile(path, kGenericWrite, kFileShareRead, c.creation, kFileAttributeNormal);
            EXPECT_EQ(result.handle.IsValid(), c.opened);
            EXPECT_EQ(result.error, c.opened ? FileOpenError::None : FileOpenError::Other);
        }
        EXPECT_EQ(bytes(path), c.content);
    }
}

// Sizes and positions: reading from the middle, cutting the file back at a position, and a
// write past the end, which fills the gap with zeros. `bytes(path)` reads the file back.
template <class Bytes>
void CheckSizesAndPositions(const std::wstring& path, Bytes bytes) {
    using namespace platform;
    UniqueHandle file = OpenFile(path, kGenericRead | kGenericWrite, kFileShareRead,
                                 FileCreation::CreateAlways, kFileAttributeNormal)
                            .handle;
    ASSERT_TRUE(file);
    ASSERT_TRUE(WriteToFile(file.Get(), "hello world", 11));
    EXPECT_EQ(FileSize(file.Get()), std::optional<std::uint64_t>(11));
    ASSERT_TRUE(SeekToFilePosition(file.Get(), 6));
    char buffer[8] = {};
    EXPECT_EQ(ReadFromFile(file.Get(), buffer, 8), std::optional<std::uint32_t>(5));
    EXPECT_EQ(std::string_view(buffer, 5), "world");
    ASSERT_TRUE(SeekToFilePosition(file.Get(), 5));
    ASSERT_TRUE(SetEndOfFileHere(file.Get()));
    EXPECT_EQ(FileSize(file.Get()), std::optional<std::uint64_t>(5));
    ASSERT_TRUE(SeekToFilePosition(file.Get(), 7));
    ASSERT_TRUE(WriteToFile(file.Get(), "!", 1));
    EXPECT_EQ(FileSize(file.Get()), std::optional<std::uint64_t>(8));
    file.Reset();
    EXPECT_EQ(bytes(path), std::optional<std::string>(std::string("hello\0\0!", 8)));
}

// What QueryPath finds under `folder`, an existing folder: only a missing file or folder on the
// way counts as not found.
template <class Put>
void CheckQueryPath(const std::wstring& folder, Put put) {
    using namespace platform;
    put(folder + L"\\file.ini", "x");
    const struct {
        const char* name;
        std::wstring path;
        PathKind kind;
        std::uint32_t error;
    } cases[] = {
        {"file", folder + L"\\file.ini", PathKind::File, 0},
        {"folder", folder, PathKind::Folder, 0},
        {"no such file", folder + L"\\none.ini", PathKind::NotFound, 2},
        {"no such folder", folder + L"\\none\\x.ini", PathKind::NotFound, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PathState state = QueryPath(c.path);
        EXPECT_EQ(state.kind, c.kind);
        EXPECT_EQ(state.error, c.error);
    }
}

// RenameFileReplacing in `folder`, an existing folder; `bytes(path)` reads a file back (nothing
// when there is none).
template <class Put, class Bytes>
void CheckRenameReplacing(const std::wstring& folder, Put put, Bytes bytes) {
    using namespace platform;
    const std::wstring from = folder + L"\\corvex.ini.cv-new";
    const std::wstring to = folder + L"\\corvex.ini.cv-save";
    put(from, "new");
    put(to, "old");
    ASSERT_TRUE(RenameFileReplacing(from, to));
    EXPECT_EQ(bytes(to), "new");
    EXPECT_EQ(bytes(from), std::nullopt);
    EXPECT_FALSE(RenameFileReplacing(from, to));  // nothing to rename
    ASSERT_TRUE(RenameFileReplacing(to, from));   // no file of the target name
    EXPECT_EQ(bytes(from), "new");

    put(to, "old");
    {
        // A replaced file goes as by a deletion: every open of it must share deletion.
        UniqueHandle open = OpenFile(to, kGenericRead, kFileShareRead | kFileShareWrite,
                                     FileCreation::OpenExisting, kFileAttributeNormal)
                                .handle;
        ASSERT_TRUE(open);
        EXPECT_FALSE(RenameFileReplacing(from, to));
    }
    {
        UniqueHandle open = OpenFile(from, kGenericRead, kFileShareRead | kFileShareWrite,
                                     FileCreation::OpenExisting, kFileAttributeNormal)
                                .handle;
        ASSERT_TRUE(open);
        EXPECT_FALSE(RenameFileReplacing(from, to));
    }
    EXPECT_EQ(bytes(to), "old");
    EXPECT_EQ(bytes(from), "new");
    EXPECT_FALSE(RenameFileReplacing(from, folder));  // a folder is not replaced
    EXPECT_TRUE(DeleteFileAt(from));
    EXPECT_TRUE(DeleteFileAt(to));
}

}  // namespace cv::test
