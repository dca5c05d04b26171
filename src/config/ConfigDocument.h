#pragma once
// The in-memory form of corvex.ini: one entry per key line, in file order. The loader reads a
// file into a fresh document and looks keys up; the saver adds every key in its fixed order and
// writes the document back in the one form the user interface expects (UTF-16LE with a BOM,
// CR LF, a section header where the section changes).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cv {

struct ConfigDocument {
    std::vector<std::wstring> sections;  // section current when the line was read
    std::vector<std::wstring> keys;      // text before the first '=', untrimmed
    std::vector<std::wstring> values;    // text after the first '=', untrimmed
};

// Appends the entries of the file; false when it cannot be opened or read or is big-endian.
bool ReadConfigFile(const std::wstring& path, ConfigDocument& document);
// Rewrites the file in place from the document. When the write fails part-way, the previous
// content is put back and the result is false.
bool WriteConfigFile(const std::wstring& path, const ConfigDocument& document);

// Appends one entry; never replaces or merges.
void AddEntry(ConfigDocument& document, const std::wstring& section, const std::wstring& key,
              const std::wstring& value);

// The trimmed value of the first entry whose key matches ignoring case, whatever its section;
// the default (untrimmed) when no entry matches, or empty when no default is given.
std::wstring GetConfigString(const std::wstring& section, const std::wstring& key,
                             const wchar_t* defaultText, const ConfigDocument& document);
std::int32_t GetConfigInt(const std::wstring& section, const std::wstring& key,
                          std::int32_t defaultValue, const ConfigDocument& document);
// True exactly when the value (or the default "true"/"false") equals "true" ignoring case.
bool GetConfigBool(const std::wstring& section, const std::wstring& key, bool defaultValue,
                   const ConfigDocument& document);

// Where the entries of a parsed file came from, for telling the user about them; the loader
// asks for none of this. Lines count from 1; CR LF, a lone CR and a lone LF each end a line.
struct ConfigTextLayout {
    std::vector<std::uint32_t> entryLines;  // one per entry appended
    // A line that is a lone "#" or ";" ends the reading; the lines after it with text are ignored.
    std::uint32_t stopLine = 0;
    std::uint32_t ignoredLines = 0;
    // "[name" without "]": neither a section nor an entry.
    std::vector<std::uint32_t> unclosedSectionLines;
    // The text ends at the first NUL character; 0 when there is none with text after it.
    std::uint32_t nulLine = 0;
};

// The file's bytes to entries (decoding and line rules only); false for a big-endian file or
// when memory runs out. The text is UTF-16LE after the mark FF FE; UTF-8 after the mark EF BB BF,
// or without a mark when the bytes are well-formed UTF-8 and not plain ASCII; otherwise the
// ANSI code page. A save always writes UTF-16LE.
bool ParseConfigBytes(std::string_view bytes, ConfigDocument& document,
                      ConfigTextLayout* layout = nullptr);
// The exact bytes WriteConfigFile puts in the file; empty only when memory runs out.
std::string RenderConfigBytes(const ConfigDocument& document);

}  // namespace cv
