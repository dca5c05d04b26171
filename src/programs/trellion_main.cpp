// trellion.exe: the post-update tool.
extern "C" int __stdcall wWinMain(void* /*instance*/, void* /*previous*/, wchar_t* /*commandLine*/,
                                  int /*show*/) {
    return 0;
}
