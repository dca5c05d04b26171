// A program for the end-to-end tests that counts as fast as it can on one processor and publishes
// its count in the named shared memory given as its first argument (created by the test), so that
// a test can see how much it ran. It exits with code 0 after the milliseconds given as its second
// argument (60000 when none), or with code 2 when the shared memory does not exist.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    const DWORD lifetime = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 60000;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, argv[1]);
    if (mapping == nullptr) {
        return 2;
    }
    auto* shared =
        static_cast<volatile LONG64*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG64)));
    if (shared == nullptr) {
        return 2;
    }
    const ULONGLONG end = GetTickCount64() + lifetime;
    LONG64 count = 0;
    while (GetTickCount64() < end) {
        for (int i = 0; i < 10000; ++i) {
            ++count;
        }
        InterlockedExchange64(shared, count);
    }
    UnmapViewOfFile(const_cast<LONG64*>(shared));
    CloseHandle(mapping);
    return 0;
}
