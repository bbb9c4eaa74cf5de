#include "fetch/CurlFetcher.h"

#include <curl/curl.h>

#include "fetch/CurlFetcherImpl.h"

namespace orvanel {
namespace fetch_detail {

CurlFetcher::CurlFetcher(const FetcherOptions& options)
    : options_(options),
      resolve_(options.resolve),
      book_(options.max_outstanding),
      budget_(options.memory_budget),
      // A host whose connections are all busy waits, rather than open another, while the
      // tickets of other hosts at most four rounds of transfers younger can start.
      queue_(options.max_per_host, std::chrono::milliseconds(options.host_delay_ms),
             4 * static_cast<std::uint64_t>(std::max(options.max_transfers, 1))),
      breaker_(options.host_errors) {
  GlobalInit();
  multi_ = curl_multi_init();
  // Connections are reused across transfers to the same host, and kept open for that up
  // to a bound; HTTP/2 streams to one host share a connection.
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(MaxConnections(options_)));
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  try {
    loop_ = std::make_unique<SocketLoop>(multi_);
  } catch (...) {
    curl_multi_cleanup(multi_);
    throw;
  }
  for (auto& share : shares_) {
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  // As many handles are kept as transfers run at once: no more than a run's busiest
  // moment already held.
  pool_ = std::make_unique<EasyPool>(static_cast<std::size_t>(std::max(options_.max_transfers, 1)));
  for (const auto& header : options_.headers)
    headers_ = curl_slist_append(headers_, header.c_str());
  worker_ = std::thread([this] { Run(); });
}

const TrustStore* CurlFetcher::Trust() {
  if (trust_read_ || options_.insecure) return trust_.get();
  trust_read_ = true;
  // The system's certificates as libcurl would read them (its bundle and its folder), or
  // --cacert's file alone; read once, when the first TLS transfer starts: a run over plain
  // HTTP never reads them (tens of milliseconds for the system's bundle).
  const auto defaults = TrustStore::LibcurlDefaults();
  const bool given = !options_.ca_file.empty();
  const std::string file = given ? options_.ca_file : defaults.file;
  const std::string folder = given ? "" : defaults.folder;
  if (!file.empty() || !folder.empty()) trust_ = TrustStore::Load(file, folder);
  return trust_.get();
}

CurlFetcher::~CurlFetcher() {
  stopping_ = true;
  loop_->Wake();
  worker_.join();
  settling_.clear();
  running_.clear();  // each transfer leaves the multi handle as it goes
  pool_.reset();
  loop_.reset();
  curl_multi_cleanup(multi_);
  for (auto* share : shares_) curl_share_cleanup(share);
  curl_slist_free_all(headers_);
}

void CurlFetcher::Run() {
  while (!stopping_) {
    const auto now = Clock::now();
    Intake();
    DropAbandoned();
    MoveDueRetries(now);
    ResumePaused(now);
    bool busy = StartWhatFits(now);
    busy |= PumpLocalFiles();
    busy |= SettleDecodes();
    ExpireDeadlines(now);
    book_.NotifyIfFiled();
    loop_->RunOnce(busy ? 0 : WaitMs(now));
    CollectFinished();
  }
}

int CurlFetcher::WaitMs(Clock::time_point now) const {
  auto until = now + std::chrono::seconds(1);
  if (!retries_.empty()) until = std::min(until, retries_.top().first);
  if (!deadlines_.empty()) until = std::min(until, deadlines_.top().first);
  if (const auto due = queue_.NextDue()) until = std::min(until, *due);
  return static_cast<int>(
      std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
}

void CurlFetcher::Intake() {
  for (auto& s : book_.TakeSubmitted()) {
    Job job;
    job.ticket = s.ticket;
    job.request = std::move(s.request);
    job.first = std::move(s.target);
    job.target = job.first;
    Queue(job);
    waiting_.emplace(job.ticket, std::move(job));
  }
}

void CurlFetcher::DropAbandoned() {
  for (const Ticket ticket : book_.TakeAbandoned()) {
    const auto w = waiting_.find(ticket);
    if (w != waiting_.end()) {
      queue_.Remove(ticket);  // or waiting for its retry: that entry finds nothing
      waiting_.erase(w);
      book_.Dropped(ticket);
      continue;
    }
    if (running_.count(ticket)) {
      End(ticket);
      book_.Dropped(ticket);
      continue;
    }
    const auto s = std::find_if(settling_.begin(), settling_.end(),
                                [&](const auto& r) { return r->job.ticket == ticket; });
    if (s != settling_.end()) {
      settling_.erase(s);
      book_.Dropped(ticket);
    }
  }
}

void CurlFetcher::MoveDueRetries(Clock::time_point now) {
  while (!retries_.empty() && retries_.top().first <= now) {
    const Ticket ticket = retries_.top().second;
    retries_.pop();
    const auto it = waiting_.find(ticket);
    if (it != waiting_.end()) Queue(it->second);
  }
}

void CurlFetcher::ResumePaused(Clock::time_point now) {
  // Oldest first, while there is room; the oldest wanted document always goes on.
  while (const auto ticket = budget_.NextToResume(book_.OldestWanted())) {
    budget_.Forget(*ticket);
    const auto it = running_.find(*ticket);
    if (it == running_.end()) continue;
    Running& r = *it->second;
    r.paused = false;
    r.job.deadline += now - r.paused_since;  // time held back does not count
    deadlines_.push({r.job.deadline, *ticket});
    // Going on may hand the held bytes over at once, and they may end the transfer (the
    // page decided, or too large): libcurl then says so here and nowhere else, since the
    // socket may have nothing more to tell.
    if (const CURLcode code = curl_easy_pause(r.transfer->easy(), CURLPAUSE_CONT)) {
      Finish(r, code);
      continue;
    }
    if (r.paused) break;  // held back again at once: no more room
  }
}

bool CurlFetcher::StartWhatFits(Clock::time_point now) {
  int connecting = 0;
  while (running_.size() < static_cast<std::size_t>(options_.max_transfers)) {
    const auto next = queue_.Peek(now);
    if (!next) break;
    // Past the budget only the oldest wanted document may start.
    if (!budget_.MayStart(IsOldest(*next))) break;
    const auto it = waiting_.find(*next);
    if (queue_.WouldConnect(QueueKey(it->second)) && ++connecting > kConnectsPerTurn) {
      return true;
    }
    queue_.Next(now);
    Job job = std::move(it->second);
    waiting_.erase(it);
    Start(std::move(job), now);
  }
  return false;
}

void CurlFetcher::Start(Job job, Clock::time_point now) {
  if (job.attempts == 0) {
    job.attempts = 1;
    job.first_start = now;
  }
  job.deadline = now + std::chrono::milliseconds(options_.timeout_ms);
  const Ticket ticket = job.ticket;
  auto fail_now = [&](FetchError error, std::string text) {
    queue_.Finished(QueueKey(job));
    File(ticket, Failure(job, error, std::move(text)));
  };
  if (!job.target.ok()) return fail_now(job.target.error, job.target.error_text);
  auto running = std::make_unique<Running>();
  if (job.target.local_file()) {
    if (!options_.allow_local_files)
      return fail_now(FetchError::kFile, "Local files are not read (--no-local-files)");
    running->file = std::make_unique<LocalFile>(job.target.url, options_.max_bytes, job.deadline);
    running->job = std::move(job);
    running_.emplace(ticket, std::move(running));
    files_.push_back(ticket);
    return;
  }
  if (auto given_up = breaker_.GivenUp(job.target.host_key))
    return fail_now(FetchError::kSkippedHost, std::move(*given_up));
  CurlTransfer::Setup setup;
  setup.multi = multi_;
  setup.loop = loop_.get();
  setup.share = shares_[std::hash<std::string>{}(job.target.host_key) % kShares];
  setup.pool = pool_.get();
  if (job.target.scheme == "https") setup.trust = Trust();
  setup.options = &options_;
  // The caller's headers go to the address's own origin only, never to a redirect's.
  setup.headers = SameOrigin(job.first, job.target) ? headers_ : nullptr;
  setup.resolve = resolve_.For(job.target.host, job.target.port);
  setup.name_cache_seconds = names_.SecondsFor(job.target.host_key, now);
  // Larger reads, fewer of them, where the transfers are few enough for the memory.
  setup.buffer_size = options_.max_transfers <= 256 ? 64 * 1024 : 16 * 1024;
  // Over TLS, transfers to a host reached before wait for its connection to say (by ALPN)
  // whether it multiplexes, rather than each opening its own.
  setup.pipewait = job.target.scheme == "https" && reached_.count(job.target.host_key);
  running->reader = std::make_unique<BodyReader>(budget_, options_, job.request.decided);
  running->transfer = std::make_unique<CurlTransfer>(job.target.url, setup, *this, running.get());
  std::string error;
  if (!running->transfer->Start(error)) return fail_now(FetchError::kNetwork, error);
  deadlines_.push({job.deadline, ticket});
  running->job = std::move(job);
  running_.emplace(ticket, std::move(running));
}

void CurlFetcher::Queue(const Job& job) {
  const std::string& key = QueueKey(job);
  queue_.Add(job.ticket, key);
  // A TLS host not reached yet is tried by one transfer: if it connects, its others may
  // share the connection (HTTP/2); if it does not, they are tried side by side, up to the
  // per-host limit, never one after another.
  if (job.target.scheme == "https" && !reached_.count(key)) queue_.Narrow(key);
}

void CurlFetcher::Connected(CurlTransfer& transfer) {
  const Running& r = *static_cast<Running*>(transfer.owner());
  queue_.Connected(QueueKey(r.job), true);
  const std::string& host = r.job.target.host_key;
  if (r.job.target.scheme != "https" || reached_.count(host)) return;
  if (reached_.size() >= kReachedHostsKept) reached_.clear();
  reached_.insert(host);
  queue_.Widen(host);
}

std::size_t CurlFetcher::Body(CurlTransfer& transfer, const char* data, std::size_t size) {
  Running& r = *static_cast<Running*>(transfer.owner());
  if (!r.reader->begun()) {
    BodyReader::Answer answer = transfer.Answer();
    const bool multiplexed = answer.multiplexed;
    if (!r.reader->Begin(std::move(answer))) return 0;
    if (multiplexed) queue_.Multiplexes(QueueKey(r.job));
  }
  switch (r.reader->Feed(std::string_view(data, size), IsOldest(r.job.ticket))) {
    case BodyReader::Verdict::kTaken:
      if (!r.draining && r.reader->draining()) {
        // Its outcome is known; waiting on a rest that stalls would only lose it.
        r.draining = true;
        r.job.deadline = std::min(r.job.deadline, Clock::now() + BodyReader::kDrainTime);
        deadlines_.push({r.job.deadline, r.job.ticket});
      }
      return size;
    case BodyReader::Verdict::kStop:
      return 0;
    case BodyReader::Verdict::kPause:
      break;
  }
  // Held back with what it has; libcurl hands these bytes again when it goes on.
  r.paused = r.was_paused = true;
  r.paused_since = Clock::now();
  budget_.Pause(r.job.ticket, r.reader->wanted());
  return CURL_WRITEFUNC_PAUSE;
}

}  // namespace fetch_detail

using fetch_detail::CurlFetcher;

int MaxConnections(const FetcherOptions& options) {
  return options.max_connections > 0 ? options.max_connections : 8 * options.max_transfers;
}

std::unique_ptr<Fetcher> MakeCurlFetcher(const FetcherOptions& options) {
  return std::make_unique<CurlFetcher>(options);
}

}  // namespace orvanel
