#pragma once
// Shared memory the counter helper (helpers/counter.cpp) publishes its count in, so that a test
// can see how much the helper ran.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

namespace cv::e2e {

class SharedCount {
  public:
    explicit SharedCount(const std::wstring& name) : name_(name) {
        mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(LONG64), name.c_str());
        if (mapping_ != nullptr) {
            view_ = static_cast<LONG64*>(
                MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(LONG64)));
        }
    }
    SharedCount(const SharedCount&) = delete;
    SharedCount& operator=(const SharedCount&) = delete;
    ~SharedCount() {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
        if (mapping_ != nullptr) {
            CloseHandle(mapping_);
        }
    }
    bool Valid() const { return view_ != nullptr; }
    const std::wstring& Name() const { return name_; }
    LONG64 Read() const { return InterlockedCompareExchange64(view_, 0, 0); }
    // How far the count grows in this time.
    LONG64 GrowthOver(std::chrono::milliseconds time) const {
        const LONG64 before = Read();
        std::this_thread::sleep_for(time);
        return Read() - before;
    }

  private:
    std::wstring name_;
    HANDLE mapping_ = nullptr;
    LONG64* view_ = nullptr;
};

}  // namespace cv::e2e
