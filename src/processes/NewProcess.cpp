#include "processes/NewProcess.h"

#include "common/Format.h"
#include "common/WideString.h"
#include "platform/Processes.h"

namespace cv {

Verdict JudgeProcess(ProcessInfo& info, const JudgeOptions& options, std::wstring& user) {
    user = options.unknownUserText;
    const std::wstring& image = info.ImageName();
    if ((options.ignoreProblematicProcesses &&
         (info.Pid() <= 8 || (!image.empty() && IsProtectedImageName(image)))) ||
        EqualsIgnoreCase(image, L"start_protected_game.exe")) {
        return Verdict::IgnoredForLife;
    }
    // A process that is just starting may refuse to be opened or have no name yet.
    if (image.empty() || (options.ignoreProblematicProcesses && !info.CanOpen()) ||
        !info.IsAlive()) {
        return Verdict::NotYet;
    }
    user = info.UserName();
    bool userKnown = true;
    if (info.DomainName().empty()) {
        // No account from the token: the user of the process's session.
        std::wstring sessionUser;
        if (const auto session = platform::ProcessSessionId(info.Pid())) {
            sessionUser = platform::SessionUserName(*session).value_or(L"");
        }
        userKnown = !sessionUser.empty();
        user = userKnown ? sessionUser.substr(0, 512) : options.unknownUserText;
    }
    if (options.manageOnlyCurrentUser && !EqualsIgnoreCase(user, options.engineUser)) {
        return userKnown ? Verdict::IgnoredForLife : Verdict::NotYet;
    }
    return Verdict::Managed;
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
