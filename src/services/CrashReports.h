#pragma once
// The process-wide handler for unexpected exceptions of the engine.
namespace cv {

// Installs the engine's unhandled-exception filter. Crash dumps and the automatic restart are
// not built yet, so for now the system's own handling stays in place.
void InstallCrashFilter();

}  // namespace cv
