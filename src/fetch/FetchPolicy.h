#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fetch/Fetcher.h"

namespace orvanel {

// The fetch policy: plain functions of what a transfer knows, with no network in them.

// Whether an answer with this status may be cut short once its rows are decided: never
// an error page (it is thrown away whole anyway).
bool MayStopEarly(long status);

// Whether an answer is asked again: the wait in milliseconds, or nullopt when the answer
// is final. Only 429 and 503 are retried, at most options.retries times after the first
// attempt (`attempts` counts the attempts made so far), waiting what Retry-After asks
// (`retry_after`, if sent; else options.retry_wait_ms), at most options.max_retry_wait_ms;
// and only when the retry starts within options.retry_window_timeouts time-outs of the
// address's first request (`elapsed_ms` ago).
std::optional<long long> RetryDelay(long status, int attempts,
                                    std::optional<std::string_view> retry_after, long long now,
                                    long long elapsed_ms, const FetcherOptions& options);

// The wait a Retry-After value asks for, in milliseconds: a number of seconds (any
// number of digits; clamped at a day, never overflowing) or an HTTP date (the three forms
// of RFC 9110), counted from `now` (seconds since the epoch). nullopt when the value is
// neither.
std::optional<long long> ParseRetryAfter(std::string_view value, long long now);

// Seconds since the epoch of an HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT", the obsolete
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". nullopt otherwise.
std::optional<long long> ParseHttpDate(std::string_view text);

// What went wrong with a transfer, as the transfer layer saw it.
enum class TransferFault {
  kNone,
  kResolve,            // the name (or the proxy's) did not resolve
  kConnect,            // no connection could be made
  kTimedOut,           // the time ran out (connecting, or for the whole page)
  kTls,                // handshake or certificate
  kUnsupportedScheme,  // the address's scheme is not fetched
  kBodyTooLarge,       // the body passed its cap
  kHeadersTooLarge,    // the headers (or one header line) passed their cap
  kRedirects,          // too many redirects, or one to a scheme not fetched
  kOther,              // anything else: reset, bad framing, a corrupt coding...
};

// The plain facts of a failed transfer from which its reason is told.
struct FailureFacts {
  TransferFault fault = TransferFault::kOther;
  bool connected = false;  // a connection was made or reused for this transfer
  std::string text;        // the transfer layer's own words
};

// The reason a transfer failed and the words the user is given: never from a timing (a
// reused connection connects in no time), and the words hold no durations or counts that
// vary from run to run, so that the same answers give the same rows.
FetchError ClassifyFailure(const FailureFacts& facts);
std::string SteadyDetail(std::string_view text);

// Whether a redirect is followed: at most `max_redirects` in all, and only to http and
// https (`scheme` in any letter case).
enum class RedirectVerdict { kFollow, kTooMany, kRefusedScheme };
RedirectVerdict JudgeRedirect(std::string_view scheme, int followed, int max_redirects);

}  // namespace orvanel
