#pragma once
// The Win32 services of the machine and the processes they run in, rebuilt on use after new
// processes appeared.
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Services.h"

namespace cv {

class ServiceTable {
  public:
    void MarkStale();
    // True when at least one service runs in the process; the rows go to the list when given.
    bool ServicesOfProcess(std::uint32_t processId,
                           std::vector<platform::ServiceStatusRow>* services = nullptr);

  private:
    std::mutex mutex_;
    std::vector<platform::ServiceStatusRow> rows_;
    bool stale_ = true;
};

}  // namespace cv
