// delay_server PORT DELAY_MS [HOST ...]: a loopback HTTP/1.1 server for the fetch
// benchmarks whose every answer leaves DELAY_MS after its request came in, to within the
// kernel's timer slack, so that a client measured against it is measured against the delay
// and not against the server's own queue.
//
// Every path gets the same page: about 1 KiB, or PAGE_KIB KiB when that variable is set.
// With ACCESS_LOG set, every request appends "CONNECTION PID" to that file, CONNECTION
// numbering the connections in the order they were first used, as the benchmarks read
// nginx's access log. Connections stay open (keep-alive) unless a request asks to close.
// Listens on 127.0.0.1, or on each HOST given (loopback addresses); runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::size_t kMaxRequestBytes = 64 * 1024;  // a request head longer is dropped
constexpr std::size_t kMaxPending = 1024;            // answers owed to one connection

std::string MakePage() {
  const std::string head =
      "<html><head><title>Page</title><meta name=\"keywords\" content=\"a,b\">"
      "<meta name=\"description\" content=\"A page.\"></head><body>";
  const std::string tail = "</body></html>";
  const char* kib = std::getenv("PAGE_KIB");
  const long size = (kib ? std::atol(kib) : 1) * 1024;
  std::string body;
  while (static_cast<long>(head.size() + body.size() + tail.size()) < size) body += "text ";
  body.resize(std::max<long>(0, size - static_cast<long>(head.size() + tail.size())));
  const std::string page = head + body + tail;
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
         std::to_string(page.size()) + "\r\n\r\n" + page;
}

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

bool HasCloseHeader(std::string_view head) {
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("\r\nconnection: close") != std::string::npos;
}

struct Connection {
  int fd = -1;
  long number = 0;  // 0 until its first request
  std::string in;
  std::string out;
  std::size_t sent = 0;
  std::size_t pending = 0;  // answers due but not yet queued for sending
  bool close_after = false;
};

struct Due {
  std::int64_t at_ns;
  std::uint64_t id;
};

class Server {
 public:
  Server(std::int64_t delay_ns, std::string answer, int log_fd)
      : delay_ns_(delay_ns), answer_(std::move(answer)), log_fd_(log_fd) {}

