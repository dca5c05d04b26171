#include "services/CrashReports.h"

namespace cv {

void InstallCrashFilter() {}

}  // namespace cv
