// trellion.exe: the post-update tool.
#include "updatetool/PostUpdate.h"

extern "C" int __stdcall wWinMain(void* /*instance*/, void* /*previous*/, wchar_t* /*commandLine*/,
                                  int /*show*/) {
    return cv::RunTrellion();
}
