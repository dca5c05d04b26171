// A program for the end-to-end tests to start: it sleeps for the milliseconds given as its first
// argument (1000 when none) and exits with code 0. A second argument holds that many MiB of
// touched memory in its working set while it sleeps.
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const long milliseconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    const long mebibytes = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    std::vector<char> held(static_cast<std::size_t>(mebibytes > 0 ? mebibytes : 0) << 20);
    for (std::size_t at = 0; at < held.size(); at += 4096) {
        held[at] = 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return held.empty() ? 0 : held[0] - 1;
}
