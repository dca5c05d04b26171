#include "control/SessionActivity.h"

#include "common/Ticks.h"
#include "platform/Clock.h"
#include "runtime/SessionAgent.h"

namespace cv {

std::vector<SessionActivity::ForegroundMove> SessionActivity::ReadSessionAgents(
    ProcessTable& table, std::vector<std::uint32_t>& agents) {
    std::vector<ForegroundMove> moves;
    std::erase_if(agents, [&](std::uint32_t pid) {
        const ProcessRecord* record = table.Find(pid);
        return record == nullptr || !record->isSessionAgent;
    });
    for (const std::uint32_t pid : agents) {
        ProcessRecord* record = table.Find(pid);
        SessionAgentReport report;
        if (!ParseSessionAgentCommandLine(record->info->CommandLine(true), report)) {
            continue;
        }
        NoteInputTick(report.LastInputTick);
        const auto known = sessionForeground_.find(report.SessionId);
        if (known == sessionForeground_.end()) {
            sessionForeground_[report.SessionId] = report.ForegroundProcessId;
            moves.push_back({report.SessionId, 0, report.ForegroundProcessId, true});
        } else if (known->second != report.ForegroundProcessId) {
            moves.push_back({report.SessionId, known->second, report.ForegroundProcessId, false});
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
    // Once the tick wraps, the latest input has the smaller number: the one less long ago wins.
    if (tick != 0 && (lastInputTick_ == 0 ||
                      TickIsMoreRecent(tick, lastInputTick_, Tick32(platform::TickCount64())))) {
        lastInputTick_ = tick;
    }
}

}  // namespace cv
