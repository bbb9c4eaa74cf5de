#pragma once

// The libcurl fetcher's parts, shared by the files that make it up; nothing outside
// src/fetch includes this.
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <queue>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fetch/BodyReader.h"
#include "fetch/CurlTransfer.h"
#include "fetch/FetchPolicy.h"
#include "fetch/HostBreaker.h"
#include "fetch/HostQueue.h"
#include "fetch/LocalFile.h"
#include "fetch/MemoryBudget.h"
#include "fetch/NameCachePolicy.h"
#include "fetch/SocketLoop.h"
#include "fetch/TicketBook.h"
#include "fetch/TransferTarget.h"

namespace orvanel::fetch_detail {

using Clock = std::chrono::steady_clock;
using Ticket = Fetcher::Ticket;

// TLS sessions and looked-up names are kept in this many caches, chosen by host: libcurl
// keeps only 8 sessions in each.
constexpr std::size_t kShares = 256;
// Hosts remembered as reached over TLS, at most.
constexpr std::size_t kReachedHostsKept = 65'536;

inline void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One address, across its retries, redirects and restarts.
struct Job {
  Ticket ticket = 0;
  FetchRequest request;
  TransferTarget first;   // the address's own
  TransferTarget target;  // of the request under way
  int attempts = 0;       // requests made for the address (retries count, hops do not)
  int redirects = 0;
  int restarts = 0;  // started again after the budget held it back
  Clock::time_point first_start{};
  Clock::time_point deadline{};  // of the request under way
};

// A job whose request is under way: a transfer, or a local file being read.
struct Running {
  Job job;
  std::unique_ptr<BodyReader> reader;
  std::unique_ptr<CurlTransfer> transfer;
  std::unique_ptr<LocalFile> file;
  std::size_t file_held = 0;  // counted in the budget for a local file's bytes
  bool paused = false;        // held back by the budget until there is room
  bool was_paused = false;
  bool whole = false;     // its transfer read the answer to its end
  bool draining = false;  // its deadline is that of the rest of a body no longer kept
  Clock::time_point paused_since{};
};

inline std::string Seconds(long ms) { return std::to_string(ms / 1000) + " s"; }

class CurlFetcher final : public Fetcher, public CurlTransfer::Sink {
 public:
  explicit CurlFetcher(const FetcherOptions& options);
  ~CurlFetcher() override;

  Ticket Submit(FetchRequest request) override {
    TransferTarget target = MakeTarget(request.url);
    const Ticket ticket = book_.Submit(std::move(request), std::move(target));
    loop_->Wake();
    return ticket;
  }
  bool Ready(Ticket ticket) override { return book_.Ready(ticket); }
  FetchResult Take(Ticket ticket) override {
    FetchResult result = book_.Take(ticket);
    budget_.Release(MemoryBudget::HeapBytes(result.bytes));
    loop_->Wake();  // room, and a new oldest ticket, which may be paused
    return result;
  }
  void Abandon(Ticket ticket) override {
    if (auto dropped = book_.Abandon(ticket))
      budget_.Release(MemoryBudget::HeapBytes(dropped->bytes));
    loop_->Wake();
  }
  void SetNotify(std::function<void()> notify) override { book_.SetNotify(std::move(notify)); }

 private:
  std::size_t Body(CurlTransfer& transfer, const char* data, std::size_t size) override;
  void Connected(CurlTransfer& transfer) override;
  void Queue(const Job& job);  // into queue_, a host not reached yet one at a time

  void Run();
  void Intake();
  void DropAbandoned();
  void MoveDueRetries(Clock::time_point now);
  void ResumePaused(Clock::time_point now);
  void Settled(BodyReader& reader, bool whole, FetchResult& result) const;
  // Transfers that open a connection go in kConnectsPerTurn at a time (one whose host has
  // a kept connection free starts at once), and a turn that held some back waits for
  // nothing. When the worker keeps up (transfers waiting on the network), the turns follow
  // each other at once and every slot fills within milliseconds. When it does not (hundreds
  // of TLS handshakes at the start of a run), a turn lasts as long as the work that is
  // ready, so connections open at the pace the worker completes them, and each goes on to
  // its request instead of every request waiting until every handshake has had its turn.
  static constexpr int kConnectsPerTurn = 8;
  // True when it held some back for the next turn.
  bool StartWhatFits(Clock::time_point now);
  void Start(Job job, Clock::time_point now);
  const TrustStore* Trust();  // read at the first call
  bool PumpLocalFiles();
  bool SettleDecodes();
  void ExpireDeadlines(Clock::time_point now);
  void CollectFinished();
  void Finish(Running& running, CURLcode code);
  int WaitMs(Clock::time_point now) const;

  std::optional<Job> NextHop(const Job& job, const std::string& url, FetchResult& result) const;
  void Requeue(Job job);
  void RetryLater(Job job, long long wait_ms);
  void End(Ticket ticket);  // takes a running job out of every account
  void File(Ticket ticket, FetchResult result);
  FetchResult Failure(const Job& job, FetchError error, std::string text) const;
  bool IsOldest(Ticket ticket) const { return book_.OldestWanted() == ticket; }

  // Constant after construction.
  const FetcherOptions options_;
  const ResolveTable resolve_;
  CURLM* multi_ = nullptr;
  std::array<CURLSH*, kShares> shares_{};
  curl_slist* headers_ = nullptr;
  std::unique_ptr<SocketLoop> loop_;
  std::unique_ptr<EasyPool> pool_;     // after the shares: handles hold on to them
  std::unique_ptr<TrustStore> trust_;  // null without certificate checks, or unreadable
  bool trust_read_ = false;

  // Shared with the callers' threads: each guards itself (see their headers).
  TicketBook book_;
  MemoryBudget budget_;
  std::atomic<bool> stopping_{false};

  // The worker thread's only.
  HostQueue queue_;
  HostBreaker breaker_;
  NameCachePolicy names_;
  std::unordered_map<Ticket, Job> waiting_;  // in queue_, or waiting for a retry
  std::priority_queue<std::pair<Clock::time_point, Ticket>,
                      std::vector<std::pair<Clock::time_point, Ticket>>, std::greater<>>
      retries_;
  std::unordered_map<Ticket, std::unique_ptr<Running>> running_;
  // The running local files, oldest first, so that the loop does not walk every transfer
  // to find them; one ended by another path drops out when the files are next read.
  std::vector<Ticket> files_;
  std::vector<std::unique_ptr<Running>> settling_;  // answers whole, decoding the rest
  std::priority_queue<std::pair<Clock::time_point, Ticket>,
                      std::vector<std::pair<Clock::time_point, Ticket>>, std::greater<>>
      deadlines_;
  // Hosts reached over TLS, whose next transfers wait for (and may share) a connection;
  // a host not reached yet gets one transfer at a time until its first connects.
  std::unordered_set<std::string> reached_;

  std::thread worker_;  // last: it starts with everything above in place
};

// The key a job is queued under: its host, or for an address that is not fetched (or a
// local file), the address itself.
inline const std::string& QueueKey(const Job& job) {
  return job.target.ok() ? job.target.host_key : job.request.url;
}

}  // namespace orvanel::fetch_detail
