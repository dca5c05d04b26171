#pragma once
// The engine's and the tool's few message boxes.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handle.h"

namespace cv::platform {

constexpr std::uint32_t kMbOk = 0x00000000;
constexpr std::uint32_t kMbYesNo = 0x00000004;
constexpr std::uint32_t kMbIconError = 0x00000010;
constexpr std::uint32_t kMbIconQuestion = 0x00000020;
constexpr std::uint32_t kMbIconWarning = 0x00000030;
constexpr std::uint32_t kMbIconInformation = 0x00000040;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

constexpr std::uint32_t kMbOkCancel = 0x00000001;
constexpr std::uint32_t kMbYesNoCancel = 0x00000003;
constexpr std::uint32_t kMbSystemModal = 0x00001000;
constexpr std::uint32_t kMbTopmost = 0x00040000;
constexpr std::uint32_t kMbServiceNotification = 0x00200000;

struct DialogButton {
    int id = 0;
    std::wstring text;
};

// A box built from an in-memory dialog template: the standard buttons of the flags (MB_OK,
// MB_OKCANCEL, MB_YESNO, MB_YESNOCANCEL), the icon of the flags, extra buttons after them and an
// optional check box. It ends with IDCANCEL as soon as the cancel event (if any) is set, so its
// owner can always end it.
struct DialogBoxRequest {
    std::wstring text;
    std::wstring caption;
    std::uint32_t flags = 0;
    std::vector<DialogButton> extraButtons;
    std::wstring checkBoxText;  // empty: no check box
    RawHandle cancelEvent = nullptr;
};
struct DialogBoxAnswer {
    int button = kIdCancel;
    bool checked = false;
};
DialogBoxAnswer ShowDialogBox(const DialogBoxRequest& request);

// A person can see boxes this program shows: it runs outside session 0 on a visible window
// station.
bool HasInteractiveDesktop();

}  // namespace cv::platform
