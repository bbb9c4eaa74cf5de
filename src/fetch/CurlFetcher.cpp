#include "fetch/CurlFetcher.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <idn2.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <queue>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fetch/Fetcher.h"
#include "storage/FileRead.h"

namespace orvanel {

std::optional<long long> ParseRetryAfter(std::string_view value, long long now) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // Digits only: seconds. Anything past a day is as good as forever; stop counting there
    // so that no number of digits can overflow.
    long long seconds = 0;
    for (char c : value) {
      seconds = seconds * 10 + (c - '0');
      if (seconds > 86'400) return 86'400'000;
    }
    return seconds * 1000;
  }
  const std::string date(value);
  const time_t when = curl_getdate(date.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  const long long seconds = static_cast<long long>(when) - now;
  if (seconds <= 0) return 0;
  return std::min(seconds, 86'400LL) * 1000;
}

const char* FetchErrorName(FetchError error) {
  switch (error) {
    case FetchError::kNone:
      return nullptr;
    case FetchError::kResolve:
      return "dns";
    case FetchError::kRefused:
      return "refused";
    case FetchError::kConnectTimeout:
      return "connect-timeout";
    case FetchError::kTimeout:
      return "timeout";
    case FetchError::kTls:
      return "tls";
    case FetchError::kRedirects:
      return "redirects";
    case FetchError::kHttpStatus:
      return "http";
    case FetchError::kTooLarge:
      return "too-large";
    case FetchError::kNetwork:
      return "network";
    case FetchError::kFile:
      return "no-file";
    case FetchError::kSkippedHost:
      return "skipped-host";
  }
  return "network";
}

bool MayStopEarly(long status) { return status < 400; }

std::optional<long long> RetryDelay(long status, int attempts,
                                    std::optional<std::string_view> retry_after, long long now,
                                    long long elapsed_ms, const FetcherOptions& options) {
  if (status != 429 && status != 503) return std::nullopt;
  if (attempts > options.retries) return std::nullopt;
  long long wait = options.retry_wait_ms;
  if (retry_after) {
    if (const auto asked = ParseRetryAfter(*retry_after, now)) wait = *asked;
  }
  wait = std::min<long long>(wait, options.max_retry_wait_ms);
  if (elapsed_ms + wait >=
      static_cast<long long>(options.retry_window_timeouts) * options.timeout_ms) {
    return std::nullopt;
  }
  return wait;
}

namespace {

using Clock = std::chrono::steady_clock;

// After a document is decided, at most this much more is read (and dropped) in the hope
// that the response ends and its connection can be reused.
constexpr std::size_t kDrainBudget = 64 * 1024;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsFileUrl(const std::string& url) {
  return url.size() >= 7 && curl_strnequal(url.c_str(), "file://", 7);
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// "HOST:PORT" of a "[+]HOST:PORT:ADDRESS" entry, as Target::host_port spells it.
std::string ResolveKey(const std::string& entry) {
  const std::size_t start = !entry.empty() && entry[0] == '+' ? 1 : 0;
  const std::size_t first = entry.find(':', start);
  const std::size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
  return Lowered(entry.substr(start, second == std::string::npos ? second : second - start));
}

// The URL as libcurl is given it (an international host name in its ASCII form), and the
// host:port that the per-host limit counts. Empty url when the host name is not valid.
struct Target {
  std::string url;
  std::string host_port;
  std::string error;
};

Target ResolveTarget(const std::string& url) {
  Target target{url, url, {}};
  CURLU* u = curl_url();
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host) {
      std::string name = host;
      curl_free(host);
      if (std::any_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        char* ascii = nullptr;
        const int rc = idn2_lookup_u8(reinterpret_cast<const uint8_t*>(name.c_str()),
                                      reinterpret_cast<uint8_t**>(&ascii),
                                      IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
        if (rc != IDN2_OK) {
          target.url.clear();
          target.error = "Invalid international host name " + name + ": " + idn2_strerror(rc);
          curl_url_cleanup(u);
          return target;
        }
        name = ascii;
        idn2_free(ascii);
        char* rebuilt = nullptr;
        if (curl_url_set(u, CURLUPART_HOST, name.c_str(), 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_URL, &rebuilt, 0) == CURLUE_OK && rebuilt) {
          target.url = rebuilt;
          curl_free(rebuilt);
        }
      }
      target.host_port = Lowered(name);  // host names are case-blind
    }
    char* port = nullptr;
    if (curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK && port) {
      target.host_port += ":";
      target.host_port += port;
      curl_free(port);
    }
  }
  curl_url_cleanup(u);
  return target;
}

// A local document: only a regular file is read (a FIFO, a device or a folder is a
// document that cannot be had, and opening one never blocks).
FetchResult ReadLocalFile(const std::string& url, std::size_t max_bytes) {
  FetchResult r;
  r.final_url = url;
  CURLU* u = curl_url();
  std::string path;
  char* p = nullptr;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_PATH, &p, CURLU_URLDECODE) == CURLUE_OK && p) {
    path = p;
    curl_free(p);
  }
  curl_url_cleanup(u);
  auto fail = [&](const std::string& why) {
    r.error = FetchError::kFile;
    r.error_text = why;
    return r;
  };
  if (path.empty() || path.find('\0') != std::string::npos)
    return fail("Not a file address: " + url);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return fail("Cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(path + " is not a regular file");
  }
  bool too_large = false;
  const int error = ReadChunks(fd, [&](std::string_view chunk) {
    if (too_large || r.bytes.size() + chunk.size() > max_bytes) {
      too_large = true;
      return;
    }
    try {
      r.bytes.append(chunk);
    } catch (const std::bad_alloc&) {
      too_large = true;
    }
  });
  if (error != 0 || too_large) {
    ::close(fd);
    r.bytes.clear();
    if (error != 0) return fail("Cannot read " + path + ": " + std::strerror(error));
    r.error = FetchError::kTooLarge;
    r.error_text = "Document larger than " + std::to_string(max_bytes) + " bytes";
    return r;
  }
  ::close(fd);
  r.ok = true;
  r.bytes_read = r.bytes.size();
  return r;
}

struct Job {
  Fetcher::Ticket ticket = 0;
  FetchRequest request;
  Target target;
  int attempts = 0;
  Clock::time_point first_start{};
};

class CurlFetcher;

struct Transfer {
  CurlFetcher* owner = nullptr;
  Job job;
  CURL* easy = nullptr;
  FetchResult result;
  std::size_t next_check = 0;
  std::size_t received = 0;  // every byte of the body, kept or not
  std::size_t header_bytes = 0;
  bool too_large = false;
  bool headers_too_large = false;
  bool paused = false;      // held back by the memory budget until there is room
  bool was_paused = false;  // at some time: a time-out may be the budget's doing
  char error_buffer[CURL_ERROR_SIZE] = {};
};

// Per-host queues with a queue of the hosts that may start a transfer, ordered by their
// oldest waiting ticket: starting a transfer costs O(log hosts), whatever is pending.
// A host with nothing running and nothing waiting is forgotten.
class Scheduler {
 public:
  explicit Scheduler(int per_host) : per_host_(per_host) {}

