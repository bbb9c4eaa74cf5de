#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Fetcher.h"

namespace orvanel {
namespace {

using Clock = std::chrono::steady_clock;

// After a document is decided, at most this much more is read (and dropped) in the hope
// that the response ends and its connection can be reused.
constexpr std::size_t kDrainBudget = 64 * 1024;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Scheme and host of a URL; transfers are limited per key. Local files have no host limit.
std::string HostKey(const std::string& url) {
  CURLU* u = curl_url();
  std::string key = url;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host) {
      key = host;
      curl_free(host);
    }
    char* port = nullptr;
    if (curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK && port) {
      key += ":";
      key += port;
      curl_free(port);
    }
  }
  curl_url_cleanup(u);
  return key;
}

bool IsFileUrl(const std::string& url) {
  return url.size() >= 7 && curl_strnequal(url.c_str(), "file://", 7);
}

struct Job {
  Fetcher::Ticket ticket = 0;
  FetchRequest request;
  std::string host;
  bool unlimited_host = false;
  int attempts = 0;
  Clock::time_point not_before{};
};

class CurlFetcher;

struct Transfer {
  CurlFetcher* owner = nullptr;
  Job job;
  CURL* easy = nullptr;
  FetchResult result;
  std::size_t next_check = 0;
  std::size_t received = 0;  // every byte of the body, kept or not
  bool too_large = false;
  char error_buffer[CURL_ERROR_SIZE] = {};
};

