#include "config/StorageAccess.h"

#include <algorithm>

#include "common/Format.h"
#include "common/WideString.h"
#include "platform/FileSecurity.h"

namespace cv {

namespace {

std::wstring AccountText(const std::wstring& sid) {
    struct Known {
        const wchar_t* sid;
        const wchar_t* name;
    };
    static constexpr Known kKnown[] = {
        {platform::kSidUsers, L"Users"},
        {platform::kSidAuthenticatedUsers, L"Authenticated Users"},
        {platform::kSidEveryone, L"Everyone"},
        {L"S-1-5-4", L"INTERACTIVE"},
    };
    for (const Known& known : kKnown) {
        if (sid == known.sid) {
            return FormatText(L"%s (%s)", known.name, sid);
        }
    }
    return sid;
}

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos || slash == 0 ? std::wstring() : path.substr(0, slash);
}

std::wstring WarningText(const std::wstring& path, const std::wstring& problem) {
    return FormatText(
        L"Warning: %s %s, not only by administrators and SYSTEM: whoever may "
        L"change it chooses what this engine, running as a service, does. Its "
        L"permissions are left as they are",
        path, problem);
}

}  // namespace

std::wstring OutsideWriterProblem(const std::wstring& path) {
    const auto security = platform::ReadPathSecurity(path);
    if (!security) {
        return {};
    }
    const auto writer = platform::FindOutsideWriter(*security);
    if (!writer) {
        return {};
    }
    return (writer->owner ? L"is owned by " : L"may be changed by ") + AccountText(writer->account);
}

std::vector<std::wstring> ConfigurationPaths(const std::wstring& configPath,
                                             const std::wstring& profilePath) {
    std::vector<std::wstring> paths;
    for (const std::wstring& path :
         {FolderOf(profilePath), profilePath, FolderOf(configPath), configPath}) {
        const bool listed = std::any_of(paths.begin(), paths.end(), [&path](const auto& other) {
            return EqualsIgnoreCase(other, path);
        });
        if (!path.empty() && !listed) {
            paths.push_back(path);
        }
    }
    return paths;
}

std::vector<ConfigFinding> OutsideWriterFindings(const std::vector<std::wstring>& paths) {
    std::vector<ConfigFinding> findings;
    for (const std::wstring& path : paths) {
        if (const std::wstring problem = OutsideWriterProblem(path); !problem.empty()) {
            findings.push_back({L"", L"", 0, FindingKind::kExposed, WarningText(path, problem)});
        }
    }
    return findings;
}

std::vector<std::wstring> OutsideWriterWarnings::Look(const std::vector<std::wstring>& paths) {
    std::vector<std::wstring> warnings;
    std::map<std::wstring, std::wstring> found;
    for (const std::wstring& path : paths) {
        const std::wstring problem = OutsideWriterProblem(path);
        if (problem.empty()) {
            continue;
        }
        const std::wstring key = ToLower(path);
        const auto told = told_.find(key);
        if (told == told_.end() || told->second != problem) {
            warnings.push_back(WarningText(path, problem));
        }
        found.emplace(key, problem);
    }
    told_ = std::move(found);
    return warnings;
}

}  // namespace cv
