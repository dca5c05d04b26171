#pragma once
// What the new-process rules keep for one process.
namespace cv {

struct NewProcessState {
    bool disallowJudged = false;  // the disallowed rule has had its first look
    bool disallowErrorLogged = false;
    bool internetExplorerTerminated = false;
    bool internetExplorerErrorLogged = false;
};

}  // namespace cv
