#pragma once
// What the per-process defaults keep for one process: which attributes were evaluated since the
// rules last changed.
namespace cv {

struct DefaultsState {
    bool efficiencyModeEvaluated = false;
    bool affinityEvaluated = false;
    bool priorityEvaluated = false;
    bool boostEvaluated = false;
    bool memoryPriorityEvaluated = false;
    bool ioPriorityEvaluated = false;
    bool cpuSetsEvaluated = false;
    bool efficiencyModeLogged = false;
};

}  // namespace cv
