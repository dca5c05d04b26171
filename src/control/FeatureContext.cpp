#include "control/FeatureContext.h"

#include "actionlog/ActionLog.h"
#include "config/ConfigSettings.h"
#include "processes/ParentTree.h"

namespace cv {

bool FeatureContext::JudgeAgain() const {
    return cycle_.reloaded || cycle_.newProcess || settings_.Performance.ForcedMode;
}

bool FeatureContext::LogOn(bool featureSwitch) const {
    return featureSwitch && !settings_.Logging.LogDisable;
}

bool FeatureContext::LoggingEnabled() const {
    return !settings_.Logging.LogDisable;
}

void FeatureContext::Record(std::uint32_t actionId, const ActionFacts& facts) const {
    RecordAction(log_, &settings_, actionId, facts);
}

ActionFacts FeatureContext::RecordFacts(const ProcessRecord& record,
                                        const std::wstring& info) const {
    ActionFacts facts;
    facts.user = record.user;
    facts.name = record.name;
    facts.pid = record.pid;
    facts.info = info;
    facts.path = record.path;
    facts.commandLine = record.commandLine;
    return facts;
}

ActionFacts FeatureContext::EngineFacts(const std::wstring& info,
                                        bool withPathAndCommandLine) const {
    ActionFacts facts;
    facts.name = L"vigilor.exe";
    facts.pid = engine_.processId;
    facts.info = info;
    if (withPathAndCommandLine) {
        facts.path = engine_.imagePath;
        facts.commandLine = engine_.commandLine;
    }
    return facts;
}

MatchFacts FeatureContext::Facts(const ProcessRecord& record) const {
    return FactsOf(record, &tree_);
}

}  // namespace cv
