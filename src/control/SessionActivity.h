#pragma once
// What the engine knows of the users' sessions: the latest input anywhere, and the foreground
// process of each session as its session agent reports it.
#include <cstdint>
#include <map>
#include <vector>

#include "processes/ProcessRecord.h"

namespace cv {

class SessionActivity {
  public:
    // A session whose foreground moved from one process to another since the last report, or
    // (firstReport) a session reported for the first time since the map was last emptied, whose
    // previous foreground is not known here.
    struct ForegroundMove {
        std::int32_t sessionId = 0;
        std::uint32_t fromPid = 0;
        std::uint32_t toPid = 0;
        bool firstReport = false;
    };

    // Reads the channel of every session agent in the table (agents rewrite their command line,
    // so it is read afresh each time) and raises the last input tick to theirs. `agents` holds
    // the ids of the agents' records, so that the table is not walked; ids whose record is gone
    // leave it.
    std::vector<ForegroundMove> ReadSessionAgents(ProcessTable& table,
                                                  std::vector<std::uint32_t>& agents);
    // The engine's own session's last input tick.
    void NoteInputTick(std::uint32_t tick);
    std::uint32_t LastInputTick() const { return lastInputTick_; }
    // The process is in the foreground of some session, as its agent reports.
    bool IsSessionForeground(std::uint32_t pid) const;
    // Forgets every session's foreground process; the next report of each session comes back
    // as a first report.
    void ClearForegroundMap() { sessionForeground_.clear(); }

  private:
    std::uint32_t lastInputTick_ = 0;
    std::map<std::int32_t, std::uint32_t> sessionForeground_;  // session id -> process id
};

}  // namespace cv
