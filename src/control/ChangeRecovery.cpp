#include "control/ChangeRecovery.h"

#include "actionlog/ActionCodes.h"
#include "common/Format.h"
#include "config/AffinityText.h"
#include "control/ProcessControl.h"
#include "platform/ProcessControl.h"
#include "platform/Processes.h"
#include "platform/System.h"

namespace cv {

namespace {

constexpr wchar_t kRecoveredPrefix[] = L"Put back after an earlier engine ended: ";

std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Describe(const JournalEntry& entry) {
    switch (entry.change) {
        case JournalChange::Suspension:
            return FormatText(L"%u suspension(s) resumed", entry.count);
        case JournalChange::PriorityClass:
            return L"priority class " + PriorityClassText(static_cast<std::uint32_t>(entry.value));
        case JournalChange::PriorityBoost:
            return entry.value != 0 ? L"priority boost enabled" : L"priority boost disabled";
        case JournalChange::Affinity:
            return L"affinity " + FormatAffinityText(entry.value);
        case JournalChange::EfficiencyMode:
            return L"efficiency mode " + EfficiencyModeText(entry.value != 0);
        case JournalChange::IoPriority:
            return L"I/O priority " + IoPriorityText(static_cast<std::int32_t>(entry.value));
    }
    return {};
}

std::uint32_t RestoredCode(const JournalEntry& entry) {
    switch (entry.change) {
        case JournalChange::Suspension:
            return CV_ACTION_TOOK_THROTTLE_ENDS;
        case JournalChange::PriorityClass:
        case JournalChange::PriorityBoost:
            return CV_ACTION_TOOK_LEVELON_END_PRIORITY_RESTORED;
        case JournalChange::Affinity:
            return entry.owner == JournalOwner::CpuLimit
                       ? CV_ACTION_TOOK_CPULIMIT_DONE
                       : CV_ACTION_TOOK_LEVELON_END_AFFINITY_RESTORED;
        case JournalChange::EfficiencyMode:
            return CV_ACTION_TOOK_EFFICIENCY_MODE_CHANGE;
        case JournalChange::IoPriority:
            return CV_ACTION_IO_PRIORITY_RESTORED;
    }
    return CV_ACTION_TOOK_PROCESS_CHANGE_ERROR;
}

// Undoes one entry on the process, which is known to be the one the entry names.
bool PutBack(const JournalEntry& entry, platform::RawHandle query) {
    switch (entry.change) {
        case JournalChange::Suspension: {
            const platform::UniqueHandle process =
                platform::OpenProcessHandle(entry.pid, platform::kProcessSuspendResume);
            if (!process) {
                return false;
            }
            for (std::uint32_t i = 0; i < entry.count; ++i) {
                if (!platform::ResumeProcessHandle(process.Get())) {
                    return false;
                }
            }
            return true;
        }
        case JournalChange::PriorityClass:
            return ChangePriorityClass(entry.pid, static_cast<std::uint32_t>(entry.value));
        case JournalChange::PriorityBoost:
            return ChangePriorityBoost(entry.pid, entry.value != 0);
        case JournalChange::Affinity:
            // A mask someone else set since stays.
            if (entry.applied != 0 && platform::GetProcessAffinity(query) != entry.applied) {
                return true;
            }
            return ChangeAffinity(entry.pid, entry.value);
        case JournalChange::EfficiencyMode:
            return ChangeEfficiencyMode(entry.pid, entry.value != 0);
        case JournalChange::IoPriority:
            return platform::SetIoPriority(entry.pid, static_cast<std::uint32_t>(entry.value));
    }
    return false;
}

}  // namespace

ChangeRecoveryResult RecoverLeftOverChanges(const FeatureContext& context,
                                            const std::vector<JournalEntry>& entries) {
    ChangeRecoveryResult result;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const JournalEntry& entry = *it;
        if (entry.change == JournalChange::Suspension && entry.count == 0) {
            continue;
        }
        const platform::UniqueHandle query =
            platform::OpenProcessHandle(entry.pid, platform::kProcessQueryLimitedInformation);
        const auto times = query ? platform::GetTimesOfProcess(query.Get())
                                 : std::optional<platform::ProcessTimes>();
        if (!times || times->create != entry.createTime || entry.pid == platform::OwnProcessId()) {
            ++result.gone;
            continue;
        }
        const bool restored = PutBack(entry, query.Get());
        if (restored) {
            ++result.restored;
        } else {
            result.kept.insert(result.kept.begin(), entry);
        }
        if (context.LoggingEnabled()) {
            ActionFacts facts;
            facts.pid = entry.pid;
            facts.path = platform::ProcessImagePath(query.Get());
            facts.name = facts.path.empty() ? FormatText(L"%u", entry.pid) : BaseName(facts.path);
            facts.info =
                restored ? kRecoveredPrefix + Describe(entry)
                         : L"Could not put back after an earlier engine ended: " + Describe(entry);
            context.Record(restored ? RestoredCode(entry) : CV_ACTION_TOOK_PROCESS_CHANGE_ERROR,
                           facts);
        }
    }
    return result;
}

ChangeRecoveryResult RecoverAndBeginJournal(const FeatureContext& context, bool isService) {
    const std::wstring valueName = JournalValueName(
        isService, platform::ProcessSessionId(platform::OwnProcessId()).value_or(0));
    const DecodedJournal leftOver = RecoveryJournal::ReadLeftOver(valueName);
    ChangeRecoveryResult result = RecoverLeftOverChanges(context, leftOver.entries);
    RecoveryJournal::Instance().Begin(valueName, result.kept);
    return result;
}

}  // namespace cv
