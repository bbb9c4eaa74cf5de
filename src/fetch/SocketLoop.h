#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

struct ssl_st;

namespace orvanel {

// Waits for what libcurl waits for and hands it over: the sockets it watches in one epoll
// set (a pass costs what happened, not how many transfers run), its one timer, and
// wake-ups from other threads through an eventfd.
//
// It also guards the worker against a server that keeps libcurl busy: a TLS connection
// whose records keep one call into libcurl running past kStallLimit of CPU time (a flood of
// empty HTTP/2 frames, which reach no callback of ours) is shut down there, so that the
// call returns and every other transfer's time-out still holds.
//
// Threads: Wake from any thread; the rest from the worker only.
class SocketLoop {
 public:
  static constexpr std::chrono::milliseconds kStallLimit{250};

  // Installs itself as `multi`'s socket and timer handler. Throws std::runtime_error when
  // the system gives no epoll set or eventfd.
  explicit SocketLoop(CURLM* multi);
  ~SocketLoop();
  SocketLoop(const SocketLoop&) = delete;
  SocketLoop& operator=(const SocketLoop&) = delete;

  // The next wait returns at once. Costs a write only while the worker sleeps.
  void Wake();
  // Waits at most `max_ms` (less when libcurl's timer is due sooner) for sockets or a
  // wake-up, then lets libcurl act on what is ready.
  void RunOnce(int max_ms);

  // For CURLOPT_SSL_CTX_FUNCTION, with the loop as its data: watches the records of the
  // connection being made over `socket` (the transfer's connected socket).
  static void WatchTls(void* ssl_ctx, SocketLoop* loop, int socket);

  // Connections shut down for keeping libcurl busy, so far.
  std::uint64_t stalls() const { return stalls_; }

 private:
  static int OnSocket(CURL*, curl_socket_t socket, int what, void* self, void* known);
  static int OnTimer(CURLM*, long timeout_ms, void* self);
  static void OnTlsRecord(int write_p, int version, int content_type, const void* buf,
                          std::size_t len, ssl_st* ssl, void* self);
  void Act(curl_socket_t socket, int mask);
  bool Stalled();

  CURLM* multi_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::optional<std::chrono::steady_clock::time_point> timer_;
  // Of the call into libcurl under way: its socket, CPU time at its start, records seen.
  curl_socket_t current_socket_ = CURL_SOCKET_BAD;
  std::int64_t call_started_ns_ = 0;
  std::uint32_t records_ = 0;
  std::uint64_t stalls_ = 0;
  std::atomic<bool> sleeping_{false};
  std::atomic<bool> woken_{false};
};

}  // namespace orvanel
