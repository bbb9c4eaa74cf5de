#include "fetch/SocketLoop.h"

#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace orvanel {
namespace {

std::int64_t ThreadCpuNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The socket of a TLS connection, kept with its SSL_CTX (libcurl makes one per connection).
int SocketIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

SocketLoop::SocketLoop(CURLM* multi) : multi_(multi) {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_fd_ < 0 || wake_fd_ < 0) {
    const int error = errno;
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    throw std::runtime_error(std::string("Cannot watch the network: ") + std::strerror(error));
  }
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = wake_fd_;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &SocketLoop::OnSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &SocketLoop::OnTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

SocketLoop::~SocketLoop() {
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, nullptr);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, nullptr);
  ::close(epoll_fd_);
  ::close(wake_fd_);
}

void SocketLoop::Wake() {
  woken_.store(true);
  if (!sleeping_.load()) return;  // awake: it looks at its queues before it sleeps
  const std::uint64_t one = 1;
  // EAGAIN: a wake-up is already due. Ignored on purpose.
  [[maybe_unused]] const auto n = ::write(wake_fd_, &one, sizeof one);
}

int SocketLoop::OnSocket(CURL*, curl_socket_t socket, int what, void* self, void* known) {
  auto* loop = static_cast<SocketLoop*>(self);
  if (what == CURL_POLL_REMOVE) {
    // The socket may be closed already; an error here is harmless.
    ::epoll_ctl(loop->epoll_fd_, EPOLL_CTL_DEL, socket, nullptr);
    return 0;
  }
  epoll_event event{};
  event.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
  event.data.fd = socket;
  if (!known || ::epoll_ctl(loop->epoll_fd_, EPOLL_CTL_MOD, socket, &event) != 0) {
    if (::epoll_ctl(loop->epoll_fd_, EPOLL_CTL_ADD, socket, &event) != 0 && errno == EEXIST) {
      ::epoll_ctl(loop->epoll_fd_, EPOLL_CTL_MOD, socket, &event);
    }
    curl_multi_assign(loop->multi_, socket, loop);
  }
  return 0;
}

int SocketLoop::OnTimer(CURLM*, long timeout_ms, void* self) {
  auto* loop = static_cast<SocketLoop*>(self);
  loop->timer_ =
      timeout_ms < 0
          ? std::nullopt
          : std::optional(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
  return 0;
}

void SocketLoop::Act(curl_socket_t socket, int mask) {
  current_socket_ = socket;
  call_started_ns_ = ThreadCpuNs();
  records_ = 0;
  int running = 0;
  curl_multi_socket_action(multi_, socket, mask, &running);
  current_socket_ = CURL_SOCKET_BAD;
}

bool SocketLoop::Stalled() {
  // The clock is read every 64 records: cheap against a flood, soon enough for a stall.
  if ((++records_ & 63) != 0) return false;
  return ThreadCpuNs() - call_started_ns_ >
         std::chrono::duration_cast<std::chrono::nanoseconds>(kStallLimit).count();
}

void SocketLoop::WatchTls(void* ssl_ctx, SocketLoop* loop, int socket) {
  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  SSL_CTX_set_ex_data(ctx, SocketIndex(),
                      reinterpret_cast<void*>(static_cast<intptr_t>(socket) + 1));
  SSL_CTX_set_msg_callback(ctx, &SocketLoop::OnTlsRecord);
  SSL_CTX_set_msg_callback_arg(ctx, loop);
}

void SocketLoop::OnTlsRecord(int write_p, int, int, const void*, std::size_t, SSL* ssl,
                             void* self) {
  auto* loop = static_cast<SocketLoop*>(self);
  if (write_p || !loop->Stalled()) return;
  SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
  int socket =
      static_cast<int>(reinterpret_cast<intptr_t>(SSL_CTX_get_ex_data(ctx, SocketIndex()))) - 1;
  if (socket < 0) socket = loop->current_socket_;
  if (socket < 0) return;
  // libcurl then reads the end of the stream and gives up the connection and its streams.
  ::shutdown(socket, SHUT_RDWR);
  ++loop->stalls_;
  loop->call_started_ns_ = ThreadCpuNs();
}

void SocketLoop::RunOnce(int max_ms) {
  std::array<epoll_event, 256> events{};
  int wait_ms = std::max(0, max_ms);
  if (timer_) {
    const auto due =
        std::chrono::ceil<std::chrono::milliseconds>(*timer_ - std::chrono::steady_clock::now());
    wait_ms = static_cast<int>(std::clamp<long long>(due.count(), 0, wait_ms));
  }
  // Asleep only when nobody asked for a look since the worker last looked.
  sleeping_.store(true);
  if (woken_.exchange(false)) wait_ms = 0;
  const int n = ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), wait_ms);
  sleeping_.store(false);
  woken_.store(false);
  for (int i = 0; i < n; ++i) {
    const int fd = events[i].data.fd;
    if (fd == wake_fd_) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto r = ::read(wake_fd_, &count, sizeof count);  // EAGAIN: none
      continue;
    }
    const auto ev = events[i].events;
    Act(fd, ((ev & EPOLLIN) ? CURL_CSELECT_IN : 0) | ((ev & EPOLLOUT) ? CURL_CSELECT_OUT : 0) |
                ((ev & (EPOLLERR | EPOLLHUP)) ? CURL_CSELECT_ERR : 0));
  }
  if (timer_ && *timer_ <= std::chrono::steady_clock::now()) {
    timer_.reset();
    Act(CURL_SOCKET_TIMEOUT, 0);
  }
}

}  // namespace orvanel
