#pragma once
// Which failures of one subject (a process, a rule applied to it, an engine-wide setting) have
// been told. A failure that repeats every cycle is logged when its episode begins and then not
// again until the episode ends: the attempt succeeded, or what was attempted changed. A subject
// that goes away takes its episodes with it. Up to 32 kinds per subject, one bit each.
#include <cstdint>

namespace cv {

class FailureEpisodes {
  public:
    // A failure of this kind: true when it begins an episode, and so is to be logged.
    template <typename Kind>
    bool Begins(Kind kind) {
        const std::uint32_t bit = Bit(kind);
        const bool begins = (open_ & bit) == 0;
        open_ |= bit;
        return begins;
    }
    // The attempt of this kind succeeded: its next failure begins a new episode.
    template <typename Kind>
    void End(Kind kind) {
        open_ &= ~Bit(kind);
    }
    // What was attempted changed (the rules were reloaded, another target was chosen).
    void EndAll() { open_ = 0; }
    template <typename Kind>
    bool IsOpen(Kind kind) const {
        return (open_ & Bit(kind)) != 0;
    }

  private:
    template <typename Kind>
    static std::uint32_t Bit(Kind kind) {
        return std::uint32_t{1} << (static_cast<unsigned>(kind) & 31u);
    }

    std::uint32_t open_ = 0;
};

}  // namespace cv
