#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvanel::testing {

// An HTTP/1.1 server on 127.0.0.1 for tests, one thread per connection. Handlers write
// raw bytes, so they can answer well or badly: slowly, cut short, or not at all.
class LoopbackServer {
 public:
  struct Request {
    std::string method;
    std::string path;                            // with the query
    std::map<std::string, std::string> headers;  // names in lower case
  };
  class Connection {
   public:
    Connection(int fd, const std::atomic<bool>& stopping, bool keep_alive)
        : fd_(fd), stopping_(stopping), keep_alive_(keep_alive) {}
    bool Write(const std::string& bytes);
    // A complete response with Content-Length.
    bool Respond(int status, const std::string& body, const std::string& extra_headers = "");
    // Closes with a TCP reset instead of an orderly close.
    void Reset();
    // Sleeps in small steps, returning early (false) when the server stops.
    bool Sleep(int ms);

   private:
    int fd_;
    const std::atomic<bool>& stopping_;
    bool keep_alive_;
  };
  using Handler = std::function<void(const Request&, Connection&)>;

  // With keep_alive, a connection carries request after request (answers have no
  // "Connection: close"); else each connection is closed after its one answer.
  explicit LoopbackServer(bool keep_alive = false, int port = 0);  // 0: any free port
  ~LoopbackServer();  // stops accepting, closes every connection, joins every thread

  void Route(const std::string& path, Handler handler);  // exact path, before the query
  int Port() const { return port_; }
  std::string Url(const std::string& path) const;

  int ActiveConnections() const { return active_; }
  int Requests() const { return requests_; }
  int AcceptedConnections() const { return accepted_; }

 private:
  void AcceptLoop();
  void Serve(int fd);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> active_{0};
  std::atomic<int> requests_{0};
  std::atomic<int> accepted_{0};
  const bool keep_alive_;
  std::thread acceptor_;
  std::mutex mutex_;
  std::map<std::string, Handler> routes_;
  std::vector<std::thread> workers_;
  std::vector<int> open_fds_;
};

}  // namespace orvanel::testing
