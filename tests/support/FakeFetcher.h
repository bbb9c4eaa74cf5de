#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fetch/Fetcher.h"

namespace orvanel::testing {

// A fetcher whose pages come from a function, for tests of the code that drives one. It
// records every request and never blocks: a Take of a transfer that has not ended fails
// the test (the real fetcher would block the caller there).
class FakeFetcher : public Fetcher {
 public:
  struct Submitted {
    Ticket ticket;
    std::string url;
  };
  // The page at `url`, or nullopt for a transfer that does not end until Finish.
  std::function<std::optional<std::string>(const std::string& url)> page = [](const std::string&) {
    return std::string();
  };
  // Thrown by Submit for this URL, when set.
  std::optional<std::string> refuse_url;
  // As the real fetcher does, a page its test decided counts as cut short even when the
  // decision came with its last bytes.
  bool decided_is_cut = false;

  Ticket Submit(FetchRequest request) override {
    if (refuse_url && request.url == *refuse_url) throw std::length_error("too many transfers");
    const Ticket ticket = ++last_;
    submitted.push_back({ticket, request.url});
    live_.insert(ticket);
    requests_[ticket] = std::move(request);
    if (auto body = page(requests_[ticket].url)) Finish(ticket, *body);
    return ticket;
  }
  bool Ready(Ticket ticket) override { return done_.count(ticket) != 0; }
  FetchResult Take(Ticket ticket) override {
    if (live_.erase(ticket) == 0) throw std::invalid_argument("ticket not waiting");
    if (!Ready(ticket)) {
      ADD_FAILURE() << "Take of a transfer still running would block: " << requests_[ticket].url;
      return {};
    }
    FetchResult result = std::move(done_[ticket]);
    done_.erase(ticket);
    return result;
  }
  void Abandon(Ticket ticket) override {
    if (live_.erase(ticket) == 0) throw std::invalid_argument("ticket not waiting");
    done_.erase(ticket);
    abandoned.push_back(ticket);
  }
  void SetNotify(std::function<void()> notify) override { notify_ = std::move(notify); }

  // Ends a transfer with `body`, cut where the request's test says the rest cannot matter
  // (tried at every 64 bytes, as bytes arrive); a body read whole is judged once more.
  void Finish(Ticket ticket, const std::string& body) {
    FetchResult r;
    r.ok = true;
    r.status = 200;
    r.content_type = "text/html; charset=utf-8";
    r.final_url = requests_[ticket].url;
    r.bytes = body;
    if (auto decided = requests_[ticket].decided) {
      for (std::size_t n = 64;; n += 64) {
        const std::size_t size = std::min(n, body.size());
        if (const std::size_t needed =
                decided(std::string_view(body).substr(0, size), r.content_type, false)) {
          r.cut_early = decided_is_cut || size < body.size();
          r.bytes = body.substr(0, size);
          r.decided_at = needed;
          break;
        }
        if (size == body.size()) {
          if (!body.empty()) r.enough_at = decided(body, r.content_type, true);
          break;
        }
      }
    }
    r.bytes_read = r.bytes.size();
    done_[ticket] = std::move(r);
    if (notify_) notify_();
  }
  std::size_t RequestsFor(const std::string& url) const {
    std::size_t n = 0;
    for (const auto& s : submitted) n += s.url == url;
    return n;
  }

  std::vector<Submitted> submitted;
  std::vector<Ticket> abandoned;

 private:
  Ticket last_ = 0;
  std::set<Ticket> live_;
  std::map<Ticket, FetchRequest> requests_;
  std::map<Ticket, FetchResult> done_;
  std::function<void()> notify_;
};

}  // namespace orvanel::testing
