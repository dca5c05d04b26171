#include "actionlog/EngineTexts.h"

#include <map>
#include <mutex>

#include "texts/Language.h"

namespace cv {

namespace {

constexpr std::uint32_t kEngineTextIds[] = {
    214,  220, 221, 223, 570, 259, 868, 870, 265,  266, 264,  318,  268, 269, 270, 283,
    285,  284, 286, 399, 400, 412, 414, 448, 450,  844, 845,  846,  487, 493, 888, 889,
    586,  587, 588, 589, 590, 593, 594, 614, 615,  616, 617,  418,  676, 695, 696, 697,
    719,  720, 522, 793, 1103, 1105, 795, 801, 813, 814, 833, 834, 1260, 555, 853, 897,
    911,  1165, 952, 944, 459, 1246, 1245, 454, 455, 456, 683, 684};
constexpr std::uint32_t kMaskTemplateText = 911;

struct TextTable {
    std::mutex mutex;
    std::map<std::uint32_t, std::wstring> texts;
};

TextTable& Table() {
    static TextTable table;
    return table;
}

}  // namespace

void LoadEngineMessageTexts() {
    std::map<std::uint32_t, std::wstring> texts;
    for (const std::uint32_t id : kEngineTextIds) {
        texts[id] = LoadResourceString(id);
    }
    // The mask template must take the mask text, whatever the module says.
    if (texts[kMaskTemplateText].find(L'%') == std::wstring::npos) {
        texts[kMaskTemplateText] = L"%s";
    }
    std::lock_guard lock(Table().mutex);
    Table().texts = std::move(texts);
}

std::wstring EngineText(std::uint32_t id) {
    {
        std::lock_guard lock(Table().mutex);
        const auto it = Table().texts.find(id);
        if (it != Table().texts.end()) {
            return it->second;
        }
    }
    return LoadResourceString(id);
}

}  // namespace cv
