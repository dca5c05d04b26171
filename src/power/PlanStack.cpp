#include "power/PlanStack.h"

#include <algorithm>

#include "powerplans/PowerPlanService.h"
#include "powerplans/RecoveryValues.h"

namespace cv {

namespace {

const wchar_t* RecoveryValueOf(PlanHolderKind kind) {
    switch (kind) {
        case PlanHolderKind::StartWith:
            return kStartWithRecoveryValue;
        case PlanHolderKind::Application:
            return kAppPowerProfileRecoveryValue;
        case PlanHolderKind::Performance:
            return kTarvelHighPerfRecoveryValue;
        case PlanHolderKind::Idle:
            return kDrowselRecoveryValue;
    }
    return kDrowselRecoveryValue;
}

std::size_t IndexOf(PlanHolderKind kind) {
    return static_cast<std::size_t>(kind);
}

}  // namespace

std::vector<PlanStack::Entry>::iterator PlanStack::Find(PlanHolderKind kind, PlanHolderId id) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& entry) { return entry.kind == kind && entry.id == id; });
}

bool PlanStack::Holds(PlanHolderKind kind, PlanHolderId id) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return entry.kind == kind && entry.id == id; });
}

std::size_t PlanStack::Count(PlanHolderKind kind) const {
    return static_cast<std::size_t>(std::count_if(
        entries_.begin(), entries_.end(), [&](const Entry& entry) { return entry.kind == kind; }));
}

bool PlanStack::HeldByOtherThan(PlanHolderKind kind) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return entry.kind != kind; });
}

bool PlanStack::IsTop(PlanHolderKind kind, PlanHolderId id) const {
    return !entries_.empty() && entries_.back().kind == kind && entries_.back().id == id;
}

PlanOutcome PlanStack::Hold(PlanHolderKind kind, const PlanGuid& plan, PlanHolderId id,
                            const std::optional<PlanGuid>& usersPlan) {
    PlanOutcome outcome;
    outcome.plan = plan;
    if (const auto held = Find(kind, id); held != entries_.end()) {
        held->plan = plan;
    } else {
        if (entries_.empty()) {
            // The plan to come back to when every holder has ended.
            const std::optional<PlanGuid> users = usersPlan ? usersPlan : plans_->ActivePlan();
            if (!users || users->IsZero()) {
                outcome.held = false;
                return outcome;
            }
            usersPlan_ = *users;
        }
        const Entry entry{kind, id, plan};
        if (kind == PlanHolderKind::StartWith) {
            entries_.insert(entries_.begin(), entry);
        } else {
            entries_.push_back(entry);
        }
    }
    if (!IsTop(kind, id)) {
        return outcome;
    }
    return MoveTo(plan);
}

PlanOutcome PlanStack::Release(PlanHolderKind kind, PlanHolderId id) {
    PlanOutcome outcome;
    outcome.held = false;
    const auto held = Find(kind, id);
    if (held == entries_.end()) {
        return outcome;
    }
    const bool wasTop = held + 1 == entries_.end();
    entries_.erase(held);
    const bool kindLeft = Count(kind) == 0;
    if (entries_.empty()) {
        if (wasTop) {
            outcome = MoveTo(usersPlan_);
        }
        // Nothing holds the machine: no value is needed, whatever the switch did.
        for (std::size_t index = 0; index < kKinds; ++index) {
            ClearRecoveryValue(static_cast<PlanHolderKind>(index));
        }
        outcome.held = false;
        return outcome;
    }
    if (kindLeft && valueWritten_[IndexOf(kind)]) {
        // The value goes with its holder; another keeps the user's plan for a crash.
        valueWritten_[IndexOf(kind)] = false;
        KeepRecoveryValue();
        valueWritten_[IndexOf(kind)] = true;
    }
    if (wasTop) {
        outcome = MoveTo(entries_.back().plan);
    }
    outcome.held = false;
    if (kindLeft) {
        ClearRecoveryValue(kind);
    }
    return outcome;
}

void PlanStack::ReleaseAll() {
    if (!entries_.empty()) {
        entries_.clear();
        MoveTo(usersPlan_);
    }
    // Also values a run that ended abnormally left and start-up could not apply.
    for (std::size_t index = 0; index < kKinds; ++index) {
        valueWritten_[index] = true;
        ClearRecoveryValue(static_cast<PlanHolderKind>(index));
    }
}

PlanOutcome PlanStack::MoveTo(const PlanGuid& plan) {
    PlanOutcome outcome;
    outcome.top = true;
    outcome.plan = plan;
    if (plans_->ActivePlan() == plan) {
        return outcome;
    }
    if (!entries_.empty()) {
        KeepRecoveryValue();
    }
    outcome.switched = true;
    outcome.ok = plans_->SetActivePlan(plan);
    return outcome;
}

void PlanStack::KeepRecoveryValue() {
    if (std::any_of(std::begin(valueWritten_), std::end(valueWritten_),
                    [](bool written) { return written; })) {
        return;
    }
    const PlanHolderKind kind = entries_.back().kind;
    valueWritten_[IndexOf(kind)] = StoreRecoveryValue(RecoveryValueOf(kind), usersPlan_);
}

void PlanStack::ClearRecoveryValue(PlanHolderKind kind) {
    if (valueWritten_[IndexOf(kind)]) {
        cv::ClearRecoveryValue(RecoveryValueOf(kind));
        valueWritten_[IndexOf(kind)] = false;
    }
}

}  // namespace cv
