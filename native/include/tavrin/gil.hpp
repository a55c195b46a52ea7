// Waiting without the GIL.
#pragma once

#include "tavrin/ref.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tavrin {

// Releases the GIL for its lifetime; Python objects must not be touched meanwhile.
class GilReleased {
public:
    GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_;
};

// How often a thread that waits without the GIL looks for signals (Ctrl-C).
inline constexpr auto kSignalCheck = std::chrono::milliseconds(50);

// Sleeps for `duration` without the GIL; the exception of a signal that
// arrives meanwhile (KeyboardInterrupt) ends the sleep: PyErrOccurred.
inline void sleep_for(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= left.zero()) return;
        {
            GilReleased released;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSignalCheck));
        }
        if (PyErr_CheckSignals() < 0) throw PyErrOccurred();
    }
}

}  // namespace tavrin
