#include "updatetool/SystemPath.h"

#include <vector>

#include "common/WideString.h"
#include "platform/Power.h"
#include "platform/Registry.h"

namespace cv {

namespace {

using platform::RegistryRoot;

std::wstring FolderKey(const std::wstring& folder) {
    std::wstring key = ToLower(folder);
    if (!key.empty() && key.back() == L'\\') {
        key.pop_back();
    }
    return key;
}

std::vector<std::wstring> SplitEntries(const std::wstring& path) {
    std::vector<std::wstring> entries;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L';', start);
        entries.push_back(path.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos) {
            return entries;
        }
        start = end + 1;
    }
}

std::size_t CopiesOfFolder(const std::wstring& path, const std::wstring& folder) {
    std::size_t copies = 0;
    for (const std::wstring& entry : SplitEntries(path)) {
        copies += IsSameFolder(entry, folder) ? 1 : 0;
    }
    return copies;
}

}  // namespace

bool IsSameFolder(const std::wstring& entry, const std::wstring& folder) {
    return !entry.empty() && FolderKey(entry) == FolderKey(folder);
}

std::wstring PathWithFolderOnce(const std::wstring& path, const std::wstring& folder) {
    std::wstring text;
    bool first = true;
    for (const std::wstring& entry : SplitEntries(path)) {
        if (IsSameFolder(entry, folder)) {
            continue;
        }
        if (!first) {
            text += L';';
        }
        text += entry;
        first = false;
    }
    // After a path that ends with ";" the folder takes the place of that last, empty entry. It is
    // written as it always was: with a trailing backslash, then a semicolon.
    if (!text.empty() && text.back() != L';') {
        text += L';';
    }
    std::wstring entry = folder;
    if (!entry.empty() && entry.back() == L'\\') {
        entry.pop_back();
    }
    return text + entry + L"\\;";
}

bool AddToSystemPath(const std::wstring& folder) {
    if (folder.empty()) {
        return false;
    }
    const std::optional<platform::RegistryText> read =
        platform::ReadRegistryText(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path");
    if (!read &&
        platform::RegistryValuePresent(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path")) {
        return false;  // there but unreadable, or of another kind: not ours to replace
    }
    if (read && CopiesOfFolder(read->text, folder) == 1) {
        return true;  // nothing of the user's is rewritten for nothing
    }
    const platform::RegistryText written{PathWithFolderOnce(read ? read->text : L"", folder),
                                         read ? read->expand : true};
    if (!platform::WriteRegistryText(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path",
                                     written)) {
        return false;
    }
    const std::optional<platform::RegistryText> after =
        platform::ReadRegistryText(RegistryRoot::LocalMachine, kEnvironmentKey, L"Path");
    return after && CopiesOfFolder(after->text, folder) == 1;
}

}  // namespace cv
