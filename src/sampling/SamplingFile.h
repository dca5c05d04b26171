#pragma once
// The sampling file: a CSV file in the action log's conventions that other programs read, and
// that users edit, merge or point at files of their own. Samples are only ever added to a file
// the engine started itself; nothing already in it is changed or cut.
#include <string>
#include <string_view>
#include <vector>

namespace cv {

enum class SamplingFileResult {
    kOk,               // a sampling file, or none yet: the rows are (or would be) added
    kFailed,           // the file could not be opened, read or written
    kEngineFile,       // a file of the engine's own: never opened
    kNotSamplingFile,  // an existing file that does not start with the sampling header: unchanged
};

// The files of the engine and its tools, wherever they lie: the configuration with its side
// files, lock file, active-profile file and check report, the log with its generations and the
// names older versions gave it, the post-update tool's log and the crash dump. Told by the file
// name alone (letter case, a stream name and trailing dots and blanks aside), as the folders may
// be reached by other names.
bool IsEngineOwnFileName(const std::wstring& path);

// Whether the first bytes of a file (its whole content when shorter) are those of a sampling
// file: the byte order mark and the header, letter case aside. An empty file, and one that holds
// nothing but the start of them, is one whose header the engine had not finished.
bool StartsAsSamplingFile(std::string_view head, std::string_view header);

// Adds the rows (UTF-8, without their line ends) at the end of the file in one write, each with
// CR LF, starting on a new line when the file's last line has no line end. A missing file is
// created with the byte order mark and the header first. When the write fails, what reached the
// file of it is cut off again; the file's earlier content is never touched.
SamplingFileResult AppendSamplingRows(const std::wstring& path, std::string_view header,
                                      const std::vector<std::string>& rows);

// What AppendSamplingRows would make of the file, found by reading it only (a missing file is
// not created): kFailed when it is there and cannot be opened or read.
SamplingFileResult InspectSamplingFile(const std::wstring& path, std::string_view header);

}  // namespace cv
