#pragma once
// The name a process is shown and matched by: the image name, or for the service host and
// rundll32 the image name with what they run.
#include <string>
#include <string_view>

namespace cv {

std::wstring DisplayName(std::wstring_view imageName, std::wstring_view commandLine);

}  // namespace cv
