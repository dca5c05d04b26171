#include "updatetool/LogMigration.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Files.h"
#include "platform/System.h"

namespace cv {

namespace {

constexpr const wchar_t* kOldLogNames[] = {L"corvex.log.csv", L"corvex.log"};
constexpr const wchar_t* kLeftovers[] = {L"\\cv4sfx.exe", L"\\cv4sfx_server.exe",
                                         L"\\cv_rsrc_temp.dll", L"\\cv_debug.log"};

}  // namespace

void DeleteLogGenerations(const std::wstring& baseName, const std::wstring& folder) {
    const std::wstring path = FormatText(L"%s\\%s", folder, baseName);
    if (platform::PathExists(path)) {
        platform::DeleteFileAt(path);
    }
    for (unsigned generation = 0;; ++generation) {
        const std::wstring older = FormatText(L"%s\\%s.%u", folder, baseName, generation);
        if (!platform::PathExists(older) || !platform::DeleteFileAt(older)) {
            return;
        }
    }
}

void RetireOldLogs(const std::wstring& logFolder) {
    for (const wchar_t* name : kOldLogNames) {
        DeleteLogGenerations(name, logFolder);
    }
    std::wstring oldFolder =
        platform::SpecialFolderPath(platform::SpecialFolder::RoamingAppData, false);
    if (oldFolder.empty()) {
        return;
    }
    if (!EndsWith(oldFolder, L"\\")) {
        oldFolder += L'\\';
    }
    oldFolder += L"Corvane\\logs";
    if (!platform::PathExists(oldFolder)) {
        return;
    }
    for (const wchar_t* name : kOldLogNames) {
        DeleteLogGenerations(name, oldFolder);
    }
    platform::RemoveEmptyFolder(oldFolder);
}

void DeleteInstallerLeftovers() {
    std::wstring folder =
        platform::SpecialFolderPath(platform::SpecialFolder::RoamingAppData, true);
    if (folder.empty()) {
        const std::wstring image = platform::OwnImagePath();
        folder = image.substr(0, image.find_last_of(L'\\'));
    } else {
        platform::CreateFolderTree(folder);
        folder += L"\\Corvane";
        platform::CreateFolderTree(folder);
    }
    for (const wchar_t* leftover : kLeftovers) {
        platform::DeleteFileAt(folder + leftover);
    }
}

}  // namespace cv
