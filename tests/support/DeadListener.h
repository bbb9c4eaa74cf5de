#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "LoopbackListener.h"

namespace orvanel::testing {

// A listener on 127.0.0.1 whose queue is full and that never accepts: the first packet of
// every new connection is dropped, so connecting to it times out. Closed when destroyed.
class DeadListener {
 public:
  DeadListener() {
    listener_ = ListenOnLoopback(0, port_);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    for (int i = 0; i < 4; ++i) {
      fillers_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      ::connect(fillers_.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~DeadListener() {
    for (const int fd : fillers_) ::close(fd);
    ::close(listener_);
  }
  DeadListener(const DeadListener&) = delete;
  DeadListener& operator=(const DeadListener&) = delete;
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace orvanel::testing
