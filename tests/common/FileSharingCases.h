#pragma once
// How two opens of one file get along, as Windows decides; the simulated file system and the
// real one under Wine are held to the same table.
#include <cstdint>
#include <iterator>

#include "platform/Files.h"

namespace cv::test {

struct FileSharingCase {
    const char* name;
    std::uint32_t firstAccess;
    std::uint32_t firstShare;
    std::uint32_t secondAccess;
    std::uint32_t secondShare;
    bool violation;
};

inline constexpr std::uint32_t kShareAll =
    platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete;

inline constexpr FileSharingCase kFileSharingCases[] = {
    {"two readers", platform::kGenericRead, platform::kFileShareRead, platform::kGenericRead,
     platform::kFileShareRead, false},
    {"writer after a reader sharing reading", platform::kGenericRead, platform::kFileShareRead,
     platform::kGenericWrite, platform::kFileShareRead, true},
    {"reader not sharing writing after a writer", platform::kGenericWrite,
     platform::kFileShareRead, platform::kGenericRead, platform::kFileShareRead, true},
    {"reader sharing writing after a writer", platform::kGenericWrite, platform::kFileShareRead,
     platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite, false},
    {"two writers sharing everything", platform::kGenericWrite, kShareAll,
     platform::kGenericWrite, kShareAll, false},
    {"exclusive lock file", platform::kGenericWrite, 0, platform::kGenericRead, kShareAll, true},
    {"no access takes no part", 0, 0, platform::kGenericWrite, 0, false},
    {"no access after a writer", platform::kGenericWrite, 0, 0, 0, false},
};

}  // namespace cv::test
