#pragma once
// Which processes Levelon never restrains: the engine itself, a built-in list of system,
// security and game-launcher programs (unless the user overrides an entry), services, and the
// user's own exclusions.
#include <string_view>

#include "control/FeatureContext.h"

namespace cv {

// The built-in list, lower case; 89 image names.
bool IsBuiltInLevelonExclusion(std::wstring_view imageName);
// One of the browsers that get the foreground grace.
bool IsGraceBrowser(std::wstring_view imageName);
// A service process: svchost or services by its first 11 characters, or a service account.
bool IsServiceProcess(std::wstring_view imageName, std::wstring_view user);

// The built-in list with the user's overrides, and the user's own exclusions (by name, and by
// path too when MatchExclusionsByPathnameToo).
bool IsExcludedByRules(const FeatureContext& context, const ProcessRecord& record);
// The same, judged afresh without the answer the record kept.
bool JudgeExcludedByRules(const FeatureContext& context, const ProcessRecord& record);

}  // namespace cv
