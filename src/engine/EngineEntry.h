#pragma once
// The engine program: prepares the process, handles the command line, refuses to run twice,
// raises its own priorities and runs the control thread until it ends.
namespace cv {

// Always returns 0, the program's exit code.
int RunEngine();

}  // namespace cv
