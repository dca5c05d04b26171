#include "config/ConfigFile.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace cv {

namespace {

using platform::FileCreation;
using platform::PathKind;
using platform::UniqueHandle;

constexpr std::uint32_t kReadRetrySleepMs = 20;
constexpr int kLocalReadRetries = 20;
constexpr int kNetworkReadRetries = 400;
constexpr std::uint32_t kWriteRetrySleepMs = 250;
constexpr int kWriteAttempts = 16;

// Side file: magic, new size, old size, whether there was an old file, the new bytes, the old
// bytes, and a checksum of all that.
constexpr char kSideMagic[8] = {'C', 'V', 'S', 'A', 'V', 'E', '1', '\n'};
constexpr std::size_t kSideHeaderBytes = sizeof(kSideMagic) + 3 * 8;
constexpr std::size_t kSideChecksumBytes = 8;

struct SideContent {
    std::string next;
    std::string old;  // empty when there was no file before
};

bool IsNetworkPath(std::wstring_view path) {
    while (!path.empty() && IsWhiteSpace(path.front())) {
        path.remove_prefix(1);
    }
    return path.size() >= 2 &&
           ((path[0] == L'\\' && path[1] == L'\\') || (path[0] == L'/' && path[1] == L'/'));
}

std::uint64_t Fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return hash;
}

void AppendU64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::uint64_t ReadU64(std::string_view bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

std::string EncodeSide(std::string_view next, const std::optional<std::string>& old) {
    std::string out(kSideMagic, sizeof(kSideMagic));
    AppendU64(out, next.size());
    AppendU64(out, old ? old->size() : 0);
    AppendU64(out, old ? 1 : 0);
    out += next;
    if (old) {
        out += *old;
    }
    AppendU64(out, Fnv1a(out));
    return out;
}

// None when the side file is not one this program finished writing.
std::optional<SideContent> DecodeSide(std::string_view bytes) {
    if (bytes.size() < kSideHeaderBytes + kSideChecksumBytes ||
        std::memcmp(bytes.data(), kSideMagic, sizeof(kSideMagic)) != 0) {
        return std::nullopt;
    }
    const std::uint64_t nextSize = ReadU64(bytes, 8);
    const std::uint64_t oldSize = ReadU64(bytes, 16);
    const std::uint64_t hadOld = ReadU64(bytes, 24);
    const std::size_t body = bytes.size() - kSideHeaderBytes - kSideChecksumBytes;
    if (hadOld > 1 || nextSize > body || oldSize != body - nextSize ||
        ReadU64(bytes, bytes.size() - kSideChecksumBytes) !=
            Fnv1a(bytes.substr(0, bytes.size() - kSideChecksumBytes))) {
        return std::nullopt;
    }
    SideContent content;
    content.next.assign(bytes.substr(kSideHeaderBytes, nextSize));
    content.old.assign(bytes.substr(kSideHeaderBytes + nextSize, oldSize));
    return content;
}

// What a rewrite of `old` into `next` can leave when cut short: at every place the old byte, the
// new one, or a zero (space the file system handed out but never wrote), and no longer than the
// longer of the two. Anything else was written by another program.
bool IsTornRewrite(std::string_view current, const SideContent& side) {
    if (current.size() > std::max(side.old.size(), side.next.size())) {
        return false;
    }
    for (std::size_t i = 0; i < current.size(); ++i) {
        const char c = current[i];
        if (c != '\0' && !(i < side.next.size() && c == side.next[i]) &&
            !(i < side.old.size() && c == side.old[i])) {
            return false;
        }
    }
    return true;
}

// The text after a UTF-16LE or UTF-8 byte-order mark.
std::string_view AfterMark(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        bytes.remove_prefix(2);
    } else if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
               static_cast<unsigned char>(bytes[1]) == 0xBB &&
               static_cast<unsigned char>(bytes[2]) == 0xBF) {
        bytes.remove_prefix(3);
    }
    return bytes;
}

bool HoldsNoText(std::string_view bytes) {
    const std::string_view text = AfterMark(bytes);
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\0'; });
}

