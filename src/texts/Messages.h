#pragma once
// The few messages of the engine and the post-update tool, shown in one kind of box: the
// standard buttons of the flags, optional extra buttons and an optional "don't ... again" check
// box. Where nobody can answer (a service, no interactive desktop, or a program told to stay
// silent) the text goes to the program's log instead and the box's safe answer is taken.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Handle.h"
#include "platform/MessageBox.h"

namespace cv {

enum class DontAgainBox { None, DontAskAgain, DontTellAgain, DontShowAgain };

struct Message {
    std::wstring text;
    std::wstring caption;
    std::uint32_t flags = platform::kMbOk;
    std::vector<platform::DialogButton> extraButtons;
    DontAgainBox dontAgain = DontAgainBox::None;
};

struct MessageAnswer {
    int button = platform::kIdCancel;
    bool dontAgain = false;
    bool shown = false;  // false: the text went to the log
};

// The text of a check box kind; empty for none.
std::wstring DontAgainText(DontAgainBox kind);

// The answer a message gets when nobody is asked: OK for a box that only informs, else Cancel
// (or No when the box has no Cancel), so nothing is done on a person's behalf.
int SafeAnswer(std::uint32_t flags);

// Where texts go when no box may be shown; until set they are dropped.
void SetMessageLogSink(std::function<void(const std::wstring&)> sink);
// The program decides no box may be shown (the engine as a service, a tool run unattended).
void SetMessagesSilenced(bool silenced);
bool MayShowMessages();

// Shows the message and waits for the answer, or logs it and returns the safe answer. The
// cancel event, when given, ends a shown box with Cancel.
MessageAnswer ShowMessage(const Message& message, platform::RawHandle cancelEvent = nullptr);

// Shows messages on threads of their own, so the thread that raises one (the engine's control
// thread) goes on at once. Stop (and the destructor) end every box still open and join its
// thread.
class DetachedMessages {
  public:
    DetachedMessages();
    DetachedMessages(const DetachedMessages&) = delete;
    DetachedMessages& operator=(const DetachedMessages&) = delete;
    ~DetachedMessages();

    // The answer is handed to the callback on the box's thread.
    void Show(Message message, std::function<void(const MessageAnswer&)> onAnswer = nullptr);
    // Boxes still open.
    std::size_t OpenCount();
    void Stop();

  private:
    platform::UniqueHandle stopEvent_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::size_t open_ = 0;
    bool stopped_ = false;
};

}  // namespace cv
