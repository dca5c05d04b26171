// Who may change a program the service starts as SYSTEM: portable, over ReadPathSecurity.
#include "platform/FileSecurity.h"

#include <algorithm>
#include <vector>

namespace cv::platform {

namespace {

// A full path: its root, "C:\" or "\\server\share", and the names below it.
struct FullPath {
    std::wstring root;
    std::vector<std::wstring> names;

    std::wstring Prefix(std::size_t count) const {
        std::wstring text = root;
        for (std::size_t i = 0; i < count; ++i) {
            if (text.back() != L'\\') {
                text += L'\\';
            }
            text += names[i];
        }
        return text;
    }
};

// '/' read as '\', "." and ".." resolved; none for a relative, drive-relative or device path.
std::optional<FullPath> SplitFullPath(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    FullPath full;
    std::size_t rest = 0;
    const bool letter = !path.empty() && ((path[0] >= L'a' && path[0] <= L'z') ||
                                          (path[0] >= L'A' && path[0] <= L'Z'));
    if (letter && path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
        full.root = path.substr(0, 3);
        rest = 3;
    } else if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
        const std::size_t serverEnd = path.find(L'\\', 2);
        if (serverEnd == std::wstring::npos || serverEnd == 2 ||
            path.substr(2, serverEnd - 2) == L"?" || path.substr(2, serverEnd - 2) == L".") {
            return std::nullopt;
        }
        rest = std::min(path.find(L'\\', serverEnd + 1), path.size());
        if (rest == serverEnd + 1) {
            return std::nullopt;
        }
        full.root = path.substr(0, rest);
    } else {
        return std::nullopt;
    }
    while (rest < path.size()) {
        const std::size_t end = std::min(path.find(L'\\', rest), path.size());
        std::wstring name = path.substr(rest, end - rest);
        if (name == L"..") {
            if (!full.names.empty()) {
                full.names.pop_back();
            }
        } else if (!name.empty() && name != L".") {
            full.names.push_back(std::move(name));
        }
        rest = end + 1;
    }
    return full;
}

}  // namespace

bool OnlyAdministratorsCanWrite(const std::wstring& path) {
    const auto full = SplitFullPath(path);
    if (!full) {
        return false;
    }
    // The program, its folder, then each folder above up to the drive's root or the share.
    for (std::size_t count = full->names.size(), level = 0;; --count, ++level) {
        const auto security = ReadPathSecurity(full->Prefix(count));
        if (!security ||
            FindOutsideWriter(*security, ProgramWriterRules(static_cast<int>(level)))) {
            return false;
        }
        if (count == 0) {
            return true;
        }
    }
}

}  // namespace cv::platform
