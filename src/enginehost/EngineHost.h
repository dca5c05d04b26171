#pragma once
// How the engine is hosted: on which Windows, whether as the Vigilor service, and with which
// rights. Used by everything that picks a folder or an entry point by these.
#include <string>

#include "platform/FileSecurity.h"

namespace cv {

// Windows 6.0 or later; computed once and cached.
bool IsVistaOrLater();

// The engine is registered as the Vigilor service and not marked for deletion. The first time a
// deletion mark is seen a warning is shown.
bool IsServiceInstalled();
// Stops the Vigilor service, waiting up to about five seconds for it to stop.
bool StopEngineService();

bool IsServiceAccountName(const std::wstring& userName);
// The program runs under a service account (SYSTEM, say), as the Vigilor service does. An
// account name that cannot be read counts as none: a folder made for administrators only is
// one a standard user's program could not make.
bool RunsUnderServiceAccount();
// How the program secures the folders it makes for its configuration and its log: for
// administrators only under a service account, so that no standard user chooses what a
// program running as SYSTEM reads; as the folder above passes on otherwise.
platform::FolderSecurity OwnFolderSecurity();
bool IsAboveMediumIntegrity();

// Forgets the cached values and the warning given, as at program start (for tests).
void ResetEngineHostValues();

}  // namespace cv
