#include "processes/NewProcess.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Processes.h"

namespace cv {

bool IsManagedProcess(ProcessInfo& info, const JudgeOptions& options, std::wstring& user) {
    bool managed = true;
    if (options.ignoreProblematicProcesses && (info.Pid() <= 8 || !info.CanOpen())) {
        managed = false;
    }
    const std::wstring& image = info.ImageName();
    if (image.empty() || (options.ignoreProblematicProcesses && IsProtectedImageName(image)) ||
        EqualsIgnoreCase(image, L"start_protected_game.exe")) {
        managed = false;
    }
    if (managed && !info.IsAlive()) {
        managed = false;
    }
    user = options.unknownUserText;
    if (managed) {
        user = info.UserName();
        if (info.DomainName().empty()) {
            // No account from the token: the user of the process's session.
            std::wstring sessionUser;
            if (const auto session = platform::ProcessSessionId(info.Pid())) {
                sessionUser = platform::SessionUserName(*session).value_or(L"");
            }
            user = sessionUser.empty() ? options.unknownUserText : sessionUser.substr(0, 512);
        }
        if (options.manageOnlyCurrentUser && !EqualsIgnoreCase(user, options.engineUser)) {
            managed = false;
        }
    }
    return managed;
}

std::wstring ParentText(ProcessTable& table, std::uint32_t parentPid,
                        const std::wstring& parentTemplate) {
    if (parentPid == 0xFFFFFFFF || table.Empty()) {
        return {};
    }
    const ProcessRecord* parent = table.Find(parentPid);
    if (parent == nullptr) {
        return FormatText(L"Parent PID %d", parentPid);
    }
    if (parent->name.empty()) {
        return {};
    }
    return FormatText(parentTemplate, parent->name, parentPid);
}

}  // namespace cv