class CurlFetcher final : public Fetcher {
 public:
  explicit CurlFetcher(const FetcherOptions& options) : options_(options) {
    GlobalInit();
    multi_ = curl_multi_init();
    // Connections are reused across transfers to the same host.
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(options_.max_transfers * 2));
    worker_ = std::thread([this] { Run(); });
  }

  ~CurlFetcher() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    worker_.join();
    for (auto& [easy, transfer] : active_) {
      curl_multi_remove_handle(multi_, easy);
      curl_easy_cleanup(easy);
      delete transfer;
    }
    curl_multi_cleanup(multi_);
  }

  Ticket Submit(FetchRequest request) override {
    Job job;
    job.host = HostKey(request.url);
    job.unlimited_host = IsFileUrl(request.url);
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
      pending_.push_back(std::move(job));
    }
    curl_multi_wakeup(multi_);
    return ticket;
  }

  bool Ready(Ticket ticket) override {
    std::lock_guard lock(mutex_);
    return done_.count(ticket) != 0;
  }

  FetchResult Take(Ticket ticket) override {
    std::unique_lock lock(mutex_);
    if (live_.erase(ticket) == 0) throw std::invalid_argument("Take of a ticket that is not waiting");
    done_cv_.wait(lock, [&] { return done_.count(ticket) != 0; });
    FetchResult result = std::move(done_[ticket]);
    done_.erase(ticket);
    --outstanding_;
    return result;
  }

  void Abandon(Ticket ticket) override {
    {
      std::lock_guard lock(mutex_);
      if (live_.erase(ticket) == 0) throw std::invalid_argument("Abandon of a ticket that is not waiting");
      if (done_.erase(ticket) != 0) {
        --outstanding_;
        return;
      }
      for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->ticket == ticket) {
          pending_.erase(it);
          --outstanding_;
          return;
        }
      }
      abandoned_.insert(ticket);  // running: the worker stops it
    }
    curl_multi_wakeup(multi_);
  }

  void SetNotify(std::function<void()> notify) override {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
  }

  static std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    return t->owner->Received(*t, data, size * count);
  }

 private:
  std::size_t Received(Transfer& t, const char* data, std::size_t n) {
    t.received += n;
    if (t.result.cut_early) {
      // The document is decided. A short rest is read and dropped, so that the connection
      // stays usable for the next page; a long one is not worth waiting for.
      return t.received - t.result.bytes.size() > kDrainBudget ? 0 : n;
    }
    if (t.result.bytes.size() + n > options_.max_bytes) {
      t.too_large = true;
      return 0;  // aborts the transfer
    }
    t.result.bytes.append(data, n);
    if (t.job.request.decided && t.result.bytes.size() >= t.next_check) {
      // Checking at geometric steps keeps the decision linear in the document's size.
      const std::size_t size = t.result.bytes.size();
      t.next_check = size < (256u << 10) ? size + 1 : size + size / 2;
      char* type = nullptr;
      curl_easy_getinfo(t.easy, CURLINFO_CONTENT_TYPE, &type);
      long status = 0;
      curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
      // An error page is never decided early: it is thrown away anyway.
      if (status < 400 && t.job.request.decided(t.result.bytes, type ? type : "")) {
        t.result.cut_early = true;
        return t.received - t.result.bytes.size() > kDrainBudget ? 0 : n;
      }
    }
    return n;
  }

  void Start(Job job) {
    auto* t = new Transfer;
    t->owner = this;
    t->job = std::move(job);
    t->job.attempts++;
    CURL* e = curl_easy_init();
    t->easy = e;
    curl_easy_setopt(e, CURLOPT_URL, t->job.request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlFetcher::OnData);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error_buffer);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(options_.max_redirects));
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps,file");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
    curl_easy_setopt(e, CURLOPT_USERAGENT, options_.user_agent.c_str());
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.max_bytes));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_multi_add_handle(multi_, e);
    active_[e] = t;
    if (!t->job.unlimited_host) ++per_host_[t->job.host];
  }

  // Moves jobs from the queue into transfers as the limits allow. Called with mutex_ held.
  void Schedule(Clock::time_point now) {
    for (auto it = pending_.begin();
         it != pending_.end() && active_.size() < static_cast<std::size_t>(options_.max_transfers);) {
      const bool host_full =
          !it->unlimited_host && per_host_[it->host] >= options_.max_per_host;
      if (host_full || it->not_before > now) {
        ++it;
        continue;
      }
      Job job = std::move(*it);
      it = pending_.erase(it);
      Start(std::move(job));
    }
  }

  // Ends the running transfers whose results nobody wants. Called with mutex_ held.
  void StopAbandoned() {
    for (auto it = active_.begin(); it != active_.end();) {
      Transfer* t = it->second;
      if (abandoned_.erase(t->job.ticket) == 0) {
        ++it;
        continue;
      }
      if (!t->job.unlimited_host) --per_host_[t->job.host];
      curl_multi_remove_handle(multi_, it->first);
      curl_easy_cleanup(it->first);
      delete t;
      --outstanding_;
      it = active_.erase(it);
    }
  }

  static FetchError Classify(CURLcode code) {
    switch (code) {
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        return FetchError::kResolve;
      case CURLE_COULDNT_CONNECT:
      case CURLE_RECV_ERROR:
      case CURLE_SEND_ERROR:
      case CURLE_GOT_NOTHING:
        return FetchError::kConnect;
      case CURLE_OPERATION_TIMEDOUT:
        return FetchError::kTimeout;
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CACERT_BADFILE:
        return FetchError::kTls;
      case CURLE_TOO_MANY_REDIRECTS:
        return FetchError::kRedirects;
      case CURLE_FILE_COULDNT_READ_FILE:
      case CURLE_READ_ERROR:
        return FetchError::kFile;
      case CURLE_FILESIZE_EXCEEDED:
        return FetchError::kTooLarge;
      case CURLE_UNSUPPORTED_PROTOCOL:
      case CURLE_WEIRD_SERVER_REPLY:
      case CURLE_BAD_CONTENT_ENCODING:
      case CURLE_HTTP2:
      case CURLE_PARTIAL_FILE:
        return FetchError::kProtocol;
      default:
        return FetchError::kOther;
    }
  }

  static long RetryAfterMs(CURL* e) {
    curl_header* h = nullptr;
    if (curl_easy_header(e, "Retry-After", 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h) return -1;
    char* end = nullptr;
    const long seconds = std::strtol(h->value, &end, 10);
    if (end == h->value || seconds < 0) return -1;
    return seconds * 1000;
  }

  // Ends a transfer; either requeues it for a retry or files its result.
  void Finish(CURL* e, CURLcode code) {
    Transfer* t = active_[e];
    active_.erase(e);
    if (!t->job.unlimited_host) --per_host_[t->job.host];
    FetchResult& r = t->result;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &r.status);
    char* url = nullptr;
    curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &url);
    r.final_url = url ? url : t->job.request.url;
    char* type = nullptr;
    curl_easy_getinfo(e, CURLINFO_CONTENT_TYPE, &type);
    r.content_type = type ? type : "";
    r.bytes_read = t->received;
    if (IsFileUrl(r.final_url)) r.status = 0;

    bool retry = false;
    long wait_ms = options_.retry_wait_ms;
    if (r.cut_early) {
      r.ok = true;
    } else if (t->too_large) {
      r.error = FetchError::kTooLarge;
      r.error_text = "Document larger than " + std::to_string(options_.max_bytes) + " bytes";
    } else if (code != CURLE_OK) {
      r.error = Classify(code);
      r.error_text = t->error_buffer[0] ? t->error_buffer : curl_easy_strerror(code);
    } else if (r.status >= 400) {
      r.error = FetchError::kHttpStatus;
      r.error_text = "HTTP status " + std::to_string(r.status);
      if ((r.status == 429 || r.status == 503) && t->job.attempts <= options_.retries) {
        retry = true;
        const long after = RetryAfterMs(e);
        if (after >= 0) wait_ms = std::min(after, options_.max_retry_wait_ms);
      }
    } else {
      r.ok = true;
    }
    if (!r.ok) r.bytes.clear();
    curl_multi_remove_handle(multi_, e);
    curl_easy_cleanup(e);

    std::function<void()> notify;
    {
      std::lock_guard lock(mutex_);
      if (abandoned_.erase(t->job.ticket) != 0) {
        --outstanding_;
        delete t;
        return;
      }
      if (retry) {
        Job job = std::move(t->job);
        job.not_before = Clock::now() + std::chrono::milliseconds(wait_ms);
        pending_.push_back(std::move(job));
      } else {
        done_[t->job.ticket] = std::move(r);
        notify = notify_;
      }
    }
    delete t;
    if (!retry) {
      done_cv_.notify_all();
      if (notify) notify();
    }
  }

  void Run() {
    for (;;) {
      int poll_ms = 1000;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (!abandoned_.empty()) StopAbandoned();
        const auto now = Clock::now();
        Schedule(now);
        for (const auto& job : pending_) {
          if (job.not_before > now) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(job.not_before - now).count();
            poll_ms = std::min<int>(poll_ms, static_cast<int>(ms) + 1);
          }
        }
      }
      int running = 0;
      curl_multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg == CURLMSG_DONE) Finish(msg->easy_handle, msg->data.result);
      }
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        // New work may have become startable; loop without sleeping.
        if (!pending_.empty() && active_.size() < static_cast<std::size_t>(options_.max_transfers)) {
          bool startable = false;
          const auto now = Clock::now();
          for (const auto& job : pending_) {
            if (job.not_before <= now &&
                (job.unlimited_host || per_host_[job.host] < options_.max_per_host)) {
              startable = true;
              break;
            }
          }
          if (startable) continue;
        }
      }
      curl_multi_poll(multi_, nullptr, 0, poll_ms, nullptr);
    }
  }

  const FetcherOptions options_;
  CURLM* multi_ = nullptr;
  std::thread worker_;

  // Owned by the worker thread only.
  std::unordered_map<CURL*, Transfer*> active_;
  std::unordered_map<std::string, int> per_host_;

  // State below is protected by mutex_.
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool stopping_ = false;
  Ticket last_ticket_ = 0;
  std::size_t outstanding_ = 0;
  std::deque<Job> pending_;
  std::map<Ticket, FetchResult> done_;
  std::unordered_set<Ticket> live_;       // issued, not yet taken or abandoned
  std::unordered_set<Ticket> abandoned_;  // abandoned while running
  std::function<void()> notify_;
};

}  // namespace

std::unique_ptr<Fetcher> MakeCurlFetcher(const FetcherOptions& options) {
  return std::make_unique<CurlFetcher>(options);
}

}  // namespace orvanel
