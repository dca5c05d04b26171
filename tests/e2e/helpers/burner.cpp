// A program for the end-to-end tests that keeps one processor busy for the milliseconds given as
// its first argument, then idles for the milliseconds given as its second (0 when none), then
// exits with code 0.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const long burn = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    const long idle = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    const auto end = Clock::now() + std::chrono::milliseconds(burn);
    volatile unsigned long long counter = 0;
    while (Clock::now() < end) {
        for (int i = 0; i < 100000; ++i) {
            counter = counter + 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(idle));
    return 0;
}
