#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanel {

// Why a document could not be had.
enum class FetchError {
  kNone,
  kResolve,         // host name did not resolve
  kRefused,         // connection refused
  kConnectTimeout,  // no connection within the connect time-out
  kTimeout,         // whole-transfer time-out
  kTls,             // certificate or handshake failure
  kRedirects,       // too many redirects, or a redirect to a refused scheme
  kHttpStatus,      // status 400 or more
  kTooLarge,        // document (or its headers) over the size cap
  kNetwork,         // reset, broken chunking, bad HTTP, any other transfer error
  kAddress,         // the address cannot be fetched as written: malformed, or another scheme
  kFile,            // local file missing, unreadable or not a regular file
  kSkippedHost,     // not tried: its host failed too often in a row (host_errors)
};

// The word for a reason, as the companion reports it: "dns", "refused",
// "connect-timeout", "timeout", "tls", "redirects", "http", "too-large", "network",
// "address", "no-file", "skipped-host"; nullptr for kNone.
const char* FetchErrorName(FetchError error);

struct FetchRequest {
  std::string url;
  // Called on the fetcher's thread with the beginning of the answer's body received so
  // far (each call's grown from the last one's) and the answer's Content-Type. A result
  // n > 0 stops the transfer: the first n bytes are all the caller needs (the result
  // holds at least those, and says n). Each attempt at the address (a retry, a transfer
  // started again) is given a fresh copy of this object, so it may keep state between
  // calls. Once more, with `whole`, when the body ended without a decision: n > 0 then
  // says that the first n bytes read as the whole document does for the caller
  // (FetchResult::enough_at); the bytes past them are kept all the same.
  std::function<std::size_t(std::string_view bytes, std::string_view content_type, bool whole)>
      decided;
};

struct FetchResult {
  bool ok = false;
  std::string bytes;         // the document, or its beginning when cut_early
  std::string content_type;  // as the server sent it; empty for files
  long status = 0;           // HTTP status; 0 for local files
  std::string final_url;     // after redirects
  std::uint64_t bytes_read = 0;
  bool cut_early = false;  // bytes is not the whole document
  // When `decided` stopped the transfer: the n it gave, which depends on the document
  // alone (bytes holds what had come by then, which depends on how it came). 0 otherwise.
  std::size_t decided_at = 0;
  // For a document read whole: the n `decided` gave at its end. 0 otherwise.
  std::size_t enough_at = 0;
  FetchError error = FetchError::kNone;
  std::string error_text;  // a description for the user when !ok
};

struct FetcherOptions {
  int max_transfers = 16;
  int max_per_host = 6;
  // Connections open at once, running or kept for the next page of their host (each is
  // a descriptor); 0: 8 for each transfer.
  int max_connections = 0;
  long connect_timeout_ms = 10'000;
  // For a whole page, from its request to its last byte; time the memory budget holds a
  // page back does not count.
  long timeout_ms = 30'000;
  std::size_t max_bytes = 64u << 20;  // of one document's body
  // Of one response's headers and trailers; below libcurl's own cap (300 KiB), so that
  // this one is met first and says so.
  std::size_t max_header_bytes = 256u << 10;
  // Memory of documents held at once (their buffers and the windows of their content
  // decoders), running or finished and not yet taken. Past it no transfer starts, and a
  // running one that would grow past it is paused with what it has until there is room;
  // the oldest document not yet taken always goes on.
  std::size_t memory_budget = 512u << 20;
  int max_redirects = 10;
  int retries = 2;             // on 429 and 503
  long retry_wait_ms = 2'000;  // when the server gives no Retry-After
  long max_retry_wait_ms = 30'000;
  // Retries of one address start within this many time-outs of its first request, so an
  // address takes at most (this + 1) time-outs in all.
  int retry_window_timeouts = 2;
  std::size_t max_outstanding = 1u << 20;  // submitted but not yet taken
  bool allow_local_files = true;           // file:// addresses; only regular files are read
  // After this many failures in a row at the connection level (name, refused, connect
  // time-out, TLS) on one host, its further addresses fail at once (kSkippedHost); a page
  // had from the host starts the count again. 0: every address is tried.
  int host_errors = 0;
  // At least this long between the starts of two requests to one host (retries
  // included); 0: no wait.
  long host_delay_ms = 0;
  // "HOST:PORT:ADDRESS" entries, as curl's --resolve takes them, each passing
  // ResolveTable::Check; HOST may be "*" or an international name. They apply to every
  // request to HOST:PORT, redirects included.
  std::vector<std::string> resolve;
  // "Name: value" request headers, sent with every request to the address's own origin
  // (scheme, host and port), never to another origin a redirect leads to.
  std::vector<std::string> headers;
  std::string ca_file;    // certificates to trust instead of the system's store
  bool insecure = false;  // no certificate check at all (unsafe)
  std::string user_agent = std::string("Orvanel/") + ORVANEL_VERSION;
};

// Runs transfers concurrently and hands back each result by ticket, so that a caller can
// consume them in its own order while later transfers are under way.
//
// Threads: every call may come from any thread. Only Take blocks, and only until the
// ticket's transfer has ended; a caller that must not block (the window's thread) waits
// for Ready first, serving its events meanwhile. A ticket ends with exactly one Take or
// one Abandon; a ticket that was never issued, or has already ended, is a programming
// error and throws std::invalid_argument. The memory of a result counts in the budget
// until it is taken: a caller that takes in order keeps the fetcher going.
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
  // `notify` is called on the fetcher's thread once one or more results are ready (one
  // call may stand for several). It must not block, and whatever it reaches must outlive
  // the fetcher or be replaced (SetNotify({})) before it goes.
  virtual void SetNotify(std::function<void()> notify) = 0;
};

}  // namespace orvanel
