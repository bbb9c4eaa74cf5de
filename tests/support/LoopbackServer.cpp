#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace orvanel::testing {

bool LoopbackServer::Connection::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool LoopbackServer::Connection::Respond(int status, const std::string& body,
                                         const std::string& extra_headers) {
  std::string head = "HTTP/1.1 " + std::to_string(status) +
                     " X\r\nContent-Length: " + std::to_string(body.size()) +
                     (keep_alive_ ? "\r\n" : "\r\nConnection: close\r\n") + extra_headers + "\r\n";
  return Write(head + body);
}

void LoopbackServer::Connection::Reset() {
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::shutdown(fd_, SHUT_RDWR);
}

bool LoopbackServer::Connection::Sleep(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (stopping_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return !stopping_;
}

LoopbackServer::LoopbackServer(bool keep_alive, int port) : keep_alive_(keep_alive) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 1024) != 0) {
    throw std::runtime_error("loopback server cannot listen");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listen_fd_);
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
}

void LoopbackServer::Route(const std::string& path, Handler handler) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(handler);
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::AcceptLoop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    open_fds_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void LoopbackServer::Serve(int fd) {
  ++active_;
  ++accepted_;
  std::string data;
  char buffer[4096];
  // With keep-alive, requests are read one after another until the client closes.
  for (bool first = true; first || keep_alive_; first = false) {
    while (data.find("\r\n\r\n") == std::string::npos && data.size() < (1 << 20) && !stopping_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t head_end = data.find("\r\n\r\n");
    if (!first && head_end == std::string::npos) break;
    Request request;
    const std::size_t line_end = data.find("\r\n");
    if (line_end != std::string::npos) {
      const std::string line = data.substr(0, line_end);
      const std::size_t a = line.find(' ');
      const std::size_t b = line.find(' ', a + 1);
      if (a != std::string::npos && b != std::string::npos) {
        request.method = line.substr(0, a);
        request.path = line.substr(a + 1, b - a - 1);
      }
      std::size_t pos = line_end + 2;
      while (pos < data.size()) {
        const std::size_t end = data.find("\r\n", pos);
        if (end == std::string::npos || end == pos) break;
        const std::string header = data.substr(pos, end - pos);
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos) {
          std::string name = header.substr(0, colon);
          std::transform(name.begin(), name.end(), name.begin(), ::tolower);
          std::string value = header.substr(colon + 1);
          while (!value.empty() && value[0] == ' ') value.erase(0, 1);
          request.headers[name] = value;
        }
        pos = end + 2;
      }
    }
    data.erase(0, head_end == std::string::npos ? data.size() : head_end + 4);
    ++requests_;
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      const std::string route = request.path.substr(0, request.path.find('?'));
      auto it = routes_.find(route);
      if (it != routes_.end()) handler = it->second;
    }
    Connection connection(fd, stopping_, keep_alive_);
    if (handler) {
      handler(request, connection);
    } else if (!request.method.empty()) {
      connection.Respond(404, "not here");
    }
    if (stopping_) break;
  }
  --active_;
  std::lock_guard lock(mutex_);
  open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  ::close(fd);
}

}  // namespace orvanel::testing