  void Add(Job job) {
    const std::string name = job.target.host_port;
    auto& host = hosts_[name];
    if (Startable(host)) ready_.erase({host.waiting.front().ticket, name});
    where_[job.ticket] = name;
    // Tickets come in order, except for retries: keep each queue in ticket order.
    auto at = host.waiting.end();
    while (at != host.waiting.begin() && std::prev(at)->ticket > job.ticket) --at;
    host.waiting.insert(at, std::move(job));
    if (Startable(host)) ready_.insert({host.waiting.front().ticket, name});
    ++waiting_;
  }

  // The oldest job that may start now, if any.
  std::optional<Job> Next() {
    if (ready_.empty()) return std::nullopt;
    const auto [ticket, name] = *ready_.begin();
    ready_.erase(ready_.begin());
    auto& host = hosts_.at(name);
    Job job = std::move(host.waiting.front());
    host.waiting.pop_front();
    where_.erase(job.ticket);
    ++host.running;
    --waiting_;
    if (Startable(host)) ready_.insert({host.waiting.front().ticket, name});
    return job;
  }

  std::optional<Fetcher::Ticket> OldestReady() const {
    if (ready_.empty()) return std::nullopt;
    return ready_.begin()->first;
  }

  void Finished(const std::string& name) {
    auto it = hosts_.find(name);
    if (it == hosts_.end()) return;
    auto& host = it->second;
    const bool was_startable = Startable(host);
    --host.running;
    if (!was_startable && Startable(host)) ready_.insert({host.waiting.front().ticket, name});
    Forget(it);
  }

  // Removes a waiting job; false when it is not waiting here.
  bool Remove(Fetcher::Ticket ticket) {
    const auto w = where_.find(ticket);
    if (w == where_.end()) return false;
    const std::string name = w->second;
    where_.erase(w);
    auto it = hosts_.find(name);
    auto& host = it->second;
    if (Startable(host)) ready_.erase({host.waiting.front().ticket, name});
    host.waiting.erase(std::find_if(host.waiting.begin(), host.waiting.end(),
                                    [&](const Job& j) { return j.ticket == ticket; }));
    --waiting_;
    if (Startable(host)) ready_.insert({host.waiting.front().ticket, name});
    Forget(it);
    return true;
  }

