#include "control/ProcessGuard.h"

#include "actionlog/ActionCodes.h"
#include "common/Format.h"
#include "platform/Processes.h"

namespace cv {

namespace {

constexpr std::uint32_t kIdleProcessId = 0;
constexpr std::uint32_t kSystemProcessId = 4;

const wchar_t* FamilyText(GuardFamily family) {
    switch (family) {
        case GuardFamily::kThrottle:
            return L"Throttle";
        case GuardFamily::kDisallowed:
            return L"Disallowed-process rule";
        case GuardFamily::kInternetExplorer:
            return L"Internet Explorer restriction";
        case GuardFamily::kInstanceLimit:
            return L"Instance limit";
        case GuardFamily::kInstanceBalancer:
            return L"Instance balancer";
        case GuardFamily::kWatchdog:
            return L"Watchdog rule";
        case GuardFamily::kCpuLimit:
            return L"CPU limit";
        case GuardFamily::kRestraint:
            return L"Levelon restraint";
        case GuardFamily::kTrimming:
            return L"Cullmark trimming";
        case GuardFamily::kDefaults:
            return L"Process default";
        case GuardFamily::kGroupExtender:
            return L"Processor group extender";
    }
    return L"Rule";
}

const wchar_t* ReasonText(Protection protection) {
    switch (protection) {
        case Protection::kEngine:
            return L"it is the engine itself";
        case Protection::kSystem:
            return L"it is the System or Idle process";
        case Protection::kCritical:
            return L"Windows cannot run without it";
        case Protection::kNone:
            break;
    }
    return L"";
}

// A mark that cannot be read now is read again at the next refusal question; one that could is
// the process's for life.
bool MarkedCritical(ProcessRecord& record) {
    if (record.criticalMark < 0 && record.info != nullptr) {
        if (const SharedProcessHandle handle = record.info->Handle()) {
            if (const auto critical = platform::IsProcessMarkedCritical(handle->Get())) {
                record.criticalMark = *critical ? 1 : 0;
            }
        }
    }
    return record.criticalMark == 1;
}

}  // namespace

Protection ProtectionOf(const GuardFacts& facts, GuardedChange change) {
    if (facts.enginePid != 0 && facts.pid == facts.enginePid) {
        return Protection::kEngine;
    }
    if (change == GuardedChange::kRestrict) {
        return Protection::kNone;
    }
    if (facts.pid == kIdleProcessId || facts.pid == kSystemProcessId) {
        return Protection::kSystem;
    }
    if (facts.markedCritical || IsSessionCriticalImageName(facts.imageName)) {
        return Protection::kCritical;
    }
    return Protection::kNone;
}

std::wstring RefusalText(GuardFamily family, Protection protection) {
    return FormatText(L"%s not applied to this process: %s", std::wstring(FamilyText(family)),
                      std::wstring(ReasonText(protection)));
}

bool GuardRefuses(const FeatureContext& context, ProcessRecord& record, GuardedChange change,
                  GuardFamily family) {
    // The ids decide alone for most questions; the image name (a copy) and the critical mark
    // are read only for a suspension or an end they do not settle.
    GuardFacts facts{record.pid, context.Engine().processId, {}, false};
    Protection protection = ProtectionOf(facts, change);
    std::wstring image;
    if (protection == Protection::kNone && change != GuardedChange::kRestrict) {
        image = record.info != nullptr ? record.info->ImageName() : record.name;
        facts.imageName = image;
        protection = ProtectionOf(facts, change);
        if (protection == Protection::kNone) {
            facts.markedCritical = MarkedCritical(record);
            protection = ProtectionOf(facts, change);
        }
    }
    if (protection == Protection::kNone) {
        return false;
    }
    if (record.refusals.Begins(family) && context.LoggingEnabled()) {
        context.Record(CV_ACTION_TOOK_PROTECTED_PROCESS_SPARED,
                       context.RecordFacts(record, RefusalText(family, protection)));
    }
    return true;
}

}  // namespace cv
