// A program for the end-to-end tests to start: it sleeps for the milliseconds given as its first
// argument (1000 when none) and exits with code 0.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const long milliseconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return 0;
}
