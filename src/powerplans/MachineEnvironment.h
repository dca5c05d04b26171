#pragma once
// What the settings must know of this machine to give the right defaults and keep plan names:
// its processors, its edition, its folders and its power plans. The engine and the post-update
// tool load and save the same file, so both take it from here.
#include "config/ConfigSettings.h"

namespace cv {

SettingsEnvironment MachineSettingsEnvironment();

}  // namespace cv
