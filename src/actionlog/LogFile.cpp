#include "actionlog/LogFile.h"

#include <algorithm>
#include <optional>

#include "common/Format.h"
#include "platform/Files.h"

namespace cv {

namespace {

using platform::RawHandle;

const std::string kBom = "\xEF\xBB\xBF";
// How much of the file's end is read at a time when looking for the last whole line.
constexpr std::uint64_t kTailChunk = 4096;

// The byte order mark and the header text; the header's line end follows.
std::uint64_t HeaderEnd(std::string_view header) {
    return 3 + header.size();
}

std::string FreshHeader(std::string_view header = kLogHeader) {
    return kBom + std::string(header) + "\r\n";
}

bool WriteAll(RawHandle file, std::string_view bytes) {
    return platform::WriteToFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool CutAt(RawHandle file, std::uint64_t size) {
    return platform::SeekToFilePosition(file, size) && platform::SetEndOfFileHere(file);
}

// The header is compared without regard to letter case, as older writers varied it.
bool HeaderMatches(std::string_view bytes, std::string_view header) {
    if (bytes.size() < HeaderEnd(header)) {
        return false;
    }
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (lower(bytes[3 + i]) != lower(header[i])) {
            return false;
        }
    }
    return true;
}

// Makes the file start with the header; a file that starts otherwise is emptied first. False
// when the file could not be read or the header not written.
bool EnsureHeader(RawHandle file, std::uint64_t size, std::string_view header) {
    const auto head = platform::ReadBytesAt(file, 0, std::min(size, HeaderEnd(header)));
    if (!head) {
        return false;
    }
    if (HeaderMatches(*head, header)) {
        return true;
    }
    if (platform::SeekToFileStart(file) && WriteAll(file, FreshHeader(header)) &&
        platform::SetEndOfFileHere(file)) {
        return true;
    }
    CutAt(file, 0);  // a header cut short is no use to any reader
    return false;
}

// Where the last whole line of the file ends, searching back from its end for a LF (alone or
// after a CR, as an editor may have left the lines): 0 when no line end follows the header text;
// none when the file could not be read.
std::optional<std::uint64_t> LastLineEnd(RawHandle file, std::uint64_t size,
                                         std::uint64_t headerEnd) {
    std::uint64_t end = size;
    while (end > headerEnd) {
        const std::uint64_t from = end - headerEnd > kTailChunk ? end - kTailChunk : headerEnd;
        const auto chunk = platform::ReadBytesAt(file, from, end - from);
        if (!chunk) {
            return std::nullopt;
        }
        const std::size_t at = chunk->rfind('\n');
        if (at != std::string::npos) {
            return from + at + 1;
        }
        end = from;
    }
    return 0;
}

// Cuts off whatever follows the last line end: the remains of a record whose write failed
// part-way, by this program or by one that ended in the middle of a write.
bool CutTornTail(RawHandle file, std::uint64_t& size, std::string_view header) {
    const std::uint64_t headerEnd = HeaderEnd(header);
    if (size > headerEnd) {
        const auto last = platform::ReadBytesAt(file, size - 1, 1);
        if (!last) {
            return false;
        }
        if (*last == "\n") {
            return true;
        }
    }
    const auto lineEnd = LastLineEnd(file, size, headerEnd);
    if (!lineEnd) {
        return false;
    }
    if (*lineEnd != 0) {
        size = *lineEnd;
        return CutAt(file, size);
    }
    // Only the header text is whole: give it back its line end.
    size = headerEnd + 2;
    return CutAt(file, headerEnd) && WriteAll(file, "\r\n");
}

// Opens the log, makes it start with the header and cuts a torn tail; the size to append at.
std::optional<std::uint64_t> OpenLogFile(const std::wstring& path, std::string_view header,
                                         platform::UniqueHandle& file) {
    auto opened =
        platform::OpenFile(path, platform::kGenericRead | platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    if (!opened.handle) {
        return std::nullopt;
    }
    file = std::move(opened.handle);
    auto size = platform::FileSize(file.Get());
    if (!size || !EnsureHeader(file.Get(), *size, header)) {
        return std::nullopt;
    }
    size = platform::FileSize(file.Get());
    if (!size || !CutTornTail(file.Get(), *size, header)) {
        return std::nullopt;
    }
    return size;
}

}  // namespace

bool AppendLogLine(const std::wstring& path, std::string_view line, std::uint32_t maxFileSize) {
    platform::UniqueHandle file;
    const auto size = OpenLogFile(path, kLogHeader, file);
    if (!size) {
        return false;
    }
    // One write for the whole record, so that a failure leaves at most one torn line to cut.
    std::string bytes(line);
    bytes += "\r\n";
    if (!platform::SeekToFilePosition(file.Get(), *size) || !WriteAll(file.Get(), bytes)) {
        CutAt(file.Get(), *size);  // when this fails too, the next record cuts the tail
        return false;
    }
    if (maxFileSize != 0 && *size + bytes.size() > maxFileSize) {
        file.Reset();  // the file is moved, so it is closed first
        RotateLogFiles(path);
    }
    return true;
}

void RotateLogFiles(const std::wstring& path) {
    const auto generation = [&path](int index) { return FormatText(L"%s.%d", path, index); };
    int firstMissing = 0;
    while (firstMissing < 1000 && platform::PathExists(generation(firstMissing))) {
        ++firstMissing;
    }
    for (int index = firstMissing == 0 ? 0 : firstMissing - 1; index >= 0; --index) {
        const std::wstring name = generation(index);
        if (!platform::PathExists(name)) {
            break;
        }
        if (index < 9) {
            platform::MovePath(name, generation(index + 1));
        } else {
            platform::DeleteFileAt(name);
        }
    }
    if (platform::PathExists(generation(0))) {
        platform::DeleteFileAt(generation(0));
    }
    platform::MovePath(path, generation(0));
    auto fresh =
        platform::OpenFile(path, platform::kGenericRead | platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    // When the move failed the old file is still there and keeps its content.
    if (fresh.handle && platform::FileSize(fresh.handle.Get()).value_or(1) == 0) {
        WriteAll(fresh.handle.Get(), FreshHeader());
    }
}

}  // namespace cv
