#pragma once
// The rules about which processes may run at all: disallowed processes, the Internet Explorer
// restriction, instance limits and the instance balancer.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "config/RuleLists.h"
#include "control/FeatureContext.h"
#include "platform/Handle.h"

namespace cv {

class NewProcessPolicy {
  public:
    // At the start of every cycle, before a reload can mark the balancer rules as changed.
    void BeginCycle() { balancerRulesChanged_ = false; }
    // After a reload: whether the balancer rules changed since the previous one.
    void NoteReload(const FeatureContext& context);

    // A new process over an instance limit is held back (true, and the record is taken) to be
    // asked to close with the others once the snapshot is judged.
    bool HoldIfOverLimit(const FeatureContext& context, std::unique_ptr<ProcessRecord>& record);
    // Asks the held processes to close, together and bounded by the grace period and the stop
    // event, once for every pair each exceeds; gives back the records of those that could not
    // be closed.
    std::vector<std::unique_ptr<ProcessRecord>> CloseExcessInstances(const FeatureContext& context,
                                                                     platform::RawHandle stopEvent);
    // Internet Explorer is ended unless one of the exemption processes runs.
    void ApplyInternetExplorerRestriction(const FeatureContext& context);
    // Spreads the instances of each balancer rule over processor blocks when their set changed.
    void BalanceInstances(const FeatureContext& context);
    // On a record's first pass and whenever rules are judged again.
    void CheckDisallowed(const FeatureContext& context, ProcessRecord& record, bool judgeAgain);

  private:
    // Balancer rule position (map order) -> the pids it spread over blocks last time.
    std::map<std::size_t, std::set<std::uint32_t>> balancedSets_;
    // The balancer rules as last loaded, to tell on a reload whether they changed.
    std::optional<InstanceBalancerMap> balancerRules_;
    bool balancerRulesChanged_ = false;
    // A new process over its limits, with the number of limit pairs it exceeds: each pair asks
    // it to close, until one succeeds.
    struct ExcessInstance {
        std::unique_ptr<ProcessRecord> record;
        std::size_t exceededPairs = 0;
    };
    std::vector<ExcessInstance> excessInstances_;
};

}  // namespace cv
