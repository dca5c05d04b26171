#include "SimFixture.h"
#include "actionlog/EngineTexts.h"
#include "common/Format.h"
#include "keeprunning/ProcessExit.h"

namespace cv {
namespace {

class ProcessExitTest : public test::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        LoadLanguageModule();
        LoadEngineMessageTexts();
    }
    static std::wstring Unit(std::uint32_t id) { return EngineText(id); }
};

TEST_F(ProcessExitTest, DurationsShowOnlyTheirNonZeroParts) {
    constexpr std::uint64_t kSecond = 10'000'000;
    const struct {
        std::uint64_t duration;
        std::wstring expected;
    } cases[] = {
        {0, L"0 " + Unit(684)},
        {kSecond / 2, L"0 " + Unit(684)},
        {(3600 + 2 * 60 + 5) * kSecond,
         L"1 " + Unit(456) + L" 2 " + Unit(683) + L" 5 " + Unit(684)},
        {3600 * kSecond, L"1 " + Unit(456) + L" "},
        // A month is four weeks and a year twelve months.
        {28ull * 86400 * kSecond, L"1 " + Unit(1245) + L" "},
        {(48ull * 7 * 86400 + 86400 + 1) * kSecond,
         L"1 " + Unit(1246) + L" 1 " + Unit(455) + L" 1 " + Unit(684)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatDuration(c.duration), c.expected) << c.duration;
    }
}

TEST_F(ProcessExitTest, AverageCpuIsAShareOfTheWholeMachineCutToTwoDecimals) {
    EXPECT_DOUBLE_EQ(AverageCpuPercent(1000, 1000, 4), 25.0);  // one of four processors, all along
    EXPECT_DOUBLE_EQ(AverageCpuPercent(1, 3, 1), 33.33);
    EXPECT_DOUBLE_EQ(AverageCpuPercent(0, 1, 8), 0.0);
    EXPECT_DOUBLE_EQ(AverageCpuPercent(5, 0, 8), 0.0);
    const std::wstring info =
        FormatText(LoadResourceString(952), FormatDuration(0), AverageCpuPercent(1000, 1000, 4));
    EXPECT_NE(info.find(L"25.00"), std::wstring::npos) << info;
}

}  // namespace
}  // namespace cv