  std::size_t Waiting() const { return waiting_; }
  std::size_t Hosts() const { return hosts_.size(); }

 private:
  struct Host {
    int running = 0;
    std::deque<Job> waiting;
  };
  bool Startable(const Host& host) const {
    return !host.waiting.empty() && host.running < per_host_;
  }
  void Forget(std::unordered_map<std::string, Host>::iterator it) {
    if (it->second.running <= 0 && it->second.waiting.empty()) hosts_.erase(it);
  }

  int per_host_;
  std::unordered_map<std::string, Host> hosts_;
  std::unordered_map<Fetcher::Ticket, std::string> where_;
  std::set<std::pair<Fetcher::Ticket, std::string>> ready_;
  std::size_t waiting_ = 0;
};

class CurlFetcher final : public Fetcher {
 public:
  explicit CurlFetcher(const FetcherOptions& options)
      : options_(options), scheduler_(options.max_per_host) {
    GlobalInit();
    multi_ = curl_multi_init();
    // Connections are reused across transfers to the same host, and kept open for that
    // up to a bound; HTTP/2 streams to one host share a connection.
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(MaxConnections(options_)));
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
      const int error = errno;
      if (epoll_fd_ >= 0) ::close(epoll_fd_);
      if (wake_fd_ >= 0) ::close(wake_fd_);
      curl_multi_cleanup(multi_);
      throw std::runtime_error(std::string("Cannot watch the network: ") + std::strerror(error));
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wake_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlFetcher::OnSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlFetcher::OnTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    for (auto& share : shares_) {
      share = curl_share_init();
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    // Each transfer is given only its own host's entries: libcurl loads every entry it is
    // given into the name cache at the start of every transfer.
    for (const auto& entry : options_.resolve) {
      auto& list = resolve_[ResolveKey(entry)];
      list = curl_slist_append(list, entry.c_str());
    }
    for (const auto& header : options_.headers)
      headers_ = curl_slist_append(headers_, header.c_str());
    worker_ = std::thread([this] { Run(); });
  }

  ~CurlFetcher() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    Wake();
    worker_.join();
    for (auto& [easy, transfer] : active_) {
      curl_multi_remove_handle(multi_, easy);
      curl_easy_cleanup(easy);
      delete transfer;
    }
    curl_multi_cleanup(multi_);
    for (auto* share : shares_) curl_share_cleanup(share);
    ::close(epoll_fd_);
    ::close(wake_fd_);
    for (auto& [key, list] : resolve_) curl_slist_free_all(list);
    curl_slist_free_all(headers_);
  }

  Ticket Submit(FetchRequest request) override {
    Job job;
    job.target = ResolveTarget(request.url);
    job.request = std::move(request);
    Ticket ticket = 0;
    {
      std::lock_guard lock(mutex_);
      if (outstanding_ >= options_.max_outstanding) {
        throw std::length_error("too many transfers waiting to be taken");
      }
      ticket = job.ticket = ++last_ticket_;
      ++outstanding_;
      live_.insert(ticket);
      incoming_.push_back(std::move(job));
    }
    Wake();
    return ticket;
  }

  bool Ready(Ticket ticket) override {
    std::lock_guard lock(mutex_);
    return done_.count(ticket) != 0;
  }

  FetchResult Take(Ticket ticket) override {
    FetchResult result;
    {
      std::unique_lock lock(mutex_);
      // The ticket stays wanted (and so the oldest, when it is) while it is waited for.
      if (live_.count(ticket) == 0 || !taking_.insert(ticket).second) {
        throw std::invalid_argument("Take of a ticket that is not waiting");
      }
      done_cv_.wait(lock, [&] { return done_.count(ticket) != 0; });
      result = std::move(done_[ticket]);
      done_.erase(ticket);
      live_.erase(ticket);
      taking_.erase(ticket);
      --outstanding_;
    }
    Release(HeapBytes(result.bytes));
    Wake();  // a new oldest ticket, which may be paused
    return result;
  }

  void Abandon(Ticket ticket) override {
    std::size_t freed = 0;
    {
      std::lock_guard lock(mutex_);
      if (taking_.count(ticket) || live_.erase(ticket) == 0) {
        throw std::invalid_argument("Abandon of a ticket that is not waiting");
      }
      const auto it = done_.find(ticket);
      if (it != done_.end()) {
        freed = HeapBytes(it->second.bytes);
        done_.erase(it);
        --outstanding_;
      } else {
        abandoned_.insert(ticket);  // the worker drops it wherever it is
      }
    }
    if (freed) Release(freed);
    Wake();
  }

