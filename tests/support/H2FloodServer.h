#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackListener.h"

namespace orvanel::testing {

// A hostile HTTP/2 server over TLS on 127.0.0.1: every stream gets its answer's headers,
// then an endless flood of empty DATA frames, which no callback of a client ever sees;
// or, with `continuation`, headers that never end (CONTINUATION frames without end).
// Stops when destroyed (or after `flood_for`).
class H2FloodServer {
 public:
  H2FloodServer(const std::string& cert, const std::string& key, std::chrono::seconds flood_for,
                bool continuation = false)
      : flood_for_(flood_for), continuation_(continuation) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_alpn_select_cb(
        ctx_,
        [](SSL*, const unsigned char** out, unsigned char* out_len, const unsigned char*,
           unsigned int, void*) {
          static const unsigned char h2[] = {'h', '2'};
          *out = h2;
          *out_len = 2;
          return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
    listen_fd_ = ListenOnLoopback(64, port_);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~H2FloodServer() {
    stopping_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);
    {
      std::lock_guard lock(mutex_);
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    acceptor_.join();
    for (auto& t : workers_) t.join();
    ::close(listen_fd_);
    SSL_CTX_free(ctx_);
  }
  int Port() const { return port_; }
  int Streams() const { return streams_; }

 private:
  static std::string Frame(int type, int flags, int stream, const std::string& payload = "") {
    std::string f;
    f += static_cast<char>((payload.size() >> 16) & 0xFF);
    f += static_cast<char>((payload.size() >> 8) & 0xFF);
    f += static_cast<char>(payload.size() & 0xFF);
    f += static_cast<char>(type);
    f += static_cast<char>(flags);
    for (int shift : {24, 16, 8, 0}) f += static_cast<char>((stream >> shift) & 0xFF);
    return f + payload;
  }

  void Accept() {
    for (;;) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 || stopping_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      std::lock_guard lock(mutex_);
      open_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) Flood(ssl);
    SSL_free(ssl);
    ::close(fd);
  }

  void Flood(SSL* ssl) {
    // The client's preface and first frames, then our settings; then each HEADERS frame
    // the client sends opens a stream that is answered and flooded.
    char buffer[16384];
    std::string in;
    const auto until = std::chrono::steady_clock::now() + flood_for_;
    std::string settings = Frame(4, 0, 0);
    SSL_write(ssl, settings.data(), static_cast<int>(settings.size()));
    int stream = 0;
    while (stream == 0 && !stopping_) {
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) return;
      in.append(buffer, static_cast<std::size_t>(n));
      std::size_t at = in.rfind("PRI * HTTP/2.0", 0) == 0 ? 24 : 0;
      while (at + 9 <= in.size()) {
        const std::size_t length = (static_cast<unsigned char>(in[at]) << 16) |
                                   (static_cast<unsigned char>(in[at + 1]) << 8) |
                                   static_cast<unsigned char>(in[at + 2]);
        if (at + 9 + length > in.size()) break;
        const int type = in[at + 3];
        const int flags = in[at + 4];
        const int id = ((static_cast<unsigned char>(in[at + 5]) & 0x7F) << 24) |
                       (static_cast<unsigned char>(in[at + 6]) << 16) |
                       (static_cast<unsigned char>(in[at + 7]) << 8) |
                       static_cast<unsigned char>(in[at + 8]);
        if (type == 4 && !(flags & 1)) {
          const std::string ack = Frame(4, 1, 0);
          SSL_write(ssl, ack.data(), static_cast<int>(ack.size()));
        }
        if (type == 1) stream = id;
        at += 9 + length;
      }
      in.erase(0, at);
    }
    ++streams_;
    if (continuation_) {
      // ":status 200", then one "x-pad: ppp..." (1,000 bytes) after another, the block
      // never ended.
      const std::string start = Frame(1, 0, stream, std::string(1, '\x88'));
      SSL_write(ssl, start.data(), static_cast<int>(start.size()));
      const std::string field =
          std::string("\x00\x05x-pad\x7f\xe9\x06", 10) + std::string(1000, 'p');
      std::string blob;
      for (int i = 0; i < 64; ++i) blob += Frame(9, 0, stream, field);
      while (!stopping_ && std::chrono::steady_clock::now() < until) {
        if (SSL_write(ssl, blob.data(), static_cast<int>(blob.size())) <= 0) return;
      }
      return;
    }
    std::string headers = Frame(1, 4, stream, std::string(1, '\x88'));  // :status 200
    SSL_write(ssl, headers.data(), static_cast<int>(headers.size()));
    std::string empty = Frame(0, 0, stream);
    std::string blob;
    for (int i = 0; i < 1800; ++i) blob += empty;
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
      if (SSL_write(ssl, blob.data(), static_cast<int>(blob.size())) <= 0) return;
    }
  }

  std::chrono::seconds flood_for_;
  bool continuation_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> streams_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
};

}  // namespace orvanel::testing
