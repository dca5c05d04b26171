#include "processes/ServiceTable.h"

namespace cv {

void ServiceTable::MarkStale() {
    std::lock_guard lock(mutex_);
    stale_ = true;
}

bool ServiceTable::ServicesOfProcess(std::uint32_t processId,
                                     std::vector<platform::ServiceStatusRow>* services) {
    std::lock_guard lock(mutex_);
    if (rows_.empty() || stale_) {
        if (auto rows = platform::EnumerateWin32Services()) {
            rows_ = std::move(*rows);
            stale_ = false;
        }
    }
    bool found = false;
    for (const auto& row : rows_) {
        if (row.processId == processId) {
            found = true;
            if (services != nullptr) {
                services->push_back(row);
            }
        }
    }
    return found;
}

}  // namespace cv
