#include "control/SessionActivity.h"

#include "services/SessionAgent.h"

namespace cv {

std::vector<SessionActivity::ForegroundMove> SessionActivity::ReadSessionAgents(
    ProcessTable& table) {
    std::vector<ForegroundMove> moves;
    for (auto& [pid, record] : table) {
        if (!record->isSessionAgent) {
            continue;
        }
        SessionAgentReport report;
        if (!ParseSessionAgentCommandLine(record->info->CommandLine(true), report)) {
            continue;
        }
        NoteInputTick(report.LastInputTick);
        const auto known = sessionForeground_.find(report.SessionId);
        if (known == sessionForeground_.end()) {
            sessionForeground_[report.SessionId] = report.ForegroundProcessId;
        } else if (known->second != report.ForegroundProcessId) {
            moves.push_back({known->second, report.ForegroundProcessId});
            known->second = report.ForegroundProcessId;
        }
    }
    return moves;
}

bool SessionActivity::IsSessionForeground(std::uint32_t pid) const {
    for (const auto& [session, foreground] : sessionForeground_) {
        if (foreground == pid) {
            return true;
        }
    }
    return false;
}

void SessionActivity::NoteInputTick(std::uint32_t tick) {
    if (tick > lastInputTick_) {
        lastInputTick_ = tick;
    }
}

}  // namespace cv
