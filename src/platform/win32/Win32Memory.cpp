// Memory status, the PDH free-memory counter and the system cache operations.
#include "platform/Memory.h"
#include "platform/win32/WindowsApi.h"
// After windows.h, with the settings WindowsApi.h gives it.
#include <pdh.h>

namespace cv::platform {

namespace {

using SetSystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG);

constexpr ULONG kSystemFileCacheInformation = 21;
constexpr ULONG kSystemMemoryListInformation = 80;
constexpr ULONG kMemoryPurgeStandbyList = 4;

// The 64-bit layout of the system file cache information record (64 bytes).
struct FileCacheInformation {
    SIZE_T currentSize;
    SIZE_T peakSize;
    ULONG pageFaultCount;
    SIZE_T minimumWorkingSet;
    SIZE_T maximumWorkingSet;
    SIZE_T currentSizeIncludingTransitionInPages;
    SIZE_T peakSizeIncludingTransitionInPages;
    ULONG transitionRePurposeCount;
    ULONG flags;
};
static_assert(sizeof(FileCacheInformation) == 64);

SetSystemInformationFn SetSystemInformation() {
    static const auto function =
        win32::LookUp<SetSystemInformationFn>(L"ntdll.dll", "NtSetSystemInformation");
    return function;
}

}  // namespace

std::optional<MemoryStatus> ReadMemoryStatus() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) {
        return std::nullopt;
    }
    return MemoryStatus{status.dwMemoryLoad, status.ullTotalPhys, status.ullAvailPhys};
}

struct FreeMemoryCounter::State {
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
};

FreeMemoryCounter::FreeMemoryCounter() : state_(std::make_unique<State>()) {}

FreeMemoryCounter::~FreeMemoryCounter() {
    Close();
}

bool FreeMemoryCounter::Open() {
    if (IsOpen()) {
        return true;
    }
    if (PdhOpenQueryW(nullptr, 0, &state_->query) != ERROR_SUCCESS) {
        state_->query = nullptr;
        return false;
    }
    if (PdhAddEnglishCounterW(state_->query, L"\\Memory\\Free & Zero Page List Bytes", 0,
                              &state_->counter) != ERROR_SUCCESS) {
        PdhCloseQuery(state_->query);
        state_->query = nullptr;
        state_->counter = nullptr;
        return false;
    }
    return true;
}

bool FreeMemoryCounter::IsOpen() const {
    return state_->query != nullptr && state_->counter != nullptr;
}

std::optional<std::uint64_t> FreeMemoryCounter::Read() {
    if (!IsOpen() || PdhCollectQueryData(state_->query) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    PDH_FMT_COUNTERVALUE value{};
    if (PdhGetFormattedCounterValue(state_->counter, PDH_FMT_LARGE, nullptr, &value) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value.largeValue);
}

void FreeMemoryCounter::Close() {
    if (state_->counter != nullptr) {
        PdhRemoveCounter(state_->counter);
        state_->counter = nullptr;
    }
    if (state_->query != nullptr) {
        PdhCloseQuery(state_->query);
        state_->query = nullptr;
    }
}

bool FlushSystemFileCache() {
    const auto set = SetSystemInformation();
    if (set == nullptr) {
        return false;
    }
    FileCacheInformation information{};
    information.minimumWorkingSet = static_cast<SIZE_T>(-1);
    information.maximumWorkingSet = static_cast<SIZE_T>(-1);
    return set(kSystemFileCacheInformation, &information, sizeof information) >= 0;
}

bool PurgeStandbyList() {
    const auto set = SetSystemInformation();
    if (set == nullptr) {
        return false;
    }
    ULONG command = kMemoryPurgeStandbyList;
    return set(kSystemMemoryListInformation, &command, sizeof command) >= 0;
}

}  // namespace cv::platform
