#pragma once
// Reading corvex.ini with a reason for every failure, and saving it so that a save cut short at
// any point (the program killed, the power lost) leaves the old content or the new one.
//
// A save still rewrites the file in place: the user interface and the files people keep rely on
// it staying the same file. Before that it writes the new content, and the content it replaces,
// to a side file next to it, flushes that and only then gives it its final side name; the side
// file is deleted once the in-place rewrite is flushed. A load that finds the side file finishes
// the rewrite from it.
#include <cstdint>
#include <string>
#include <string_view>

namespace cv {

// The complete side file, and the one still being written (never used, only deleted).
inline constexpr wchar_t kSaveSideSuffix[] = L".cv-save";
inline constexpr wchar_t kPartialSideSuffix[] = L".cv-new";

// Bigger files are refused: reading and parsing one would hold the configuration lock for
// seconds, and no configuration comes near it.
inline constexpr std::uint64_t kMaxConfigFileBytes = 16u << 20;

enum class ConfigReadStatus {
    Read,
    NotFound,   // "file not found" or "path not found"; nothing else makes the file missing
    Folder,     // a folder has the file's name
    Failed,     // the file is there, or may be, but could not be read
    TooLarge,   // more than kMaxConfigFileBytes
    NoContent,  // empty, or nothing but NUL bytes (after a byte-order mark)
};

struct ConfigFileRead {
    ConfigReadStatus status = ConfigReadStatus::Failed;
    std::string bytes;    // the whole file when it was read
    std::wstring reason;  // why it was not, for the log
};

// Waits a while for another program that holds the file open, as a reader of a file that the
// user interface rewrites must; not when impatient (a retry, which the next cycle repeats anyway).
ConfigFileRead ReadConfigFileBytes(const std::wstring& path, bool patient = true);

// Saves the bytes as the file at path; the folder must exist. False when the save failed: the
// file then keeps its previous content (or, when even that could not be put back, the next load
// finishes the save from the side file).
bool SaveConfigFileBytes(const std::wstring& path, std::string_view bytes);

// Whether a save was cut short next to path (a side file is there).
bool HasSaveSideFiles(const std::wstring& path);

enum class InterruptedSave {
    None,        // nothing was cut short
    Finished,    // the file now holds what the save that was cut short was writing
    Superseded,  // another program has rewritten the file since; its content stays
    Unfinished,  // the file could not be rewritten yet (it is in use); it may be torn until then
};

// Finishes a save that was cut short, and removes its side files. Waits a while for another
// program that holds the file open, unless impatient.
InterruptedSave FinishInterruptedSave(const std::wstring& path, bool patient = true);

}  // namespace cv
