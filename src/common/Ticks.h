#pragma once
// Time spans on the engine's clocks, right across a wrap. Every place that compares or subtracts
// ticks goes through these.
//
// The 32-bit tick (GetTickCount, GetLastInputInfo, what the session agents report) wraps to 0
// every 49.7 days: a later tick can be the smaller number, so ticks are never compared as
// numbers. Their unsigned difference is the span between them for any span under 49.7 days.
// The 64-bit clocks (GetTickCount64, FILETIME) do not wrap, but the wall clock can be set back,
// so a start after now counts as no time instead of an enormous one.
#include <cstdint>

namespace cv {

// The 32-bit tick of a 64-bit tick count, as GetTickCount gives it at the same moment.
constexpr std::uint32_t Tick32(std::uint64_t tickCount64) {
    return static_cast<std::uint32_t>(tickCount64);
}

// Milliseconds from `since` to `now` on the 32-bit tick clock.
constexpr std::uint32_t TicksSince(std::uint32_t since, std::uint32_t now) {
    return now - since;
}

// How long before `now` a tick was taken. A tick up to a minute after `now` (read a moment later
// by another program) counts as taken now.
constexpr std::uint32_t TickAge(std::uint32_t tick, std::uint32_t now) {
    constexpr std::uint32_t kLaterReadingMs = 60'000;
    const std::uint32_t age = TicksSince(tick, now);
    return age > 0xFFFFFFFFu - kLaterReadingMs ? 0 : age;
}

// Whether tick `a` is more recent than tick `b`, both taken at most 49.7 days before `now`.
constexpr bool TickIsMoreRecent(std::uint32_t a, std::uint32_t b, std::uint32_t now) {
    return TickAge(a, now) < TickAge(b, now);
}

// Time from `since` to `now` on a 64-bit clock, in its own units; none when `since` is later.
constexpr std::uint64_t ElapsedSince(std::uint64_t since, std::uint64_t now) {
    return now > since ? now - since : 0;
}

// Whether a 32-bit counter (a tick, a cycle count) has reached `due`, which was set less than
// half the counter's range ahead.
constexpr bool CounterReached(std::uint32_t now, std::uint32_t due) {
    return static_cast<std::int32_t>(now - due) >= 0;
}

}  // namespace cv
