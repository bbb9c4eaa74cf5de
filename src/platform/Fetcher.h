#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace orvanel {

// Why a document could not be had.
enum class FetchError {
  kNone,
  kResolve,      // host name did not resolve
  kConnect,      // connection refused or reset
  kTimeout,      // connect or whole-transfer time-out
  kTls,          // certificate or handshake failure
  kHttpStatus,   // status 400 or more
  kTooLarge,     // document over the size cap
  kRedirects,    // too many redirects, or a redirect to a refused scheme
  kFile,         // local file missing or unreadable
  kProtocol,     // malformed response, unsupported scheme
  kCancelled,
  kOther,
};

struct FetchRequest {
  std::string url;
  // Called on the fetcher's thread with the bytes received so far and the response's
  // Content-Type. True stops the transfer there: what came is all the caller needs.
  std::function<bool(std::string_view bytes, std::string_view content_type)> decided;
};

struct FetchResult {
  bool ok = false;
  std::string bytes;         // the document, or its beginning when cut_early
  std::string content_type;  // as the server sent it; empty for files
  long status = 0;           // HTTP status; 0 for local files
  std::string final_url;     // after redirects
  std::uint64_t bytes_read = 0;
  bool cut_early = false;
  FetchError error = FetchError::kNone;
  std::string error_text;  // a description for the user when !ok
};

struct FetcherOptions {
  int max_transfers = 16;
  int max_per_host = 6;
  long connect_timeout_ms = 10'000;
  long timeout_ms = 30'000;
  std::size_t max_bytes = 64u << 20;
  int max_redirects = 10;
  int retries = 2;                // on 429 and 503
  long retry_wait_ms = 2'000;     // when the server gives no Retry-After
  long max_retry_wait_ms = 30'000;
  std::size_t max_outstanding = 4096;  // submitted but not yet taken
  std::string user_agent = std::string("Orvanel/") + ORVANEL_VERSION;
};

// Runs transfers concurrently and hands back each result by ticket, so that a caller can
// consume them in its own order while later transfers are under way.
//
// Threads: every call may come from any thread. Only Take blocks, and only until the
// ticket's transfer has ended; a caller that must not block (the window's thread) waits
// for Ready first, serving its events meanwhile. A ticket ends with exactly one Take or
// one Abandon; a ticket that was never issued, or has already ended, is a programming
// error and throws std::invalid_argument.
class Fetcher {
 public:
  using Ticket = std::uint64_t;
  virtual ~Fetcher() = default;
  // Never blocks. Throws std::length_error when max_outstanding results are already
  // waiting.
  virtual Ticket Submit(FetchRequest request) = 0;
  // Never blocks.
  virtual bool Ready(Ticket ticket) = 0;
  // Blocks until the ticket's transfer has ended.
  virtual FetchResult Take(Ticket ticket) = 0;
  // The result is not wanted: a transfer not yet started never starts, a running one is
  // stopped, a finished one is dropped. Never blocks.
  virtual void Abandon(Ticket ticket) = 0;
  // Called on the fetcher's thread after every finished transfer.
  virtual void SetNotify(std::function<void()> notify) = 0;
};

// The libcurl implementation: one worker thread driving a multi handle. Destroying it
// aborts every transfer still running and returns promptly.
std::unique_ptr<Fetcher> MakeCurlFetcher(const FetcherOptions& options = {});

}  // namespace orvanel
