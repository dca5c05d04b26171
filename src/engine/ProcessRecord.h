#pragma once
// The engine's record of one managed process, owned by the process table while the process
// lives.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace cv {

struct ProcessRecord {
    std::uint32_t processId = 0;
    std::wstring name;  // lower-cased image name
    std::wstring path;  // lower-cased image path
    bool ended = false;
};

using ProcessTable = std::unordered_map<std::uint32_t, std::unique_ptr<ProcessRecord>>;

}  // namespace cv
