// Any bytes as corvex.ini: reading never crashes or hangs, the look-ups answer for every key read,
// what the writer makes of the entries reads back as the same entries, trimmed, and the line of
// every entry is where it stands in the file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/WideString.h"
#include "config/ConfigDocument.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The section a header line gives back: the reader removes the first ']' of "[name]".
std::wstring SectionReadBack(const std::wstring& section) {
    std::wstring name = cv::Trim(section) + L"]";
    name.erase(name.find(L']'), 1);
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    cv::ConfigDocument document;
    const bool bigEndian = size >= 3 && data[0] == 0xFE && data[1] == 0xFF;
    Check(cv::ParseConfigBytes(bytes, document) == !bigEndian);
    const std::size_t count = document.keys.size();
    Check(document.sections.size() == count && document.values.size() == count);

    for (std::size_t i = 0; i < count && i < 16; ++i) {
        const std::wstring& key = document.keys[i];
        const std::wstring value = cv::GetConfigString(L"", key, nullptr, document);
        Check(value == cv::Trim(value));
        const std::int32_t number = cv::GetConfigInt(L"", key, 7, document);
        Check(number == cv::WideToLong(value));
        Check(cv::GetConfigBool(L"", key, false, document) == cv::EqualsIgnoreCase(value, L"true"));
    }

    // Asking where the entries came from changes nothing, and every entry has a line of its own.
    cv::ConfigDocument laidOut;
    cv::ConfigTextLayout layout;
    Check(cv::ParseConfigBytes(bytes, laidOut, &layout) == !bigEndian);
    Check(laidOut.keys == document.keys && laidOut.values == document.values &&
          laidOut.sections == document.sections);
    Check(layout.entryLines.size() == count);
    for (std::size_t i = 0; i < count; ++i) {
        Check(layout.entryLines[i] > (i == 0 ? 0 : layout.entryLines[i - 1]));
    }

    const std::string written = cv::RenderConfigBytes(document);
    Check(written.size() >= 2 && written.size() % 2 == 0);
    cv::ConfigDocument again;
    Check(cv::ParseConfigBytes(written, again));
    if (count == 0) {
        // The mark alone is too short to count as one, so it reads as a line of ANSI text.
        Check(again.keys.size() == 1 && again.values[0] == L"\u00FF\u00FE");
        return 0;
    }
    Check(again.keys.size() == count);
    // In the written file, entry i sits below i entries and the section headers before it.
    cv::ConfigDocument writtenAgain;
    cv::ConfigTextLayout writtenLayout;
    Check(cv::ParseConfigBytes(written, writtenAgain, &writtenLayout));
    std::uint32_t headers = 0;
    std::wstring lastSection;
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring section = cv::Trim(document.sections[i]);
        if (section != lastSection) {
            ++headers;
            lastSection = section;
        }
        Check(writtenLayout.entryLines[i] == i + 1 + headers);
    }
    for (std::size_t i = 0; i < count; ++i) {
        Check(again.keys[i] == cv::Trim(document.keys[i]));
        Check(again.values[i] == cv::Trim(document.values[i]));
        Check(again.sections[i] == SectionReadBack(document.sections[i]));
    }
    return 0;
}
