#pragma once

#include <cstdint>
#include <ctime>

// The holder's deadlines (the kill after a hang-up, the drain, the readers' leave) in milliseconds of a clock
// that a change of the wall clock does not move.
inline std::int64_t monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
