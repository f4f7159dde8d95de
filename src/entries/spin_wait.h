// Waiting without sleeping, for the worker threads: on a virtual machine a
// sleeping thread wakes late, and a chunk takes only tens of microseconds,
// so a thread that would wait for one looks again for a short while first.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

constexpr auto SPIN_LIMIT = std::chrono::microseconds(200);

// Looks at ready() until it is true or SPIN_LIMIT has passed, giving the
// processor to any other thread that wants it between looks.  Returns
// whether ready() became true.
template <typename Ready>
bool spin_until(Ready ready) {
    const auto limit = std::chrono::steady_clock::now() + SPIN_LIMIT;
    for (uint32_t n = 1;; ++n) {
        if (ready()) return true;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
        __builtin_ia32_pause();
#endif
        if (n % 64 == 0) {
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::yield();
        }
    }
}