// Reads from the start to the end; none on a failed or short read.
std::optional<std::string> ReadAll(platform::RawHandle file, std::uint64_t limit) {
    const auto size = platform::FileSize(file);
    if (!size || *size > limit || !platform::SeekToFileStart(file)) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(*size), '\0');
    const auto read =
        platform::ReadFromFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    if (!read || *read != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

// Reads a file that our own rewrite handle holds: this reader shares writing with it.
std::optional<std::string> ReadBeside(const std::wstring& path, std::uint64_t limit) {
    const auto opened = platform::OpenFile(
        path, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        FileCreation::OpenExisting, platform::kFileAttributeNormal);
    if (!opened.handle) {
        return std::nullopt;
    }
    return ReadAll(opened.handle.Get(), limit);
}

// The rewrite handle shares reading only, so nobody else writes the file while a save runs.
// Sharing violations mean the other program is writing it; they are waited out for a while.
UniqueHandle OpenForRewrite(const std::wstring& path, FileCreation creation, bool patient = true) {
    for (int attempt = 1;; ++attempt) {
        auto opened = platform::OpenFile(path, platform::kGenericWrite, platform::kFileShareRead,
                                         creation, platform::kFileAttributeNormal);
        if (opened.handle || opened.error != platform::FileOpenError::SharingViolation ||
            attempt >= (patient ? kWriteAttempts : 1)) {
            return std::move(opened.handle);
        }
        platform::SleepMs(kWriteRetrySleepMs);
    }
}

// Flushed after the end is set, so the new length reaches the disk too.
bool WriteWhole(platform::RawHandle file, std::string_view bytes) {
    return platform::SeekToFileStart(file) &&
           platform::WriteToFile(file, bytes.data(), static_cast<std::uint32_t>(bytes.size())) &&
           platform::SetEndOfFileHere(file) && platform::FlushFile(file);
}

// The side file is complete on the disk before it takes its final name, so a side file of that
// name can always be trusted.
bool WriteSideFile(const std::wstring& path, std::string_view next,
                   const std::optional<std::string>& old) {
    const std::wstring partial = path + kPartialSideSuffix;
    platform::DeleteFileAt(partial);
    const std::string content = EncodeSide(next, old);
    bool written = false;
    {
        const UniqueHandle file =
            platform::OpenFile(partial, platform::kGenericWrite, 0, FileCreation::CreateAlways,
                               platform::kFileAttributeNormal)
                .handle;
        written = file &&
                  platform::WriteToFile(file.Get(), content.data(),
                                        static_cast<std::uint32_t>(content.size())) &&
                  platform::FlushFile(file.Get());
    }
    if (!written || !platform::RenameFileReplacing(partial, path + kSaveSideSuffix)) {
        platform::DeleteFileAt(partial);
        return false;
    }
    return true;
}

bool SaveOrThrow(const std::wstring& path, std::string_view bytes) {
    if (bytes.size() > kMaxConfigFileBytes) {
        return false;
    }
    const platform::PathState state = platform::QueryPath(path);
    if (state.kind != PathKind::File && state.kind != PathKind::NotFound) {
        return false;
    }
    const bool existed = state.kind == PathKind::File;
    UniqueHandle file;
    std::optional<std::string> old;
    if (existed) {
        file = OpenForRewrite(path, FileCreation::OpenExisting);
        old = file ? ReadBeside(path, kMaxConfigFileBytes) : std::nullopt;
        if (!old) {
            return false;
        }
    }
    const std::wstring side = path + kSaveSideSuffix;
    if (!WriteSideFile(path, bytes, old)) {
        return false;
    }
    if (!existed) {
        // Not OpenAlways: a file another program created meanwhile is not ours to replace.
        file = OpenForRewrite(path, FileCreation::CreateNew);
        if (!file) {
            platform::DeleteFileAt(side);
            return false;
        }
    }
    if (WriteWhole(file.Get(), bytes)) {
        file.Reset();
        platform::DeleteFileAt(side);
        return true;
    }
    // Put back what was there, so that no later load finishes a save that was reported failed.
    bool restored = existed && WriteWhole(file.Get(), *old);
    file.Reset();
    if (!existed) {
        restored = platform::DeleteFileAt(path);
    }
    if (restored) {
        platform::DeleteFileAt(side);
    }
    return false;
}

InterruptedSave FinishOrThrow(const std::wstring& path, bool patient) {
    const std::wstring partial = path + kPartialSideSuffix;
    if (platform::QueryPath(partial).kind == PathKind::File) {
        platform::DeleteFileAt(partial);  // cut short before it was complete: never used
    }
    const std::wstring sidePath = path + kSaveSideSuffix;
    const platform::PathState sideState = platform::QueryPath(sidePath);
    if (sideState.kind == PathKind::NotFound || sideState.kind == PathKind::Folder) {
        return InterruptedSave::None;
    }
    const auto sideBytes =
        ReadBeside(sidePath, 2 * kMaxConfigFileBytes + kSideHeaderBytes + kSideChecksumBytes);
    if (!sideBytes) {
        return InterruptedSave::Unfinished;
    }
    const auto side = DecodeSide(*sideBytes);
    if (!side) {
        platform::DeleteFileAt(sidePath);
        return InterruptedSave::None;
    }
    const platform::PathState state = platform::QueryPath(path);
    if (state.kind != PathKind::File && state.kind != PathKind::NotFound) {
        return InterruptedSave::Unfinished;
    }
    const UniqueHandle file = OpenForRewrite(
        path, state.kind == PathKind::File ? FileCreation::OpenExisting : FileCreation::CreateNew,
        patient);
    if (!file) {
        return InterruptedSave::Unfinished;
    }
    const auto current = ReadBeside(path, 2 * kMaxConfigFileBytes);
    if (!current) {
        return InterruptedSave::Unfinished;
    }
    if (*current != side->next) {
        if (!IsTornRewrite(*current, *side)) {
            platform::DeleteFileAt(sidePath);
            return InterruptedSave::Superseded;
        }
        if (!WriteWhole(file.Get(), side->next)) {
            return InterruptedSave::Unfinished;
        }
    }
    platform::DeleteFileAt(sidePath);
    return InterruptedSave::Finished;
}

}  // namespace