  void SetNotify(std::function<void()> notify) override {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
  }

  static std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    return t->owner->Received(*t, data, size * count);
  }

  static std::size_t OnHeader(char*, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->header_bytes += size * count;
    // Headers and trailers have a cap of their own, like the body.
    if (t->header_bytes > t->owner->options_.max_header_bytes) {
      t->headers_too_large = true;
      return 0;
    }
    return size * count;
  }

 private:
  // Bytes held: the memory of running bodies plus finished documents not yet taken.
  // (A short text lives inside the string itself: nothing allocated.)
  static std::size_t HeapBytes(const std::string& s) {
    return s.capacity() > std::string().capacity() ? s.capacity() : 0;
  }
  void Hold(std::size_t n) { held_ += n; }
  void Release(std::size_t n) {
    held_ -= n;
    if (held_ < options_.memory_budget) Wake();
  }

  // The oldest ticket not yet taken: its transfer is never held back by the budget, so
  // that the caller, who takes in order, always gets on.
  bool IsOldestWanted(Ticket ticket) {
    std::lock_guard lock(mutex_);
    return !live_.empty() && *live_.begin() == ticket;
  }

  // Whether the rest of a decided document is read (and dropped) rather than the transfer
  // stopped. Over HTTP/1 a short rest is read, so that the connection stays usable for
  // the next page; a long one is not worth waiting for. An HTTP/2 stream is stopped at
  // once: that costs its connection nothing.
  static bool DrainRest(const Transfer& t) {
    long version = 0;
    curl_easy_getinfo(t.easy, CURLINFO_HTTP_VERSION, &version);
    if (version >= CURL_HTTP_VERSION_2_0) return false;
    return t.received - t.result.bytes.size() <= kDrainBudget;
  }

  std::size_t Received(Transfer& t, const char* data, std::size_t n) {
    if (t.result.cut_early) {
      t.received += n;
      return DrainRest(t) ? n : 0;
    }
    if (t.result.bytes.size() + n > options_.max_bytes) {
      t.received += n;
      t.too_large = true;
      return 0;  // aborts the transfer
    }
    // The budget counts memory allocated, so the buffer grows in steps chosen here: by
    // half again, or to the length the server announced when the bytes fit in it (for a
    // page that may be cut short, only once it has gone past 256 KiB undecided).
    std::string& bytes = t.result.bytes;
    const std::size_t need = bytes.size() + n;
    std::size_t grow_to = bytes.capacity();
    if (need > grow_to) {
      grow_to = std::max(need, std::min(grow_to + grow_to / 2, options_.max_bytes));
      curl_off_t length = -1;
      if (!t.job.request.decided || need > (256u << 10)) {
        curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      }
      if (length > 0 && static_cast<std::size_t>(length) >= need &&
          static_cast<std::size_t>(length) <= options_.max_bytes) {
        grow_to = static_cast<std::size_t>(length);
      }
    }
    const std::size_t growth = grow_to > bytes.capacity() ? grow_to - HeapBytes(bytes) : 0;
    if (growth > 0 && held_ + growth > options_.memory_budget && !IsOldestWanted(t.job.ticket)) {
      // Paused with what it has; libcurl hands these bytes again when it goes on.
      t.paused = t.was_paused = true;
      paused_.emplace(t.job.ticket, &t);
      return CURL_WRITEFUNC_PAUSE;
    }
    t.received += n;
    try {
      const std::size_t before = HeapBytes(bytes);
      if (grow_to > bytes.capacity()) bytes.reserve(grow_to);
      bytes.append(data, n);
      Hold(HeapBytes(bytes) - before);
    } catch (const std::bad_alloc&) {
      // No memory for this page: it fails, the run goes on.
      t.too_large = true;
      return 0;
    }
    if (t.job.request.decided && t.result.bytes.size() >= t.next_check) {
      // Checking at geometric steps keeps the decision linear in the document's size.
      const std::size_t size = t.result.bytes.size();
      t.next_check = size < (256u << 10) ? size + 1 : size + size / 2;
      char* type = nullptr;
      curl_easy_getinfo(t.easy, CURLINFO_CONTENT_TYPE, &type);
      long status = 0;
      curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
      // An error page is never decided early: it is thrown away anyway.
      if (MayStopEarly(status) && t.job.request.decided(t.result.bytes, type ? type : "")) {
        t.result.cut_early = true;
        return DrainRest(t) ? n : 0;
      }
    }
    return n;
  }

  // Starts a job: true when it became a transfer, false when it ended here (a local file,
  // a bad host name, a host skipped), leaving its slot free at once.
  bool Start(Job job) {
    if (job.attempts == 0) job.first_start = Clock::now();
    job.attempts++;
    if (IsFileUrl(job.target.url) || job.target.url.empty()) {
      // Local files and bad host names end here, without a transfer.
      FetchResult r;
      if (job.target.url.empty()) {
        r.final_url = job.request.url;
        r.error = FetchError::kResolve;
        r.error_text = job.target.error;
      } else if (!options_.allow_local_files) {
        r.final_url = job.request.url;
        r.error = FetchError::kFile;
        r.error_text = "Local files are not read (--no-local-files)";
      } else {
        r = ReadLocalFile(job.target.url, options_.max_bytes);
      }
      scheduler_.Finished(job.target.host_port);
      Hold(HeapBytes(r.bytes));
      File(job.ticket, std::move(r));
      return false;
    }
    if (options_.host_errors > 0) {
      const auto trouble = troubled_.find(job.target.host_port);
      if (trouble != troubled_.end() && trouble->second.failures >= options_.host_errors) {
        FetchResult r;
        r.final_url = job.request.url;
        r.error = FetchError::kSkippedHost;
        r.error_text = "Not tried: " + std::to_string(trouble->second.failures) +
                       " failures in a row on " + job.target.host_port +
                       "; the last: " + trouble->second.last;
        scheduler_.Finished(job.target.host_port);
        File(job.ticket, std::move(r));
        return false;
      }
    }
    auto* t = new Transfer;
    t->owner = this;
    t->job = std::move(job);
    CURL* e = curl_easy_init();
    t->easy = e;
    curl_easy_setopt(e, CURLOPT_URL, t->job.target.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlFetcher::OnData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlFetcher::OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error_buffer);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(options_.max_redirects));
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
    curl_easy_setopt(e, CURLOPT_USERAGENT, options_.user_agent.c_str());
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.max_bytes));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, options_.insecure ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, options_.insecure ? 0L : 2L);
    if (!options_.ca_file.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, options_.ca_file.c_str());
    if (headers_) curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers_);
    // A second connection to a host resumes its TLS session and needs no look-up: both
    // are kept in one of kShares caches, chosen by host (libcurl keeps 8 sessions in each).
    curl_easy_setopt(e, CURLOPT_SHARE,
                     shares_[std::hash<std::string>{}(t->job.target.host_port) % kShares]);
    // Over TLS, streams to a host wait for its first connection to say (by ALPN) whether
    // it multiplexes, rather than each opening its own. Plain HTTP is HTTP/1.1: nothing
    // to wait for.
    if (curl_strnequal(t->job.target.url.c_str(), "https:", 6))
      curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(e, CURLOPT_DNS_CACHE_TIMEOUT, NameCacheSeconds(t->job.target.host_port));
    if (!resolve_.empty()) {
      const auto it = resolve_.find(t->job.target.host_port);
      if (it != resolve_.end()) curl_easy_setopt(e, CURLOPT_RESOLVE, it->second);
    }
    curl_multi_add_handle(multi_, e);
    active_[e] = t;
    return true;
  }

  // `connected`: whether a connection was made before the error (a time-out before that
  // is a connect time-out); `redirected`: whether a redirect was followed (a refused
  // scheme after one is the redirect's fault).
  static FetchError Classify(CURLcode code, bool connected, bool redirected) {
    switch (code) {
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        return FetchError::kResolve;
      case CURLE_COULDNT_CONNECT:
        return FetchError::kRefused;
      case CURLE_OPERATION_TIMEDOUT:
        return connected ? FetchError::kTimeout : FetchError::kConnectTimeout;
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_ISSUER_ERROR:
      case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      case CURLE_SSL_INVALIDCERTSTATUS:
      case CURLE_SSL_CRL_BADFILE:
        return FetchError::kTls;
      case CURLE_TOO_MANY_REDIRECTS:
        return FetchError::kRedirects;
      case CURLE_UNSUPPORTED_PROTOCOL:
        return redirected ? FetchError::kRedirects : FetchError::kNetwork;
      case CURLE_FILESIZE_EXCEEDED:
        return FetchError::kTooLarge;
      default:
        return FetchError::kNetwork;
    }
  }

  // The wait before asking again, in ms; negative when the answer is final.
  long RetryWait(const Transfer& t, CURL* e, long status) const {
    std::optional<std::string_view> retry_after;
    curl_header* h = nullptr;
    if (curl_easy_header(e, "Retry-After", 0, CURLH_HEADER, -1, &h) == CURLHE_OK && h)
      retry_after = h->value;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t.job.first_start)
            .count();
    const auto wait = RetryDelay(status, t.job.attempts, retry_after,
                                 static_cast<long long>(std::time(nullptr)), elapsed, options_);
    return wait ? static_cast<long>(*wait) : -1;
  }

  // Ends a transfer; either requeues it for a retry or files its result.
  void Finish(CURL* e, CURLcode code) {
    Transfer* t = active_[e];
    active_.erase(e);
    scheduler_.Finished(t->job.target.host_port);
    FetchResult& r = t->result;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &r.status);
    char* url = nullptr;
    curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &url);
    r.final_url = url ? url : t->job.request.url;
    char* type = nullptr;
    curl_easy_getinfo(e, CURLINFO_CONTENT_TYPE, &type);
    r.content_type = type ? type : "";
    r.bytes_read = t->received;

    if (t->paused) paused_.erase(t->job.ticket);
    long wait_ms = -1;
    // Timed out while the budget held it back: started again, no attempt counted.
    bool again = false;
    if (r.cut_early) {
      r.ok = true;
    } else if (t->was_paused && code == CURLE_OPERATION_TIMEDOUT) {
      again = true;
    } else if (t->too_large) {
      r.error = FetchError::kTooLarge;
      r.error_text = "Document larger than " + std::to_string(options_.max_bytes) + " bytes";
    } else if (t->headers_too_large) {
      r.error = FetchError::kTooLarge;
      r.error_text =
          "Response headers larger than " + std::to_string(options_.max_header_bytes) + " bytes";
    } else if (code != CURLE_OK) {
      curl_off_t connected_us = 0;
      curl_easy_getinfo(e, CURLINFO_CONNECT_TIME_T, &connected_us);
      long redirects = 0;
      curl_easy_getinfo(e, CURLINFO_REDIRECT_COUNT, &redirects);
      r.error = Classify(code, connected_us > 0, redirects > 0);
      r.error_text = t->error_buffer[0] ? t->error_buffer : curl_easy_strerror(code);
    } else if (r.status >= 400) {
      r.error = FetchError::kHttpStatus;
      r.error_text = "HTTP status " + std::to_string(r.status);
      wait_ms = RetryWait(*t, e, r.status);
    } else {
      r.ok = true;
    }
    if (!r.ok || again || wait_ms >= 0) {
      Release(HeapBytes(r.bytes));
      r.bytes.clear();
      r.bytes.shrink_to_fit();
    }
    curl_multi_remove_handle(multi_, e);
    curl_easy_cleanup(e);

    Job job = std::move(t->job);
    FetchResult result = std::move(t->result);
    delete t;
    if (again) {
      job.attempts--;
      std::lock_guard lock(mutex_);
      if (!abandoned_.erase(job.ticket)) {
        scheduler_.Add(std::move(job));
      } else {
        --outstanding_;
      }
      return;
    }
    if (wait_ms >= 0) {
      std::lock_guard lock(mutex_);
      if (!abandoned_.erase(job.ticket)) {
        const auto when = Clock::now() + std::chrono::milliseconds(wait_ms);
        delayed_.push({when, job.ticket});
        delayed_jobs_.emplace(job.ticket, std::move(job));
      } else {
        --outstanding_;
      }
      return;
    }
    if (options_.host_errors > 0) CountHostTrouble(job.target.host_port, result);
    File(job.ticket, std::move(result));
  }

  // Failures at the connection level count against their host; a page had clears it.
  void CountHostTrouble(const std::string& host, const FetchResult& r) {
    if (r.ok) {
      troubled_.erase(host);
      return;
    }
    switch (r.error) {
      case FetchError::kResolve:
      case FetchError::kRefused:
      case FetchError::kConnectTimeout:
      case FetchError::kTls: {
        auto& trouble = troubled_[host];
        ++trouble.failures;
        trouble.last = r.error_text;
        break;
      }
      default:
        break;
    }
  }

  // Hands a result to its taker, or drops it when it was abandoned.
  void File(Ticket ticket, FetchResult r) {
    std::function<void()> notify;
    std::size_t dropped = 0;
    {
      std::lock_guard lock(mutex_);
      if (abandoned_.erase(ticket) != 0) {
        --outstanding_;
        dropped = HeapBytes(r.bytes);
      } else {
        done_[ticket] = std::move(r);
        notify = notify_;
      }
    }
    if (dropped) {
      Release(dropped);
      return;
    }
    done_cv_.notify_all();
    if (notify) notify();
  }

  // Ends the running transfers and waiting jobs whose results nobody wants. Called on the
  // worker with mutex_ held.
  void DropAbandoned() {
    for (auto it = abandoned_.begin(); it != abandoned_.end();) {
      const Ticket ticket = *it;
      if (scheduler_.Remove(ticket) || delayed_jobs_.erase(ticket)) {
        --outstanding_;
        it = abandoned_.erase(it);
        continue;
      }
      ++it;  // running: stopped below
    }
    for (auto it = active_.begin(); it != active_.end() && !abandoned_.empty();) {
      Transfer* t = it->second;
      if (abandoned_.erase(t->job.ticket) == 0) {
        ++it;
        continue;
      }
      scheduler_.Finished(t->job.target.host_port);
      if (t->paused) paused_.erase(t->job.ticket);
      Release(HeapBytes(t->result.bytes));
      curl_multi_remove_handle(multi_, it->first);
      curl_easy_cleanup(it->first);
      delete t;
      --outstanding_;
      it = active_.erase(it);
    }
  }

  // Moves new and due jobs into the scheduler and starts what the limits allow.
  // Returns the milliseconds until the next delayed job is due (at most 1000).
  int Schedule() {
    std::vector<Job> starting;
    int poll_ms = 1000;
    Ticket oldest = 0;
    {
      std::lock_guard lock(mutex_);
      if (!abandoned_.empty()) DropAbandoned();
      for (auto& job : incoming_) scheduler_.Add(std::move(job));
      incoming_.clear();
      const auto now = Clock::now();
      while (!delayed_.empty() && delayed_.top().first <= now) {
        const Ticket ticket = delayed_.top().second;
        delayed_.pop();
        auto it = delayed_jobs_.find(ticket);
        if (it == delayed_jobs_.end()) continue;  // abandoned meanwhile
        scheduler_.Add(std::move(it->second));
        delayed_jobs_.erase(it);
      }
      if (!delayed_.empty()) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(delayed_.top().first - now)
                .count();
        poll_ms = std::min<int>(poll_ms, static_cast<int>(ms) + 1);
      }
      oldest = live_.empty() ? 0 : *live_.begin();
      while (active_.size() + starting.size() < static_cast<std::size_t>(options_.max_transfers)) {
        const auto next = scheduler_.OldestReady();
        if (!next) break;
        // Past the budget only the oldest wanted document may start.
        if (held_ >= options_.memory_budget && *next != oldest) break;
        starting.push_back(std::move(*scheduler_.Next()));
      }
    }
    ResumePaused(oldest);
    bool ended_here = false;
    for (auto& job : starting) ended_here |= !Start(std::move(job));
    // Slots of jobs that ended at once are filled on the next pass, without waiting.
    return ended_here ? 0 : poll_ms;
  }

  // Paused transfers go on, oldest first, while there is room in the budget; the oldest
  // wanted document always does. (Outside the lock: going on may call Received at once.)
  void ResumePaused(Ticket oldest) {
    while (!paused_.empty()) {
      const auto [ticket, t] = *paused_.begin();
      if (held_ >= options_.memory_budget && ticket != oldest) break;
      paused_.erase(paused_.begin());
      t->paused = false;
      curl_easy_pause(t->easy, CURLPAUSE_CONT);
      if (t->paused) break;  // paused again at once: no more room
    }
  }

  // Any thread: the worker looks at its queues again.
  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_fd_, &one, sizeof one);  // EAGAIN: already due
  }

  // libcurl says which sockets to watch and for what; they are kept in one epoll set, so
  // that a pass costs what happened, not how many transfers run.
  static int OnSocket(CURL*, curl_socket_t socket, int what, void* user, void* known) {
    auto* self = static_cast<CurlFetcher*>(user);
    if (what == CURL_POLL_REMOVE) {
      ::epoll_ctl(self->epoll_fd_, EPOLL_CTL_DEL, socket, nullptr);
      return 0;
    }
    epoll_event event{};
    event.events =
        ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
    event.data.fd = socket;
    if (!known || ::epoll_ctl(self->epoll_fd_, EPOLL_CTL_MOD, socket, &event) != 0) {
      if (::epoll_ctl(self->epoll_fd_, EPOLL_CTL_ADD, socket, &event) != 0 && errno == EEXIST) {
        ::epoll_ctl(self->epoll_fd_, EPOLL_CTL_MOD, socket, &event);
      }
      curl_multi_assign(self->multi_, socket, self);
    }
    return 0;
  }

  static int OnTimer(CURLM*, long timeout_ms, void* user) {
    auto* self = static_cast<CurlFetcher*>(user);
    self->timer_ = timeout_ms < 0
                       ? std::nullopt
                       : std::optional(Clock::now() + std::chrono::milliseconds(timeout_ms));
    return 0;
  }

  // Ends the transfers libcurl says are done; whether there were any.
  bool CollectFinished() {
    int left = 0;
    bool finished_any = false;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg == CURLMSG_DONE) {
        Finish(msg->easy_handle, msg->data.result);
        finished_any = true;
      }
    }
    return finished_any;
  }

  void Run() {
    std::array<epoll_event, 256> events{};
    int running = 0;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      int wait_ms = Schedule();
      if (timer_) {
        const auto due =
            std::chrono::ceil<std::chrono::milliseconds>(*timer_ - Clock::now()).count();
        wait_ms = std::clamp<int>(static_cast<int>(std::min<long long>(due, wait_ms)), 0, wait_ms);
      }
      const int n =
          ::epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), wait_ms);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_fd_) {
          std::uint64_t count = 0;
          [[maybe_unused]] const auto r = ::read(wake_fd_, &count, sizeof count);
          continue;
        }
        const auto ev = events[i].events;
        const int mask = ((ev & EPOLLIN) ? CURL_CSELECT_IN : 0) |
                         ((ev & EPOLLOUT) ? CURL_CSELECT_OUT : 0) |
                         ((ev & (EPOLLERR | EPOLLHUP)) ? CURL_CSELECT_ERR : 0);
        curl_multi_socket_action(multi_, fd, mask, &running);
      }
      if (timer_ && *timer_ <= Clock::now()) {
        timer_.reset();
        curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
      }
      CollectFinished();
    }
  }

  // libcurl walks a whole name cache at the end of every transfer that uses it, so a
  // cache holding every host of a long run costs hours over a million hosts. Names are
  // kept a minute while a run meets fewer than kNewHostsToCache new hosts a minute (each
  // cache then holds a few dozen); past that, only while a transfer uses them.
  long NameCacheSeconds(const std::string& host) {
    const auto now = Clock::now();
    if (now - recent_hosts_since_ > std::chrono::seconds(60)) {
      recent_hosts_.clear();
      recent_hosts_since_ = now;
    }
    if (recent_hosts_.size() < kNewHostsToCache) recent_hosts_.insert(host);
    return recent_hosts_.size() < kNewHostsToCache ? 60L : 0L;
  }

  static constexpr std::size_t kShares = 256;
  static constexpr std::size_t kNewHostsToCache = 16'384;

  const FetcherOptions options_;
  CURLM* multi_ = nullptr;
  std::array<CURLSH*, kShares> shares_{};
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::optional<Clock::time_point> timer_;        // when libcurl wants to be called, if at all
  std::unordered_set<std::string> recent_hosts_;  // met since recent_hosts_since_
  Clock::time_point recent_hosts_since_ = Clock::now();
  std::unordered_map<std::string, curl_slist*> resolve_;  // by host:port, lower case
  curl_slist* headers_ = nullptr;
  std::thread worker_;
  std::atomic<std::size_t> held_{0};

  // Owned by the worker thread only.
  std::unordered_map<CURL*, Transfer*> active_;
  std::map<Ticket, Transfer*> paused_;  // held back by the budget, by ticket
  struct HostTrouble {
    int failures = 0;
    std::string last;
  };
  std::unordered_map<std::string, HostTrouble> troubled_;  // hosts failing now, only

  // State below is protected by mutex_.
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool stopping_ = false;
  Ticket last_ticket_ = 0;
  std::size_t outstanding_ = 0;
  std::vector<Job> incoming_;
  Scheduler scheduler_;
  std::priority_queue<std::pair<Clock::time_point, Ticket>,
                      std::vector<std::pair<Clock::time_point, Ticket>>, std::greater<>>
      delayed_;
  std::unordered_map<Ticket, Job> delayed_jobs_;
  std::map<Ticket, FetchResult> done_;
  std::set<Ticket> live_;                 // issued, not yet taken or abandoned
  std::set<Ticket> taking_;               // waited for in Take
  std::unordered_set<Ticket> abandoned_;  // abandoned while waiting or running
  std::function<void()> notify_;
};

}  // namespace

int MaxConnections(const FetcherOptions& options) {
  return options.max_connections > 0 ? options.max_connections : 8 * options.max_transfers;
}

std::unique_ptr<Fetcher> MakeCurlFetcher(const FetcherOptions& options) {
  return std::make_unique<CurlFetcher>(options);
}

}  // namespace orvanel
