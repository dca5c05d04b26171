#pragma once
// What reading corvex.ini drops, clamps or rewrites, told as the readers meet it. The engine's
// loader passes no sink and pays for nothing but a null test; the configuration check passes one
// and gets every finding in plain English.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace cv {

enum class FindingKind {
    kDropped,    // an entry, a key or a piece of a value is lost
    kClamped,    // a number beyond a bound is held at the bound
    kDefaulted,  // a value the reader does not know is replaced by a default
    kUnparsed,   // a number without digits, or text after a number that is ignored
    kRewritten,  // kept, but saved in another form or place than the one written
    kLimited,    // kept, but the engine may not apply it to every process
    kExposed,    // someone besides the administrators may change the file or its folder
};

class FindingSink {
  public:
    virtual void Report(FindingKind kind, std::wstring message) = 0;

  protected:
    ~FindingSink() = default;
};

// Puts a fixed text (such as "entry 3: ") before every message of an inner sink.
class PrefixedSink final : public FindingSink {
  public:
    PrefixedSink(FindingSink& inner, std::wstring prefix)
        : inner_(inner), prefix_(std::move(prefix)) {}
    void Report(FindingKind kind, std::wstring message) override {
        inner_.Report(kind, prefix_ + message);
    }

  private:
    FindingSink& inner_;
    std::wstring prefix_;
};

// A piece of the user's text for a message: in backticks, shortened when long.
std::wstring Quoted(std::wstring_view text);

}  // namespace cv
