#include "powerplans/MachineEnvironment.h"

#include "control/ProcessorTopology.h"
#include "platform/Files.h"
#include "platform/ProcessControl.h"
#include "platform/System.h"
#include "powerplans/PlanResolver.h"

namespace cv {

SettingsEnvironment MachineSettingsEnvironment() {
    SettingsEnvironment environment;
    // A hybrid machine has defaults of its own, and a first start writes them into the file.
    environment.processors = BuildProcessorTopology().Facts();
    environment.serverEdition = !platform::IsWorkstationProduct();
    environment.windowsFolder = platform::WindowsFolder();
    // Without plans, plan names would read as unresolved and be lost at the next save.
    environment.powerPlans = MakePowerPlanResolver();
    environment.executablePath = platform::OwnImagePath();
    environment.fileExists = [](const std::wstring& path) { return platform::PathExists(path); };
    return environment;
}

}  // namespace cv
