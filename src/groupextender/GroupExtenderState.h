#pragma once
// Whether a group-extender worker was started for the process. A worker that ended by itself still
// counts, so it is not started again while the process keeps matching.
namespace cv {

struct GroupExtenderState {
    bool started = false;
};

}  // namespace cv
