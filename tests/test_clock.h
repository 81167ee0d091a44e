// Monotonic time for tests that measure waits, the same clock the library's
// timers read.
#pragma once

#include <time.h>

#include <cstdint>

constexpr double kSlackMs = 250.0;  // upward slack for waits: the suite runs loaded

inline int64_t MonoUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

inline double MonoMs() { return static_cast<double>(MonoUs()) / 1000.0; }
