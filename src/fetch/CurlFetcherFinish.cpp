// How the requests of the libcurl fetcher end: the outcome ladder of a finished transfer,
// local files read to their end, decoding finished, time-outs, and the accounts kept.
#include <ctime>

#include "fetch/CurlFetcherImpl.h"

namespace orvanel::fetch_detail {

bool CurlFetcher::PumpLocalFiles() {
  bool progressed = false;
  std::vector<Ticket> done;
  std::erase_if(files_, [&](Ticket ticket) { return !running_.count(ticket); });
  for (const Ticket ticket : files_) {
    const auto& r = running_.at(ticket);
    const bool oldest = IsOldest(ticket);
    const auto step =
        r->file->Read([&](std::size_t growth) { return budget_.HasRoom(growth, oldest); });
    const std::size_t held = MemoryBudget::HeapBytes(r->file->result().bytes);
    if (held > r->file_held) budget_.Hold(held - r->file_held);
    if (held < r->file_held) budget_.Release(r->file_held - held);
    r->file_held = held;
    if (step == LocalFile::Step::kHeldBack) continue;
    progressed = true;
    if (step == LocalFile::Step::kDone) done.push_back(ticket);
  }
  for (const Ticket ticket : done) {
    Running& r = *running_.at(ticket);
    FetchResult result = std::move(r.file->result());
    r.file_held = 0;  // the bytes' memory goes with the result
    queue_.Finished(QueueKey(r.job));
    running_.erase(ticket);
    File(ticket, std::move(result));
  }
  return progressed;
}

bool CurlFetcher::SettleDecodes() {
  bool settled_any = false;
  for (auto it = settling_.begin(); it != settling_.end();) {
    Running& r = **it;
    if (!r.reader->Settle(IsOldest(r.job.ticket))) {
      ++it;
      continue;
    }
    FetchResult result;
    result.final_url = r.job.target.url;
    result.status = r.reader->status();
    result.content_type = r.reader->content_type();
    result.bytes_read = r.reader->received();
    Settled(*r.reader, r.whole, result);
    const Ticket ticket = r.job.ticket;
    it = settling_.erase(it);
    File(ticket, std::move(result));
    settled_any = true;
  }
  return settled_any;
}

void CurlFetcher::ExpireDeadlines(Clock::time_point now) {
  while (!deadlines_.empty() && deadlines_.top().first <= now) {
    const auto [deadline, ticket] = deadlines_.top();
    deadlines_.pop();
    const auto it = running_.find(ticket);
    // Gone, held back (its deadline moves on when it goes on), or of an earlier request.
    if (it == running_.end() || it->second->paused || it->second->job.deadline != deadline ||
        !it->second->transfer)
      continue;
    Running& r = *it->second;
    // A page decided, or a redirect, ends as if stopped: its outcome does not wait on the
    // rest of its body.
    if (r.reader->cut_early() || r.transfer->Redirects()) {
      Finish(r, CURLE_WRITE_ERROR);
      continue;
    }
    const bool connected = r.transfer->connected();
    const FetchError error = connected ? FetchError::kTimeout : FetchError::kConnectTimeout;
    FetchResult result =
        Failure(r.job, error, "No complete answer within " + Seconds(options_.timeout_ms));
    result.status = r.transfer->Status();
    result.bytes_read = r.reader->received();
    breaker_.Record(r.job.target.host_key, error, result.error_text);
    End(ticket);
    File(ticket, std::move(result));
  }
}

void CurlFetcher::CollectFinished() {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    auto* running = static_cast<Running*>(CurlTransfer::Of(msg->easy_handle)->owner());
    Finish(*running, msg->data.result);
  }
}

