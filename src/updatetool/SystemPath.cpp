#include "updatetool/SystemPath.h"

#include "platform/Registry.h"

namespace cv {

namespace {

using platform::RegistryRoot;

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    if (from.empty()) {
        return;
    }
    for (std::size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

std::wstring ReadSystemPath() {
    return platform::ReadRegistryExpandString(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path")
        .value_or(L"");
}

}  // namespace

std::wstring PathWithoutFolder(const std::wstring& path, const std::wstring& folder) {
    std::wstring text = path;
    ReplaceAll(text, folder + L"\\", L"");
    ReplaceAll(text, folder, L"");
    ReplaceAll(text, folder + L"\\", L"");
    text += L';';
    ReplaceAll(text, L";;", L";");
    ReplaceAll(text, L";\\;", L";");
    return text;
}

std::wstring PathWithFolder(const std::wstring& path, const std::wstring& folder) {
    std::wstring text = path + L";" + folder + L"\\;";
    ReplaceAll(text, L";;", L";");
    return text;
}

bool WriteSystemPath(const std::wstring& text) {
    return platform::WriteRegistryExpandString(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path",
                                               text);
}

bool RemoveFromSystemPath(const std::wstring& folder) {
    const std::wstring path = ReadSystemPath();
    if (path.empty()) {
        return true;
    }
    return WriteSystemPath(PathWithoutFolder(path, folder));
}

bool AddToSystemPath(const std::wstring& folder) {
    RemoveFromSystemPath(folder);
    const std::wstring path = ReadSystemPath();
    if (path.empty()) {
        return true;
    }
    return WriteSystemPath(PathWithFolder(path, folder));
}

}  // namespace cv
