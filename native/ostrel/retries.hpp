// Downloads whose response stream broke, or whose content did not match
// the object's ETag, are made again (retries.cpp). Only a connection that
// broke or stalled while a body streamed is retried; an attempt that got far
// enough is not counted, since the next one goes on from where it ended. The
// waits are taken without the GIL, and Ctrl-C ends them.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

// How many attempts in a row may break having written less than
// kResumeMinimum, the first attempt included, before a download gives up.
inline constexpr int kStreamAttempts = 5;

// An attempt that wrote at least this much before its stream broke does not
// count toward kStreamAttempts.
inline constexpr long long kResumeMinimum = 1024 * 1024;

// True when `error` means that a connection broke or stalled while a
// response body streamed: urllib3's ProtocolError or ReadTimeoutError.
// (A request that fails before its answer is retried by the HTTP client.)
bool broken_stream(const tavrin::PendingError& error);

// Raises urllib3's ProtocolError for a response body that ended before its
// length: as a connection that broke.
[[noreturn]] void raise_short_body();

// Waits after the `failures`-th counted attempt in a row (1 to
// kStreamAttempts - 1): 0.2 s, then twice as long each time, as the client
// library backs off. Without the GIL; Ctrl-C ends the wait with
// KeyboardInterrupt.
void stream_retry_pause(int failures);

// True when `error` is tavrin_minio.IntegrityError (verify.cpp): the
// attempt's content did not match the object's ETag and was thrown away.
bool integrity_error(const tavrin::PendingError& error);

// Runs `attempt(written)` until it returns, raises anything but a broken
// stream or an IntegrityError, or kStreamAttempts attempts in a row failed
// that count: a broken stream that wrote less than kResumeMinimum bytes (as
// each reports in `written`, which starts at 0), or content that did not
// match (IntegrityError, whatever it wrote); its result, or the last
// exception. An attempt that broke having written more has shown that the
// link works: the count starts again, and the next attempt starts at once.
// Counted attempts are followed by stream_retry_pause().
template <typename Attempt>
Ref with_stream_retries(Attempt&& attempt) {
    for (int failures = 0;;) {
        long long written = 0;
        try {
            return attempt(written);
        } catch (const tavrin::PyErrOccurred&) {
            tavrin::PendingError error;
            if (integrity_error(error)) {
                if (++failures >= kStreamAttempts) error.reraise();
            } else if (!broken_stream(error)) {
                error.reraise();
            } else if (written >= kResumeMinimum) {
                failures = 0;
                continue;
            } else if (++failures >= kStreamAttempts) {
                error.reraise();
            }
        }
        stream_retry_pause(failures);
    }
}

}  // namespace ostrel
