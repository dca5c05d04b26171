#pragma once
// How the engine is hosted: on which Windows, whether as the Vigilor service, and with which
// rights. Used by everything that picks a folder or an entry point by these.
#include <string>

namespace cv {

// Windows 6.0 or later; computed once and cached.
bool IsVistaOrLater();

// The engine is registered as the Vigilor service and not marked for deletion. The first time a
// deletion mark is seen a warning is shown.
bool IsServiceInstalled();
// Stops the Vigilor service, waiting up to about five seconds for it to stop.
bool StopEngineService();

bool IsServiceAccountName(const std::wstring& userName);
bool IsAboveMediumIntegrity();

// Forgets the cached values and the warning given, as at program start (for tests).
void ResetEngineHostValues();

}  // namespace cv
