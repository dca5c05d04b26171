#include "control/ServiceLaunch.h"

#include "platform/FileSecurity.h"
#include "platform/Registry.h"

namespace cv {

bool AllowElevatedChildren() {
    return platform::ReadRegistryDword(platform::RegistryRoot::LocalMachine, L"Software\\Corvane",
                                       L"AllowElevatedChildren")
               .value_or(0) != 0;
}

bool MayStartAsSystem(const std::wstring& programPath) {
    return !programPath.empty() && platform::OnlyAdministratorsCanWrite(programPath);
}

std::wstring ProgramOfCommandLine(const std::wstring& commandLine) {
    if (!commandLine.empty() && commandLine[0] == L'"') {
        const std::size_t end = commandLine.find(L'"', 1);
        return commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    return commandLine.substr(0, commandLine.find_first_of(L" \t"));
}

ServiceLaunchUser UserToLaunchAs(std::uint32_t processId, std::uint64_t createTime,
                                 const std::wstring& programPath) {
    ServiceLaunchUser result;
    result.user = platform::OpenProcessUser(processId, createTime);
    // A process of SYSTEM's own gives no user to fall back on: its program then has to be one
    // that only administrators can change.
    if (result.user && result.user->localSystem && !MayStartAsSystem(programPath)) {
        result.user.reset();
        result.untrustedProgram = true;
    }
    return result;
}

}  // namespace cv