  bool Listen(const char* host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) return false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4096) != 0)
      return false;
    listeners_.push_back(fd);
    return Watch(fd, EPOLLIN, kListenerTag + listeners_.size() - 1);
  }

  bool Start() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return epoll_ >= 0 && timer_ >= 0 && Watch(timer_, EPOLLIN, kTimerTag);
  }

  [[noreturn]] void Run() {
    epoll_event events[256];
    for (;;) {
      const int n = epoll_wait(epoll_, events, 256, -1);
      for (int i = 0; i < n; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kTimerTag) {
          std::uint64_t expirations;
          // Ignoring the count on purpose: the queue says what is due.
          (void)!read(timer_, &expirations, sizeof expirations);
          SendDue();
        } else if (tag >= kListenerTag) {
          Accept(listeners_[tag - kListenerTag]);
        } else {
          Serve(tag, events[i].events);
        }
      }
    }
  }

 private:
  static constexpr std::uint64_t kTimerTag = ~std::uint64_t{0};
  static constexpr std::uint64_t kListenerTag = std::uint64_t{1} << 62;

  bool Watch(int fd, std::uint32_t events, std::uint64_t tag) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  void Accept(int listener) {
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      const std::uint64_t id = next_id_++;
      connections_[id].fd = fd;
      if (!Watch(fd, EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP, id)) Close(id);
    }
  }

  void Serve(std::uint64_t id, std::uint32_t events) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    Connection& c = found->second;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
      char buffer[16384];
      ssize_t got;
      while ((got = read(c.fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) c.in.append(buffer, static_cast<std::size_t>(got));
      }
      // The peer has closed, or failed: the answers it is owed go nowhere.
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Close(id);
      if (!TakeRequests(id, c)) return Close(id);
    }
    if (!Flush(c)) Close(id);
  }

  // Queues an answer for every whole request head in the connection's input.
  bool TakeRequests(std::uint64_t id, Connection& c) {
    const bool idle = due_.empty();
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = c.in.find("\r\n\r\n", start);
      if (end == std::string::npos) break;
      if (c.pending >= kMaxPending) return false;
      if (HasCloseHeader(std::string_view(c.in).substr(start, end - start))) c.close_after = true;
      if (c.number == 0) c.number = ++numbered_;
      Log(c.number);
      due_.push_back({NowNs() + delay_ns_, id});
      ++c.pending;
      start = end + 4;
    }
    c.in.erase(0, start);
    if (c.in.size() > kMaxRequestBytes) return false;
    if (idle) ArmTimer();
    return true;
  }

  void Log(long number) {
    if (log_fd_ < 0) return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "%ld %d\n", number, getpid());
    // Ignoring a short write on purpose: the log is the benchmark's, the answer is not.
    (void)!write(log_fd_, line, static_cast<std::size_t>(length));
  }

  // Every answer is due the same delay after its request, so the queue is in time order.
  void SendDue() {
    const std::int64_t now = NowNs();
    while (!due_.empty() && due_.front().at_ns <= now) {
      const std::uint64_t id = due_.front().id;
      due_.pop_front();
      auto found = connections_.find(id);
      if (found == connections_.end()) continue;
      Connection& c = found->second;
      --c.pending;
      c.out += answer_;
      if (!Flush(c)) Close(id);
    }
    ArmTimer();
  }

  void ArmTimer() {
    if (due_.empty()) return;
    const std::int64_t at = due_.front().at_ns;
    itimerspec due{};
    due.it_value.tv_sec = at / 1'000'000'000;
    due.it_value.tv_nsec = at % 1'000'000'000;
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &due, nullptr);
  }

  // Sends what it can; false once the connection is to be closed.
  bool Flush(Connection& c) {
    while (c.sent < c.out.size()) {
      const ssize_t put = write(c.fd, c.out.data() + c.sent, c.out.size() - c.sent);
      if (put > 0) {
        c.sent += static_cast<std::size_t>(put);
        continue;
      }
      if (put < 0 && errno == EINTR) continue;
      return put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    c.out.clear();
    c.sent = 0;
    return !(c.close_after && c.pending == 0);
  }

  void Close(std::uint64_t id) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    close(found->second.fd);  // also takes it out of the epoll set
    connections_.erase(found);
  }

  const std::int64_t delay_ns_;
  const std::string answer_;
  const int log_fd_;
  int epoll_ = -1;
  int timer_ = -1;
  std::vector<int> listeners_;
  std::unordered_map<std::uint64_t, Connection> connections_;
  std::deque<Due> due_;
  std::uint64_t next_id_ = 1;
  long numbered_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: delay_server PORT DELAY_MS [HOST ...]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const long delay_ms = std::atol(argv[2]);
  const char* log_path = std::getenv("ACCESS_LOG");
  const int log_fd =
      log_path && *log_path ? open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  if (port <= 0 || port > 65535 || delay_ms < 0 || (log_path && *log_path && log_fd < 0)) {
    std::fprintf(stderr, "delay_server: bad port, delay or ACCESS_LOG\n");
    return 2;
  }
  Server server(delay_ms * 1'000'000, MakePage(), log_fd);
  if (!server.Start()) {
    std::perror("delay_server");
    return 1;
  }
  std::vector<const char*> hosts(argv + 3, argv + argc);
  if (hosts.empty()) hosts.push_back("127.0.0.1");
  for (const char* host : hosts) {
    if (!server.Listen(host, port)) {
      std::fprintf(stderr, "delay_server: cannot listen on %s:%d: %s\n", host, port,
                   std::strerror(errno));
      return 1;
    }
  }
  server.Run();
}
