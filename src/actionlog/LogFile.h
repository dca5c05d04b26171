#pragma once
// The file corvane.log: appending one record line whole or not at all, and rotating the file into
// its numbered generations. Readers of the log (the user interface, the post-update tool, any CSV
// reader) rely on every line being one whole record.
#include <cstdint>
#include <string>
#include <string_view>

namespace cv {

inline constexpr wchar_t kLogFileName[] = L"corvane.log";
inline constexpr char kLogHeader[] =
    "\"UTC\",\"LocalTime\",\"Machine\",\"User\",\"PID\",\"Basename\",\"ActionId\",\"Action\","
    "\"Info\",\"Path\",\"CommandLine\"";

// Appends the line (UTF-8, without its line end) to the log file. A missing file, or one whose
// first line is not the header, is started afresh with the byte order mark and the header. A
// tail left by an earlier write that failed part-way (text after the last line end, CR LF or LF)
// is cut first, so the record starts on a line of its own. True when the whole line and its line
// end are in the file; when the write fails, what reached the file of it is cut off again.
// Rotates the file once it has grown past maxFileSize (0: never). Only for the log, which the
// engine alone writes: other files must not be cut.
bool AppendLogLine(const std::wstring& path, std::string_view line, std::uint32_t maxFileSize);

// Moves the file to "<path>.0", shifting the older generations up to ".9" (the oldest is
// deleted; a gap ends the shift), and starts a fresh file with the header.
void RotateLogFiles(const std::wstring& path);

}  // namespace cv
