#pragma once
// The one place that decides the machine's power plan. Whoever holds the machine is on a stack,
// the most recent on top: the idle-time plan, performance mode, each program with an application
// plan, and at the bottom the start-with plan. The machine has the top holder's plan. When the
// top holder ends the machine goes to the plan of the next one down; when one below the top ends
// nothing switches; when the last ends the user's plan comes back. The user's plan is the one
// active when the first holder came, so a plan the user chose while nothing held the machine is
// the user's. Before any switch a recovery value holds the user's plan, so that the next start
// puts it back after a crash.
#include <cstdint>
#include <optional>
#include <vector>

#include "config/PowerPlanResolver.h"

namespace cv {

class PowerPlanService;

enum class PlanHolderKind { StartWith, Application, Performance, Idle };

// Which one of its kind: a process (id and creation time) for application plans, else none.
struct PlanHolderId {
    std::uint32_t pid = 0;
    std::uint64_t createTime = 0;
    bool operator==(const PlanHolderId&) const = default;
};

// What a holder's change did to the machine.
struct PlanOutcome {
    bool held = true;       // the holder is on the stack (false: no user's plan could be read)
    bool top = false;       // it concerned the top holder, so the machine's plan followed
    bool switched = false;  // a switch was asked of the system
    bool ok = true;         // the machine has the plan wanted: switched, or had it already
    PlanGuid plan;          // the plan the machine should have now
};

class PlanStack {
  public:
    void Attach(PowerPlanService& plans) { plans_ = &plans; }

    // The holder takes the machine with its plan: on top, except the start-with plan, which only
    // holds what nothing else holds and goes to the bottom. A holder already on the stack keeps
    // its place and takes the new plan (switched to when it is on top). The first holder notes
    // the user's plan: `usersPlan` when given, else the active plan; when neither is known,
    // nothing is held or switched.
    PlanOutcome Hold(PlanHolderKind kind, const PlanGuid& plan, PlanHolderId id = {},
                     const std::optional<PlanGuid>& usersPlan = std::nullopt);
    // The holder ends; nothing happens when it holds nothing.
    PlanOutcome Release(PlanHolderKind kind, PlanHolderId id = {});
    // At the engine's stop: back to the user's plan, and no recovery value stays.
    void ReleaseAll();

    bool Holds(PlanHolderKind kind, PlanHolderId id = {}) const;
    std::size_t Count(PlanHolderKind kind) const;
    bool Empty() const { return entries_.empty(); }
    // Whether a holder of another kind than this one holds the machine.
    bool HeldByOtherThan(PlanHolderKind kind) const;
    bool IsTop(PlanHolderKind kind, PlanHolderId id = {}) const;
    const PlanGuid& UsersPlan() const { return usersPlan_; }

  private:
    struct Entry {
        PlanHolderKind kind;
        PlanHolderId id;
        PlanGuid plan;
    };
    static constexpr std::size_t kKinds = 4;

    std::vector<Entry>::iterator Find(PlanHolderKind kind, PlanHolderId id);
    // Switches the machine to the plan unless it has it already.
    PlanOutcome MoveTo(const PlanGuid& plan);
    // Before a switch: one recovery value holds the user's plan.
    void KeepRecoveryValue();
    void ClearRecoveryValue(PlanHolderKind kind);

    PowerPlanService* plans_ = nullptr;
    std::vector<Entry> entries_;  // the bottom first
    PlanGuid usersPlan_;
    bool valueWritten_[kKinds] = {};
};

}  // namespace cv