// The outcome ladder of a finished request: what the body reader and the callbacks saw
// first, then libcurl's result, then the answer's status.
void CurlFetcher::Finish(Running& r, CURLcode code) {
  CurlTransfer& t = *r.transfer;
  BodyReader& reader = *r.reader;
  const Ticket ticket = r.job.ticket;
  const std::string host = r.job.target.host_key;
  // Its first transfer did not connect: the host's others are tried side by side.
  if (!t.connected()) {
    queue_.Widen(host);
    queue_.Connected(QueueKey(r.job), false);
  }
  FetchResult result;
  result.status = t.Status();
  result.final_url = r.job.target.url;
  result.content_type = reader.begun() ? reader.content_type() : t.Answer().content_type;
  result.bytes_read = reader.received();
  auto fail = [&](FetchError error, std::string text) {
    result.error = error;
    result.error_text = std::move(text);
  };
  // A job that goes on as another request: the old one ends first.
  auto go_on = [&](Job job, std::optional<long long> wait_ms) {
    End(ticket);
    if (wait_ms) return RetryLater(std::move(job), *wait_ms);
    Requeue(std::move(job));
  };
  const auto redirect = t.RedirectUrl();
  if (reader.cut_early()) {
    result.ok = true;
  } else if (reader.too_large() || t.body_too_large()) {
    fail(FetchError::kTooLarge,
         "Document larger than " + std::to_string(options_.max_bytes) + " bytes");
  } else if (t.headers_too_large()) {
    fail(FetchError::kTooLarge,
         "Response headers larger than " + std::to_string(options_.max_header_bytes) + " bytes");
  } else if (!reader.error().empty()) {
    fail(FetchError::kNetwork, reader.error());
  } else if (t.Redirects() && (code == CURLE_OK || code == CURLE_WRITE_ERROR)) {
    // Its body was dropped unread (a stop is how a long one ends): the page is elsewhere.
    breaker_.Record(host, FetchError::kNone, {});  // it answered
    if (!redirect) {
      fail(FetchError::kRedirects, "Redirect to an address that cannot be read");
    } else if (auto hop = NextHop(r.job, *redirect, result)) {
      return go_on(std::move(*hop), std::nullopt);
    }
  } else if (code != CURLE_OK) {
    const FailureFacts facts = t.Facts(code, reader.begun());
    // A transfer the budget held back may find its connection closed meanwhile: it is
    // made again, a bounded number of times.
    if (r.was_paused && r.job.restarts < options_.retries &&
        (facts.fault == TransferFault::kOther || facts.fault == TransferFault::kTimedOut)) {
      Job again = r.job;
      ++again.restarts;
      return go_on(std::move(again), std::nullopt);
    }
    // libcurl's own caps on headers word it as a lack of memory; it is their size.
    fail(ClassifyFailure(facts), facts.fault == TransferFault::kHeadersTooLarge
                                     ? "Response headers larger than libcurl accepts"
                                     : SteadyDetail(facts.text));
  } else if (result.status >= 400) {
    fail(FetchError::kHttpStatus, "HTTP status " + std::to_string(result.status));
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - r.job.first_start)
            .count();
    const auto wait = RetryDelay(result.status, r.job.attempts, t.Header("Retry-After"),
                                 static_cast<long long>(std::time(nullptr)), elapsed, options_);
    if (wait) {
      Job retry = r.job;
      ++retry.attempts;
      return go_on(std::move(retry), wait);
    }
  } else {
    result.ok = true;
  }
  breaker_.Record(host, result.ok ? FetchError::kNone : result.error, result.error_text);
  r.whole = code == CURLE_OK;
  if (result.ok && !reader.Settle(IsOldest(ticket))) {
    // The whole answer is in, but its decoding waits for room: it ends there.
    auto it = running_.find(ticket);
    it->second->transfer.reset();
    queue_.Finished(QueueKey(it->second->job));
    settling_.push_back(std::move(it->second));
    running_.erase(it);
    return;
  }
  // Its last bytes decoded may still make it too large, or corrupt.
  if (result.ok) Settled(reader, r.whole, result);
  End(ticket);
  File(ticket, std::move(result));
}

// The outcome of a page whose body has been decoded to its end: the document, or why
// there is none. `whole`: the transfer read the answer to its end.
void CurlFetcher::Settled(BodyReader& reader, bool whole, FetchResult& result) const {
  result.ok = false;
  if (reader.too_large()) {
    result.error = FetchError::kTooLarge;
    result.error_text = "Document larger than " + std::to_string(options_.max_bytes) + " bytes";
  } else if (!reader.error().empty()) {
    result.error = FetchError::kNetwork;
    result.error_text = reader.error();
  } else {
    result.ok = true;
    if (whole) reader.Ended();
    result.decided_at = reader.decided_at();
    result.enough_at = reader.enough_at();
    result.bytes = reader.TakeDocument();
    // Decided with its last bytes, and nothing dropped: the page is whole after all.
    result.cut_early = reader.cut_early() && !(whole && reader.kept_all(result.bytes));
  }
}

// The request a redirect leads to, or (in `result`) why it is not followed.
std::optional<Job> CurlFetcher::NextHop(const Job& job, const std::string& url,
                                        FetchResult& result) const {
  TransferTarget next = MakeTarget(url);
  switch (JudgeRedirect(next.scheme, job.redirects, options_.max_redirects)) {
    case RedirectVerdict::kRefusedScheme:
      result.error = FetchError::kRedirects;
      result.error_text = "Redirect to a \"" + next.scheme + "\" address, not followed";
      return std::nullopt;
    case RedirectVerdict::kTooMany:
      result.error = FetchError::kRedirects;
      result.error_text = "More than " + std::to_string(options_.max_redirects) + " redirects";
      return std::nullopt;
    case RedirectVerdict::kFollow:
      break;
  }
  if (!next.ok()) {
    result.error = next.error;
    result.error_text = next.error_text;
    return std::nullopt;
  }
  Job hop = job;
  ++hop.redirects;
  hop.target = std::move(next);
  return hop;
}

void CurlFetcher::Requeue(Job job) {
  Queue(job);
  waiting_.emplace(job.ticket, std::move(job));
}

void CurlFetcher::RetryLater(Job job, long long wait_ms) {
  const Ticket ticket = job.ticket;
  retries_.push({Clock::now() + std::chrono::milliseconds(wait_ms), ticket});
  waiting_.emplace(ticket, std::move(job));
}

void CurlFetcher::End(Ticket ticket) {
  const auto it = running_.find(ticket);
  if (it == running_.end()) return;
  queue_.Finished(QueueKey(it->second->job));
  budget_.Forget(ticket);
  if (it->second->file_held) budget_.Release(it->second->file_held);
  running_.erase(it);  // the transfer leaves the multi handle, the reader its memory
}

void CurlFetcher::File(Ticket ticket, FetchResult result) {
  if (auto dropped = book_.File(ticket, std::move(result)))
    budget_.Release(MemoryBudget::HeapBytes(dropped->bytes));
}

FetchResult CurlFetcher::Failure(const Job& job, FetchError error, std::string text) const {
  FetchResult r;
  r.final_url = job.target.ok() ? job.target.url : job.request.url;
  r.error = error;
  r.error_text = std::move(text);
  return r;
}

}  // namespace orvanel::fetch_detail
