#pragma once
// The engine as the source "Vigilor" of the Windows Application log: Event Viewer finds the text
// of each event in the message table of the installed vigilor.exe.
#include <string>

namespace cv {

inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vigilor";
inline constexpr unsigned kEventTypesSupported = 7;  // error, warning, information

enum class EventSourceRegistration {
    Written,         // EventMessageFile now names this installation's vigilor.exe
    AlreadyCurrent,  // it did already
    KeptOther,       // it names a message file of someone else's, which stays
    Failed,
};

// Sets EventMessageFile (REG_EXPAND_SZ) to the folder's vigilor.exe and TypesSupported to 7.
// Nothing is ever deleted. A value that names only vigilor.exe files (an earlier installation
// folder, or one gone) is moved to this installation; one that names any other file is an
// administrator's own choice and is kept as it is, with their TypesSupported. An existing
// TypesSupported is left as it is too, unless the registration is moved here.
EventSourceRegistration RegisterEngineEventSource(const std::wstring& installationFolder);

}  // namespace cv
