#include "config/ConfigDocument.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "common/WideString.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace cv {

namespace {

constexpr std::uint32_t kReadRetrySleepMs = 20;
constexpr int kLocalReadAttempts = 20;
constexpr int kNetworkReadAttempts = 400;
constexpr std::uint32_t kWriteRetrySleepMs = 250;
constexpr int kWriteAttempts = 16;

unsigned Byte(char c) {
    return static_cast<unsigned char>(c);
}

std::size_t EntryCount(const ConfigDocument& document) {
    return std::min({document.sections.size(), document.keys.size(), document.values.size()});
}

bool IsNetworkPath(std::wstring_view path) {
    while (!path.empty() && IsWhiteSpace(path.front())) {
        path.remove_prefix(1);
    }
    return path.size() >= 2 &&
           ((path[0] == L'\\' && path[1] == L'\\') || (path[0] == L'/' && path[1] == L'/'));
}

platform::UniqueHandle OpenForReading(const std::wstring& path) {
    return platform::OpenFile(path, platform::kGenericRead, platform::kFileShareRead,
                              platform::FileCreation::OpenAlways, platform::kFileAttributeNormal)
        .handle;
}

// Only a sharing violation is worth waiting for: the other program is rewriting the file.
platform::UniqueHandle OpenForWriting(const std::wstring& path) {
    for (int attempt = 1;; ++attempt) {
        auto opened =
            platform::OpenFile(path, platform::kGenericWrite, platform::kFileShareRead,
                               platform::FileCreation::OpenAlways, platform::kFileAttributeNormal);
        if (opened.handle || opened.error != platform::FileOpenError::SharingViolation ||
            attempt == kWriteAttempts) {
            return std::move(opened.handle);
        }
        platform::SleepMs(kWriteRetrySleepMs);
    }
}

bool ReadWholeFile(platform::RawHandle file, std::string& bytes) {
    const auto size = platform::FileSizeLow(file);
    if (!size) {
        return false;
    }
    bytes.assign(*size, '\0');
    const auto read = platform::ReadFromFile(file, bytes.data(), *size);
    return read && *read == *size;
}

// Our write handle shares reading only, so nobody can change these bytes before we put them back.
bool ReadPreviousContent(const std::wstring& path, std::string& bytes) {
    const auto opened = platform::OpenFile(
        path, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
        platform::FileCreation::OpenExisting, platform::kFileAttributeNormal);
    return opened.handle && ReadWholeFile(opened.handle.Get(), bytes);
}

void PutBack(platform::RawHandle file, const std::string& previous) {
    if (platform::SeekToFileStart(file) &&
        platform::WriteToFile(file, previous.data(), static_cast<std::uint32_t>(previous.size()))) {
        platform::SetEndOfFileHere(file);
        platform::FlushFile(file);
    }
}

std::wstring DecodeUtf16Le(std::string_view bytes) {
    std::u16string units;
    units.reserve(bytes.size() / 2 + 1);
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        // An odd last byte is completed by the zero that follows the file's bytes.
        const unsigned high = i + 1 < bytes.size() ? Byte(bytes[i + 1]) : 0;
        const auto unit = static_cast<char16_t>(Byte(bytes[i]) | (high << 8));
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return FromUtf16(units);
}

bool HasUtf8Mark(std::string_view bytes) {
    return bytes.size() >= 3 && Byte(bytes[0]) == 0xEF && Byte(bytes[1]) == 0xBB &&
           Byte(bytes[2]) == 0xBF;
}

// Editors save UTF-8 today, often without a mark. Text beyond ASCII that is well-formed UTF-8
// is all but never meant as ANSI, so it is read as UTF-8; anything else keeps the ANSI code page
// that older files and editors use. A file with the mark is UTF-8 whatever its bytes: the few
// that are not well-formed become U+FFFD rather than a line of mis-read text.
std::wstring DecodeEightBitText(std::string_view bytes, bool utf8Mark) {
    const bool beyondAscii =
        std::any_of(bytes.begin(), bytes.end(), [](char c) { return Byte(c) >= 0x80; });
    if (utf8Mark || (beyondAscii && IsValidUtf8(bytes))) {
        return FromUtf8(bytes);
    }
    return platform::AnsiToWide(bytes);
}

// Line ends in a text: CR LF counts once, any other CR or LF once each.
std::uint32_t CountLineEnds(std::wstring_view text) {
    std::uint32_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' || text[i] == L'\n') {
            if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
                ++i;
            }
            ++count;
        }
    }
    return count;
}