ConfigFileRead ReadConfigFileBytes(const std::wstring& path, bool patient) {
    ConfigFileRead result;
    const platform::PathState state = platform::QueryPath(path);
    switch (state.kind) {
        case PathKind::NotFound:
            result.status = ConfigReadStatus::NotFound;
            return result;
        case PathKind::Folder:
            result.status = ConfigReadStatus::Folder;
            result.reason = L"a folder has its name";
            return result;
        case PathKind::Unknown:
            result.reason = FormatText(L"looking for it failed with error %u", state.error);
            return result;
        case PathKind::File:
            break;
    }
    // The user interface may be rewriting the file; a share may take its time to answer.
    const int retries = !patient              ? 0
                        : IsNetworkPath(path) ? kNetworkReadRetries
                                              : kLocalReadRetries;
    platform::FileOpenResult opened;
    for (int attempt = 0;; ++attempt) {
        opened = platform::OpenFile(path, platform::kGenericRead, platform::kFileShareRead,
                                    FileCreation::OpenExisting, platform::kFileAttributeNormal);
        if (opened.handle || attempt == retries) {
            break;
        }
        platform::SleepMs(kReadRetrySleepMs);
    }
    if (!opened.handle) {
        if (platform::QueryPath(path).kind == PathKind::NotFound) {
            result.status = ConfigReadStatus::NotFound;  // gone while we waited
        } else {
            result.reason = opened.error == platform::FileOpenError::SharingViolation
                                ? L"another program holds it open"
                                : L"it could not be opened";
        }
        return result;
    }
    const auto size = platform::FileSize(opened.handle.Get());
    if (!size) {
        result.reason = L"its size could not be read";
        return result;
    }
    if (*size > kMaxConfigFileBytes) {
        result.status = ConfigReadStatus::TooLarge;
        result.reason = FormatText(L"it has %llu bytes, more than the %llu this program reads",
                                   *size, kMaxConfigFileBytes);
        return result;
    }
    try {
        auto bytes = ReadAll(opened.handle.Get(), kMaxConfigFileBytes);
        if (!bytes) {
            result.reason = L"reading it failed";
            return result;
        }
        if (HoldsNoText(*bytes)) {
            result.status = ConfigReadStatus::NoContent;
            result.reason = bytes->empty()              ? L"it is empty"
                            : AfterMark(*bytes).empty() ? L"it holds nothing but a byte-order mark"
                                                        : L"it holds nothing but NUL bytes";
            return result;
        }
        result.status = ConfigReadStatus::Read;
        result.bytes = std::move(*bytes);
    } catch (const std::bad_alloc&) {
        result.reason = L"there was not enough memory to read it";
    }
    return result;
}

bool SaveConfigFileBytes(const std::wstring& path, std::string_view bytes) {
    try {
        return SaveOrThrow(path, bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool HasSaveSideFiles(const std::wstring& path) {
    return platform::QueryPath(path + kSaveSideSuffix).kind != PathKind::NotFound ||
           platform::QueryPath(path + kPartialSideSuffix).kind != PathKind::NotFound;
}

InterruptedSave FinishInterruptedSave(const std::wstring& path, bool patient) {
    try {
        return FinishOrThrow(path, patient);
    } catch (const std::bad_alloc&) {
        return InterruptedSave::Unfinished;
    }
}

}  // namespace cv
