// Downloads whose response stream broke are made again (retries.cpp). Only
// a connection that broke or stalled while a body streamed is retried; the
// waits are taken without the GIL, and Ctrl-C ends them.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

// How often a download whose stream broke is made, the first time included.
inline constexpr int kStreamAttempts = 5;

// True when `error` means that a connection broke or stalled while a
// response body streamed: urllib3's ProtocolError or ReadTimeoutError.
// (A request that fails before its answer is retried by the HTTP client.)
bool broken_stream(const tavrin::PendingError& error);

// Waits before attempt `attempt` (2 to kStreamAttempts) of a download: 0.2 s,
// then twice as long each time, as the client library backs off. Without
// the GIL; Ctrl-C ends the wait with KeyboardInterrupt.
void stream_retry_pause(int attempt);

// Runs `attempt(n)` for n = 1, 2, ... until it returns, raises anything
// but a broken stream, or has been made kStreamAttempts times; its result,
// or the last exception.
template <typename Attempt>
Ref with_stream_retries(Attempt&& attempt) {
    for (int n = 1;; ++n) {
        try {
            return attempt(n);
        } catch (const tavrin::PyErrOccurred&) {
            tavrin::PendingError error;
            if (n >= kStreamAttempts || !broken_stream(error)) error.reraise();
        }
        stream_retry_pause(n + 1);
    }
}

}  // namespace ostrel
