#pragma once
// The engine's command-line switches.
#include <cstdint>
#include <optional>
#include <string>

namespace cv {

struct CommandLineSwitches {
    std::optional<std::uint32_t> restartProcessId;  // /restart=<pid>
    bool manual = false;                            // /manual
    bool exit = false;                              // /exit
    // Lower-cased, from /configfile= (its folder) or /configfolder= (which wins).
    std::optional<std::wstring> configFolder;
    std::optional<std::wstring> logFolder;  // /logfolder=, lower-cased
    // /check (empty: the active file) or /check=<path of a configuration file>.
    std::optional<std::wstring> check;
    // /explain=<program>: the rest of the line after "=", as received.
    std::optional<std::wstring> explain;
};

// The value of a switch from the text that follows its "=": trailing white space is dropped;
// the value ends at the first double quote when there is one, otherwise at the first space.
std::wstring GetSwitchValue(std::wstring_view textAfterEquals);

// /restart=, /manual and /exit are matched case-sensitively in the line as received; the folder
// switches in a lower-cased copy. Those count wherever they appear in the line; /check only as
// an argument of its own (or its start, before "=").
CommandLineSwitches ParseCommandLine(const std::wstring& commandLine,
                                     const std::wstring& currentDirectory);

}  // namespace cv
