#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>
#include <vector>

#include "fetch/BodyReader.h"
#include "fetch/FetchPolicy.h"
#include "fetch/Fetcher.h"
#include "fetch/TrustStore.h"

namespace orvanel {

class SocketLoop;

// Easy handles kept for the next transfers: a handle made once serves many (made anew,
// one costs three times what setting up a kept one does).
class EasyPool {
 public:
  explicit EasyPool(std::size_t keep) : keep_(keep) {}
  ~EasyPool();
  EasyPool(const EasyPool&) = delete;
  EasyPool& operator=(const EasyPool&) = delete;
  CURL* Take();           // nullptr when libcurl has no memory
  void Give(CURL* easy);  // reset to its defaults and kept, or cleaned up

 private:
  std::size_t keep_;
  std::vector<CURL*> kept_;
};

// One request over libcurl: an easy handle set up from the options, added to the multi
// handle, and removed and cleaned up with this object whatever became of it. Redirects
// are not followed here: each hop is a request of its own.
//
// Threads: the fetcher's worker only.
class CurlTransfer {
 public:
  // Where the body goes: called for every piece libcurl hands over.
  class Sink {
   public:
    virtual ~Sink() = default;
    // Returns what libcurl is to be told: the size taken, 0 to stop, or
    // CURL_WRITEFUNC_PAUSE.
    virtual std::size_t Body(CurlTransfer& transfer, const char* data, std::size_t size) = 0;
    // A connection was made (or taken for reuse) for the transfer.
    virtual void Connected(CurlTransfer& transfer) = 0;
  };

  struct Setup {
    CURLM* multi = nullptr;
    SocketLoop* loop = nullptr;
    CURLSH* share = nullptr;
    EasyPool* pool = nullptr;  // where the easy handle comes from and goes back to
    const FetcherOptions* options = nullptr;
    curl_slist* headers = nullptr;  // the caller's -H headers, for this hop; may be null
    std::optional<std::string> resolve;
    long name_cache_seconds = 60;
    bool pipewait = false;
    long buffer_size = 16 * 1024;  // of each read from the socket
    // The certificates read once for the run; null: libcurl reads them for each connection.
    const TrustStore* trust = nullptr;
  };

  CurlTransfer(const std::string& url, const Setup& setup, Sink& sink, void* owner);
  ~CurlTransfer();
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  // Adds it to the multi handle; false (with the reason in `error`) when libcurl refuses.
  bool Start(std::string& error);
  CURL* easy() const { return easy_; }
  void* owner() const { return owner_; }
  static CurlTransfer* Of(CURL* easy);

  // The answer, as known at its first body byte (or at its end).
  BodyReader::Answer Answer() const;
  long Status() const;
  std::optional<std::string> Header(const char* name) const;
  // The answer is a redirect (a 3xx but 304, naming a Location): its body is no page.
  bool Redirects() const;
  // The address a redirect of this answer leads to, when it is one to follow.
  std::optional<std::string> RedirectUrl() const;

  // The facts of a failure, from libcurl's result and what the callbacks saw.
  FailureFacts Facts(CURLcode code, bool body_begun) const;
  bool connected() const { return connected_; }
  bool headers_too_large() const { return headers_too_large_; }
  bool body_too_large() const { return body_too_large_; }

 private:
  static std::size_t OnData(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
  static int OnPrereq(void* self, char*, char*, int, int);
  static int OnSocketOption(void* self, curl_socket_t socket, curlsocktype purpose);
  static CURLcode OnSslContext(CURL*, void* ssl_ctx, void* self);

  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  EasyPool* pool_ = nullptr;
  SocketLoop* loop_ = nullptr;
  Sink& sink_;
  void* owner_;
  std::size_t max_header_bytes_;
  std::size_t max_body_bytes_;
  curl_slist* resolve_ = nullptr;
  bool added_ = false;
  bool connected_ = false;  // a connection was made, or reused, for this request
  std::size_t header_bytes_ = 0;
  bool headers_too_large_ = false;
  bool body_too_large_ = false;         // announced longer than a page may be
  bool location_ = false;               // the latest answer's headers named a Location
  std::vector<curl_socket_t> sockets_;  // made for this request, newest last
  const TrustStore* trust_ = nullptr;
  char error_buffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace orvanel
