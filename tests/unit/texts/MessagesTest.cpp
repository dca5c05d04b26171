// Messages are shown where a person can answer them and logged everywhere else.
#include <gtest/gtest.h>

#include <atomic>

#include "SimFixture.h"
#include "texts/Messages.h"

namespace cv::test {
namespace {

class MessagesTest : public SimTest {
  protected:
    void TearDown() override {
        SetMessagesSilenced(false);
        SetMessageLogSink(nullptr);
    }
};

TEST_F(MessagesTest, NobodyThereMeansLoggedAndTheSafeAnswer) {
    struct Case {
        bool silenced;
        bool desktop;
        std::uint32_t flags;
        bool shown;
        int button;
    };
    const Case cases[] = {
        {false, true, platform::kMbYesNoCancel, true, platform::kIdYes},
        {true, true, platform::kMbYesNoCancel, false, platform::kIdCancel},
        {false, false, platform::kMbYesNo, false, platform::kIdNo},
        {false, false, platform::kMbOk, false, platform::kIdOk},
    };
    for (const Case& c : cases) {
        SetUp();
        std::vector<std::wstring> logged;
        SetMessageLogSink([&logged](const std::wstring& text) { logged.push_back(text); });
        SetMessagesSilenced(c.silenced);
        machine().setup.interactiveDesktop = c.desktop;
        machine().messageBoxAnswers.push_back(platform::kIdYes);
        const MessageAnswer answer = ShowMessage({L"text", L"Corvane", c.flags});
        EXPECT_EQ(answer.shown, c.shown);
        EXPECT_EQ(answer.button, c.button);
        EXPECT_EQ(machine().messageBoxes.size(), c.shown ? 1u : 0u);
        EXPECT_EQ(logged, c.shown ? std::vector<std::wstring>{}
                                  : std::vector<std::wstring>{L"Corvane: text"});
    }
}

TEST_F(MessagesTest, ExtraButtonsAndCheckBoxReachTheBox) {
    machine().messageBoxAnswers.push_back(100);
    machine().setup.checkBoxAnswers.push_back(true);
    Message message{
        L"text", L"Corvane", platform::kMbOk, {{100, L"Later"}}, DontAgainBox::DontAskAgain};
    const MessageAnswer answer = ShowMessage(message);
    EXPECT_EQ(answer.button, 100);
    EXPECT_TRUE(answer.dontAgain);
    ASSERT_EQ(machine().messageBoxes.size(), 1u);
    EXPECT_EQ(machine().messageBoxes[0].extraButtons, std::vector<std::wstring>{L"Later"});
    EXPECT_EQ(machine().messageBoxes[0].checkBoxText, L"Don't ask me again");
}

TEST_F(MessagesTest, DetachedBoxAnswersOnItsOwnThreadAndStopJoins) {
    std::atomic<int> answered{0};
    {
        DetachedMessages boxes;
        boxes.Show({L"text", L"Corvane", platform::kMbOk},
                   [&answered](const MessageAnswer& answer) { answered = answer.button; });
        boxes.Stop();
        EXPECT_EQ(boxes.OpenCount(), 0u);
        // Nothing is shown once stopped.
        boxes.Show({L"late", L"Corvane", platform::kMbOk});
    }
    EXPECT_NE(answered.load(), 0);
    EXPECT_EQ(machine().messageBoxes.size(), 1u);
}

}  // namespace
}  // namespace cv::test
