#pragma once
// Judging a process the engine sees for the first time, and the texts of its new-process record.
#include <cstdint>
#include <string>

#include "processes/ProcessInfo.h"
#include "processes/ProcessRecord.h"

namespace cv {

struct JudgeOptions {
    bool ignoreProblematicProcesses = false;
    bool manageOnlyCurrentUser = false;
    std::wstring engineUser;
    std::wstring unknownUserText;  // localized text 418
};

enum class Verdict {
    Managed,
    // A lasting reason: a system process, a protected image, another user's process when only
    // the engine's own user is managed.
    IgnoredForLife,
    // The process could not be opened, named or its user told right now; it may work later.
    NotYet,
};

// Whether the process is to be managed; the user it runs as goes to `user` (the unknown-user
// text when it is not managed or cannot be told).
Verdict JudgeProcess(ProcessInfo& info, const JudgeOptions& options, std::wstring& user);

// The parent part of a new-process record: "<name> (<pid>)"-like text for a tracked parent,
// empty for a tracked parent without a name, "Parent PID <id>" for an untracked one.
std::wstring ParentText(ProcessTable& table, std::uint32_t parentPid,
                        const std::wstring& parentTemplate);

// The same process is not logged as new twice in a row; it may be again after two others.
class NewProcessLogFilter {
  public:
    bool ShouldWrite(std::uint32_t pid) {
        if (pid == last_ || pid == previous_) {
            return false;
        }
        previous_ = last_;
        last_ = pid;
        return true;
    }

  private:
    std::uint32_t last_ = 0xFFFFFFFF;
    std::uint32_t previous_ = 0xFFFFFFFF;
};

}  // namespace cv