std::uint32_t CountLinesWithText(std::wstring_view text) {
    std::uint32_t count = 0;
    bool hasText = false;
    for (const wchar_t c : text) {
        if (c == L'\r' || c == L'\n') {
            count += hasText ? 1 : 0;
            hasText = false;
        } else if (!IsWhiteSpace(c)) {
            hasText = true;
        }
    }
    return count + (hasText ? 1 : 0);
}

void AppendLines(std::wstring_view text, ConfigDocument& document, ConfigTextLayout* layout) {
    std::wstring section;
    std::size_t position = 0;
    std::uint32_t lineNumber = 1;
    for (;;) {
        const std::size_t start = text.find_first_not_of(L"\r\n", position);
        if (layout != nullptr) {
            lineNumber += CountLineEnds(text.substr(position, start - position));
        }
        position = start;
        if (position == std::wstring_view::npos) {
            return;
        }
        std::size_t end = text.find_first_of(L"\r\n", position);
        if (end == std::wstring_view::npos) {
            end = text.size();
        }
        std::wstring_view line = text.substr(position, end - position);
        position = end;
        if (line.size() == 1 && (line[0] == L'#' || line[0] == L';')) {
            if (layout != nullptr) {
                layout->stopLine = lineNumber;
                layout->ignoredLines = CountLinesWithText(text.substr(position));
            }
            return;
        }
        while (!line.empty() && IsWhiteSpace(line.front())) {
            line.remove_prefix(1);
        }
        if (!line.empty() && line[0] == L'[') {
            std::wstring name(line.substr(1));
            const std::size_t close = name.find(L']');
            if (close != std::wstring::npos) {
                name.erase(close, 1);
                section = std::move(name);
            } else if (layout != nullptr) {
                layout->unclosedSectionLines.push_back(lineNumber);
            }
            continue;
        }
        const std::size_t equals = line.find(L'=');
        std::wstring key;
        std::wstring value;
        if (equals == std::wstring_view::npos) {
            value.assign(line);
        } else {
            key.assign(line.substr(0, equals));
            value.assign(line.substr(equals + 1));
        }
        document.sections.push_back(section);
        document.keys.push_back(std::move(key));
        document.values.push_back(std::move(value));
        if (layout != nullptr) {
            layout->entryLines.push_back(lineNumber);
        }
    }
}

// The line a NUL stops the text in, when something other than NULs follows it; 0 otherwise.
std::uint32_t NulLine(std::wstring_view decoded, std::string_view rest) {
    if (rest.find_first_not_of('\0') == std::string_view::npos) {
        return 0;
    }
    return 1 + CountLineEnds(decoded);
}

}  // namespace

