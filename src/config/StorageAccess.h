#pragma once
// Whether someone besides the administrators and SYSTEM may change the files and folders the
// service takes its rules from, or its log. Whoever may write corvex.ini or .profile, or create
// them in a folder where they are missing, chooses what an engine running as SYSTEM ends, starts
// and writes. The engine only tells; it never changes permissions it did not set.
#include <map>
#include <string>
#include <vector>

#include "config/ConfigCheck.h"

namespace cv {

// "may be changed by Users (S-1-5-32-545)" or "is owned by S-1-5-21-..."; empty when the path
// is missing, its security cannot be read, or only administrators, SYSTEM and TrustedInstaller
// may change it.
std::wstring OutsideWriterProblem(const std::wstring& path);

// What decides the rules, in this order without repeats: the folder of the profile file, the
// profile file, the folder of the configuration file (the profile's folder when one is active)
// and the configuration file.
std::vector<std::wstring> ConfigurationPaths(const std::wstring& configPath,
                                             const std::wstring& profilePath);

// One finding, at the top of the report, for each path that someone else may change.
std::vector<ConfigFinding> OutsideWriterFindings(const std::vector<std::wstring>& paths);

// Tells each problem once while it lasts: again only after the path was found in order, was
// not looked at, or its problem changed.
class OutsideWriterWarnings {
  public:
    // The warnings to record now, for the paths as they are.
    std::vector<std::wstring> Look(const std::vector<std::wstring>& paths);

  private:
    std::map<std::wstring, std::wstring> told_;  // lower-cased path -> problem
};

}  // namespace cv
