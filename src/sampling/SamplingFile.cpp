#include "sampling/SamplingFile.h"

#include <algorithm>
#include <optional>

#include "actionlog/LogFile.h"
#include "common/WideString.h"
#include "config/ConfigFile.h"
#include "config/ConfigStorage.h"
#include "platform/Files.h"
#include "runtime/CrashReports.h"

namespace cv {

namespace {

using platform::RawHandle;

constexpr char kBom[] = "\xEF\xBB\xBF";

// Written beside the configuration or the log by the engine's tools, or left there by older
// versions; those programs are above the engine's features, so their names stand here.
constexpr wchar_t kProfileFile[] = L".profile";
constexpr wchar_t kCheckReportFile[] = L"corvex-check.txt";
constexpr wchar_t kPostUpdateLogFile[] = L"trellion.log";
constexpr wchar_t kOlderLogFile[] = L"corvex.log";  // also "corvex.log.csv"

std::string FreshHeader(std::string_view header) {
    return kBom + std::string(header) + "\r\n";
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&lower](char x, char y) { return lower(x) == lower(y); });
}

// The name Windows opens for the last part of a path: without a stream name, trailing dots and
// blanks.
std::wstring OpenedFileName(const std::wstring& path) {
    const auto separator = path.find_last_of(L"\\/");
    std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
    if (separator == std::wstring::npos && name.size() >= 2 && name[1] == L':') {
        name.erase(0, 2);  // a drive-relative path such as "C:corvex.ini"
    }
    if (const auto stream = name.find(L':'); stream != std::wstring::npos) {
        name.erase(stream);
    }
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
        name.pop_back();
    }
    return ToLower(name);
}

// The name itself, or the name and a suffix after a dot (generations, side files).
bool IsNameOrDerived(const std::wstring& name, std::wstring_view base) {
    return EqualsIgnoreCase(name, base) ||
           (name.size() > base.size() && name[base.size()] == L'.' &&
            EqualsIgnoreCase(std::wstring_view(name).substr(0, base.size()), base));
}

// The file's first bytes, as many as the byte order mark and the header take.
std::optional<std::string> ReadHead(RawHandle file, std::uint64_t size, std::string_view header) {
    return platform::ReadBytesAt(file, 0, std::min<std::uint64_t>(size, 3 + header.size()));
}

// What goes before the first new row: nothing after a line end, the LF a lone CR lacks, or a
// whole CR LF after a last line that has none.
std::optional<std::string> LineEndBefore(RawHandle file, std::uint64_t size) {
    const auto last = platform::ReadBytesAt(file, size - 1, 1);
    if (!last) {
        return std::nullopt;
    }
    if (*last == "\n") {
        return std::string();
    }
    return std::string(*last == "\r" ? "\n" : "\r\n");
}

}  // namespace

bool IsEngineOwnFileName(const std::wstring& path) {
    const std::wstring name = OpenedFileName(path);
    return IsNameOrDerived(name, kConfigFileName) || IsNameOrDerived(name, kLogFileName) ||
           IsNameOrDerived(name, kOlderLogFile) || EqualsIgnoreCase(name, kLockFileName) ||
           EqualsIgnoreCase(name, kProfileFile) || EqualsIgnoreCase(name, kCheckReportFile) ||
           EqualsIgnoreCase(name, kPostUpdateLogFile) || EqualsIgnoreCase(name, kDumpFileName);
}

bool StartsAsSamplingFile(std::string_view head, std::string_view header) {
    const std::string expected = kBom + std::string(header);
    const std::size_t compared = std::min(head.size(), expected.size());
    return EqualsIgnoringAsciiCase(head.substr(0, compared),
                                   std::string_view(expected).substr(0, compared));
}

SamplingFileResult AppendSamplingRows(const std::wstring& path, std::string_view header,
                                      const std::vector<std::string>& rows) {
    if (IsEngineOwnFileName(path)) {
        return SamplingFileResult::kEngineFile;
    }
    const auto opened =
        platform::OpenFile(path, platform::kGenericRead | platform::kGenericWrite,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
    if (!opened.handle) {
        return SamplingFileResult::kFailed;
    }
    const RawHandle file = opened.handle.Get();
    auto size = platform::FileSize(file);
    const auto head = size ? ReadHead(file, *size, header) : std::nullopt;
    if (!head) {
        return SamplingFileResult::kFailed;
    }
    if (!StartsAsSamplingFile(*head, header)) {
        return SamplingFileResult::kNotSamplingFile;
    }
    if (head->size() < 3 + header.size()) {
        // A new file, or a header whose write was cut short: all of it is the header's start.
        const std::string fresh = FreshHeader(header);
        if (!platform::SeekToFileStart(file) ||
            !platform::WriteToFile(file, fresh.data(), static_cast<std::uint32_t>(fresh.size())) ||
            !platform::SetEndOfFileHere(file)) {
            platform::SeekToFileStart(file);
            platform::SetEndOfFileHere(file);  // a header cut short is no use to any reader
            return SamplingFileResult::kFailed;
        }
        size = fresh.size();
    }
    if (rows.empty()) {
        return SamplingFileResult::kOk;
    }
    auto bytes = LineEndBefore(file, *size);
    if (!bytes) {
        return SamplingFileResult::kFailed;
    }
    for (const auto& row : rows) {
        *bytes += row;
        *bytes += "\r\n";
    }
    if (!platform::SeekToFilePosition(file, *size) ||
        !platform::WriteToFile(file, bytes->data(), static_cast<std::uint32_t>(bytes->size()))) {
        // Only this write's own bytes go; the rows before stay as they were.
        if (platform::SeekToFilePosition(file, *size)) {
            platform::SetEndOfFileHere(file);
        }
        return SamplingFileResult::kFailed;
    }
    return SamplingFileResult::kOk;
}

SamplingFileResult InspectSamplingFile(const std::wstring& path, std::string_view header) {
    if (IsEngineOwnFileName(path)) {
        return SamplingFileResult::kEngineFile;
    }
    const platform::PathState state = platform::QueryPath(path);
    if (state.kind == platform::PathKind::NotFound) {
        return SamplingFileResult::kOk;
    }
    const auto opened = platform::OpenFile(
        path, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        platform::FileCreation::OpenExisting, platform::kFileAttributeNormal);
    const auto size = opened.handle ? platform::FileSize(opened.handle.Get()) : std::nullopt;
    const auto head = size ? ReadHead(opened.handle.Get(), *size, header) : std::nullopt;
    if (!head) {
        return SamplingFileResult::kFailed;
    }
    return StartsAsSamplingFile(*head, header) ? SamplingFileResult::kOk
                                               : SamplingFileResult::kNotSamplingFile;
}

}  // namespace cv