bool ReadConfigFile(const std::wstring& path, ConfigDocument& document) {
    if (std::wstring_view(path.c_str()).size() <= 4) {
        return false;
    }
    try {
        platform::UniqueHandle file = OpenForReading(path);
        if (!file) {
            // The other program may be rewriting the file; a share may take its time to answer.
            const int attempts = IsNetworkPath(path) ? kNetworkReadAttempts : kLocalReadAttempts;
            for (int attempt = 0; attempt < attempts; ++attempt) {
                platform::SleepMs(kReadRetrySleepMs);
                if (OpenForReading(path)) {
                    break;
                }
            }
            if (!platform::PathExists(path)) {
                const std::size_t slash = path.find_last_of(L"\\/");
                if (slash != std::wstring::npos) {
                    platform::CreateFolderTree(path.substr(0, slash));
                }
            }
            file = OpenForReading(path);
            if (!file) {
                return false;
            }
        }
        std::string bytes;
        if (!ReadWholeFile(file.Get(), bytes)) {
            return false;
        }
        file.Reset();
        return ParseConfigBytes(bytes, document);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool WriteConfigFile(const std::wstring& path, const ConfigDocument& document) {
    try {
        const std::string bytes = RenderConfigBytes(document);
        if (bytes.empty() || bytes.size() > UINT32_MAX) {
            return false;
        }
        platform::UniqueHandle file = OpenForWriting(path);
        if (!file) {
            return false;
        }
        std::string previous;
        if (!ReadPreviousContent(path, previous)) {
            return false;
        }
        // One write of the whole text: a failure part-way is undone from the copy read above.
        if (platform::WriteToFile(file.Get(), bytes.data(),
                                  static_cast<std::uint32_t>(bytes.size())) &&
            platform::SetEndOfFileHere(file.Get())) {
            // Flushed after the end is set, so the new length reaches the disk too.
            return platform::FlushFile(file.Get());
        }
        PutBack(file.Get(), previous);
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void AddEntry(ConfigDocument& document, const std::wstring& section, const std::wstring& key,
              const std::wstring& value) {
    document.sections.push_back(section);
    document.keys.push_back(key);
    document.values.push_back(value);
}

std::wstring GetConfigString(const std::wstring& /*section*/, const std::wstring& key,
                             const wchar_t* defaultText, const ConfigDocument& document) {
    // Sections play no part: key names are unique, and a saved file may repeat a header.
    const std::size_t count = EntryCount(document);
    for (std::size_t i = 0; i < count; ++i) {
        if (EqualsIgnoreCase(document.keys[i], key)) {
            return Trim(document.values[i]);
        }
    }
    return defaultText == nullptr ? std::wstring() : std::wstring(defaultText);
}

std::int32_t GetConfigInt(const std::wstring& section, const std::wstring& key,
                          std::int32_t defaultValue, const ConfigDocument& document) {
    const std::wstring defaultText = std::to_wstring(defaultValue);
    return WideToLong(GetConfigString(section, key, defaultText.c_str(), document));
}

bool GetConfigBool(const std::wstring& section, const std::wstring& key, bool defaultValue,
                   const ConfigDocument& document) {
    return EqualsIgnoreCase(
        GetConfigString(section, key, defaultValue ? L"true" : L"false", document), L"true");
}

bool ParseConfigBytes(std::string_view bytes, ConfigDocument& document, ConfigTextLayout* layout) {
    const bool marked = bytes.size() >= 3;
    if (marked && Byte(bytes[0]) == 0xFE && Byte(bytes[1]) == 0xFF) {
        return false;
    }
    try {
        std::wstring text;
        std::string_view rest;
        if (marked && Byte(bytes[0]) == 0xFF && Byte(bytes[1]) == 0xFE) {
            text = DecodeUtf16Le(bytes.substr(2));
            if (layout != nullptr) {
                // The units up to the NUL, each two bytes; surrogate pairs decode to one
                // character where wchar_t is 32 bits, so the units are counted again.
                const std::size_t units = ToUtf16(text).size();
                rest = bytes.substr(std::min(bytes.size(), 2 + 2 * units));
            }
        } else {
            const bool utf8Mark = HasUtf8Mark(bytes);
            const std::string_view body = utf8Mark ? bytes.substr(3) : bytes;
            // The file's bytes end at the first NUL, as the text the reader hands on does.
            const std::size_t nul = std::min(body.find('\0'), body.size());
            text = DecodeEightBitText(body.substr(0, nul), utf8Mark);
            rest = body.substr(nul);
        }
        AppendLines(text, document, layout);
        if (layout != nullptr) {
            layout->nulLine = NulLine(text, rest);
        }
        return true;
    } catch (const std::bad_alloc&) {
        const std::size_t count = EntryCount(document);
        document.sections.resize(count);
        document.keys.resize(count);
        document.values.resize(count);
        return false;
    }
}

std::string RenderConfigBytes(const ConfigDocument& document) {
    try {
        std::wstring text;
        std::wstring lastSection;
        const std::size_t count = EntryCount(document);
        for (std::size_t i = 0; i < count; ++i) {
            std::wstring section = Trim(document.sections[i]);
            if (section != lastSection) {
                text += L'[';
                text += section;
                text += L"]\r\n";
                lastSection = std::move(section);
            }
            text += Trim(document.keys[i]);
            text += L'=';
            text += Trim(document.values[i]);
            text += L"\r\n";
        }
        const std::u16string units = ToUtf16(text);
        std::string bytes;
        bytes.reserve(2 + 2 * units.size());
        bytes += '\xFF';
        bytes += '\xFE';
        for (const char16_t unit : units) {
            bytes += static_cast<char>(unit & 0xFF);
            bytes += static_cast<char>(unit >> 8);
        }
        return bytes;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace cv
