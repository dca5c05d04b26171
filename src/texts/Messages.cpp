#include "texts/Messages.h"

#include <atomic>

#include "platform/KernelObjects.h"

namespace cv {

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::wstring&)>& Sink() {
    static std::function<void(const std::wstring&)> sink;
    return sink;
}

std::atomic<bool> silenced{false};

}  // namespace

std::wstring DontAgainText(DontAgainBox kind) {
    switch (kind) {
        case DontAgainBox::DontAskAgain:
            return L"Don't ask me again";
        case DontAgainBox::DontTellAgain:
            return L"Don't tell me again";
        case DontAgainBox::DontShowAgain:
            return L"Don't show again";
        default:
            return {};
    }
}

int SafeAnswer(std::uint32_t flags) {
    switch (flags & 0xF) {
        case platform::kMbOk:
            return platform::kIdOk;
        case platform::kMbYesNo:
            return platform::kIdNo;
        default:
            return platform::kIdCancel;
    }
}

void SetMessageLogSink(std::function<void(const std::wstring&)> sink) {
    std::lock_guard lock(SinkMutex());
    Sink() = std::move(sink);
}

void SetMessagesSilenced(bool value) {
    silenced = value;
}

bool MayShowMessages() {
    return !silenced && platform::HasInteractiveDesktop();
}

MessageAnswer ShowMessage(const Message& message, platform::RawHandle cancelEvent) {
    MessageAnswer answer;
    answer.button = SafeAnswer(message.flags);
    if (!MayShowMessages()) {
        std::lock_guard lock(SinkMutex());
        if (Sink()) {
            Sink()(message.caption.empty() ? message.text : message.caption + L": " + message.text);
        }
        return answer;
    }
    platform::DialogBoxRequest request{message.text,
                                       message.caption,
                                       message.flags,
                                       message.extraButtons,
                                       DontAgainText(message.dontAgain),
                                       cancelEvent};
    const platform::DialogBoxAnswer shown = platform::ShowDialogBox(request);
    answer.button = shown.button;
    answer.dontAgain = shown.checked;
    answer.shown = true;
    return answer;
}

DetachedMessages::DetachedMessages()
    : stopEvent_(platform::CreateEventObject(L"", true, false, platform::ObjectSecurity::Default)) {
}

DetachedMessages::~DetachedMessages() {
    Stop();
}

void DetachedMessages::Show(Message message, std::function<void(const MessageAnswer&)> onAnswer) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return;
    }
    ++open_;
    threads_.emplace_back([this, message = std::move(message), onAnswer = std::move(onAnswer)] {
        const MessageAnswer answer = ShowMessage(message, stopEvent_.Get());
        if (onAnswer) {
            onAnswer(answer);
        }
        std::lock_guard inner(mutex_);
        --open_;
    });
}

std::size_t DetachedMessages::OpenCount() {
    std::lock_guard lock(mutex_);
    return open_;
}

void DetachedMessages::Stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        threads.swap(threads_);
    }
    if (stopEvent_) {
        platform::SetEventObject(stopEvent_.Get());
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

}  // namespace cv
