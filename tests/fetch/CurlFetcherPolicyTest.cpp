// The fetch policies as they hold over a real transfer: statuses, redirects, waits,
// slots, time-outs and the words of failures.
#include <mutex>

#include "CurlFetcherFixture.h"
#include "DeadListener.h"

namespace orvanel {
namespace {

using std::chrono::milliseconds;

// Request arrival times at the server, by path.
class Arrivals {
 public:
  void Note(const std::string& path) {
    std::lock_guard lock(mutex_);
    times_.push_back({path, Clock::now()});
  }
  std::vector<std::pair<std::string, Clock::time_point>> Get() {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, Clock::time_point>> times_;
};

FetchResult FetchOne(const std::string& url, const FetcherOptions& options = {}) {
  auto fetcher = MakeCurlFetcher(options);
  return fetcher->Take(fetcher->Submit({url, {}}));
}

// A request whose rows are decided by the end of the head.
FetchRequest DecidedAtHeadEnd(const std::string& url) {
  FetchRequest request{url, {}};
  request.decided = [](std::string_view bytes, std::string_view, bool) -> std::size_t {
    const auto end = bytes.find("</head>");
    return end == std::string_view::npos ? 0 : end + 7;
  };
  return request;
}

TEST(CurlFetcherPolicy, TenRedirectsAreFollowedAndAnEleventhIsNot) {
  LoopbackServer server;
  for (int i = 0; i <= 11; ++i) {
    server.Route("/hop" + std::to_string(i), [i](auto&, auto& c) {
      if (i == 0) return c.Respond(200, "<title>arrived</title>"), void();
      c.Respond(302, "", "Location: /hop" + std::to_string(i - 1) + "\r\n");
    });
  }
  const auto ten = FetchOne(server.Url("/hop10"));
  EXPECT_TRUE(ten.ok) << ten.error_text;
  EXPECT_EQ(ten.final_url, server.Url("/hop0"));
  const auto eleven = FetchOne(server.Url("/hop11"));
  EXPECT_EQ(eleven.error, FetchError::kRedirects);
  EXPECT_EQ(eleven.error_text, "More than 10 redirects");
}

// A redirect whose body is too long to be worth reading, unannounced and longer even than
// any page may be, is followed all the same: its transfer is stopped, and the next one
// goes on. One whose address cannot be made out is told as such.
TEST(CurlFetcherPolicy, ARedirectWithALongBodyIsFollowed) {
  LoopbackServer server;
  server.Route("/moved", [](auto&, auto& c) {
    c.Respond(301, std::string(1 << 20, 'x'), "Location: /here\r\n");
  });
  server.Route("/here", [](auto&, auto& c) { c.Respond(200, "<title>here</title>"); });
  server.Route("/a%20b", [](auto&, auto& c) { c.Respond(200, "<title>spaced</title>"); });
  // Unannounced and endless; the last one's address cannot be made out.
  const std::vector<std::pair<std::string, std::string>> endless{{"/endless", "/here"},
                                                                 {"/dir/spaced", "../a b"},
                                                                 {"/spaced", server.Url("/a b")},
                                                                 {"/lost", "http://[::1"}};
  for (const auto& [path, location] : endless) {
    server.Route(path, [location](auto&, auto& c) {
      c.Write("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nConnection: close\r\n\r\n");
      for (int i = 0; i < 64 && c.Write(std::string(64 << 10, 'x')); ++i) {
      }
    });
  }
  const auto result = FetchOne(server.Url("/moved"));
  EXPECT_TRUE(result.ok) << result.error_text;
  EXPECT_EQ(result.final_url, server.Url("/here"));
  EXPECT_EQ(result.bytes, "<title>here</title>");
  FetcherOptions options;
  options.max_bytes = 100'000;
  // Announced longer than a page may be: the page is refused unread, the redirect followed.
  const auto announced = FetchOne(server.Url("/moved"), options);
  EXPECT_TRUE(announced.ok) << announced.error_text;
  EXPECT_EQ(announced.final_url, server.Url("/here"));
  server.Route("/large", [](auto&, auto& c) { c.Respond(200, std::string(1 << 20, 'x')); });
  const auto large = FetchOne(server.Url("/large"), options);
  EXPECT_EQ(large.error, FetchError::kTooLarge);
  EXPECT_EQ(large.error_text, "Document larger than 100000 bytes");
  // The cap itself is allowed, announced or not; a byte more is not.
  server.Route("/cap", [](auto& req, auto& c) {
    const std::size_t size = req.path.find("more") == std::string::npos ? 100'000 : 100'001;
    c.Respond(200, std::string(size, 'x'));
  });
  const auto at_cap = FetchOne(server.Url("/cap"), options);
  EXPECT_TRUE(at_cap.ok) << at_cap.error_text;
  EXPECT_EQ(at_cap.bytes.size(), 100'000u);
  EXPECT_EQ(FetchOne(server.Url("/cap?more"), options).error, FetchError::kTooLarge);
  for (const auto& [path, to] : {std::pair<std::string, std::string>{"/endless", "/here"},
                                 {"/dir/spaced", "/a%20b"},
                                 {"/spaced", "/a%20b"}}) {
    const auto r = FetchOne(server.Url(path), options);
    EXPECT_TRUE(r.ok) << path << ": " << r.error_text;
    EXPECT_EQ(r.final_url, server.Url(to));
  }
  const auto lost = FetchOne(server.Url("/lost"), options);
  EXPECT_EQ(lost.error, FetchError::kRedirects);
  EXPECT_EQ(lost.error_text, "Redirect to an address that cannot be read");
}

// An answer of the 3xx kind that names no address to go to is the page itself, and so is
// a 304, which is no redirect whatever it names.
TEST(CurlFetcherPolicy, A3xxWithoutALocationIsThePage) {
  LoopbackServer server;
  server.Route("/blank",
               [](auto&, auto& c) { c.Respond(302, "<title>stays</title>", "Location:  \r\n"); });
  server.Route("/same", [](auto&, auto& c) { c.Respond(304, "", "Location: /elsewhere\r\n"); });
  const auto blank = FetchOne(server.Url("/blank"));
  EXPECT_TRUE(blank.ok) << blank.error_text;
  EXPECT_EQ(blank.status, 302);
  EXPECT_EQ(blank.bytes, "<title>stays</title>");
  const auto same = FetchOne(server.Url("/same"));
  EXPECT_EQ(same.status, 304);
  EXPECT_EQ(same.final_url, server.Url("/same"));
  // A Location in an interim answer is not the final answer's.
  server.Route("/hinted", [](auto&, auto& c) {
    c.Write("HTTP/1.1 103 Early Hints\r\nLocation: /elsewhere\r\n\r\n");
    c.Respond(302, "<title>stays</title>");
  });
  const auto hinted = FetchOne(server.Url("/hinted"));
  EXPECT_TRUE(hinted.ok) << hinted.error_text;
  EXPECT_EQ(hinted.status, 302);
  EXPECT_EQ(hinted.bytes, "<title>stays</title>");
}

// A page announced longer than a page may be is refused as soon as its headers end,
// whatever ends their lines: not read, nor waited for.
TEST(CurlFetcherPolicy, APageAnnouncedPastTheCapIsRefusedUnread) {
  LoopbackServer server;
  for (const std::string eol : {"\r\n", "\n"}) {
    server.Route("/big", [eol](auto&, auto& c) {
      c.Write("HTTP/1.1 200 OK" + eol + "Content-Length: 100001" + eol + eol + "<title>");
      c.Sleep(120'000);
    });
    FetcherOptions options;
    options.max_bytes = 100'000;
    options.timeout_ms = 60'000;
    const auto start = Clock::now();
    const auto r = FetchOne(server.Url("/big"), options);
    EXPECT_EQ(r.error_text, "Document larger than 100000 bytes") << eol.size();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(50)) << eol.size();
  }
}

// A redirect's body is never the page, however much of one it looks like: a decision on
// it would end the transfer before the redirect is seen.
TEST(CurlFetcherPolicy, ARedirectsBodyIsNeverDecidedOn) {
  LoopbackServer server;
  const std::string moved =
      "<html><head><title>Moved</title></head><body>" + std::string(200'000, 'm');
  server.Route("/moved", [&](auto&, auto& c) { c.Respond(301, moved, "Location: /here\r\n"); });
  server.Route("/here", [](auto&, auto& c) {
    c.Respond(200, "<html><head><title>here</title></head><body>" + std::string(200'000, 'h'));
  });
  auto fetcher = MakeCurlFetcher();
  const FetchRequest request = DecidedAtHeadEnd(server.Url("/moved"));
  const auto result = fetcher->Take(fetcher->Submit(request));
  EXPECT_TRUE(result.ok) << result.error_text;
  EXPECT_EQ(result.final_url, server.Url("/here"));
  EXPECT_EQ(result.bytes.substr(0, 38), "<html><head><title>here</title></head>");
}

// Once a page is decided, or its answer is a redirect, a rest of the body that stalls
// costs it neither its outcome nor the whole time-out.
TEST(CurlFetcherPolicy, ABodyThatStallsAfterItsOutcomeIsKnownDoesNotLoseIt) {
  LoopbackServer server;
  auto stalls = [](std::string status, std::string headers, std::string first) {
    return [=](auto&, auto& c) {
      c.Write("HTTP/1.1 " + status + "\r\nContent-Length: 100000\r\n" + headers + "\r\n" + first);
      c.Sleep(120'000);
    };
  };
  server.Route("/decided", stalls("200 OK", "", "<head><title>t</title></head><body>"));
  server.Route("/moved", stalls("302 Found", "Location: /here\r\n", "<html>moved"));
  server.Route("/bare", stalls("301 Moved", "Location: /here\r\n", ""));
  server.Route("/here", [](auto&, auto& c) { c.Respond(200, "<title>here</title>"); });
  FetcherOptions options;
  options.timeout_ms = 60'000;
  auto fetcher = MakeCurlFetcher(options);
  const auto start = Clock::now();
  const FetchRequest decided = DecidedAtHeadEnd(server.Url("/decided"));
  const auto page = fetcher->Take(fetcher->Submit(decided));
  EXPECT_TRUE(page.ok) << page.error_text;
  EXPECT_TRUE(page.cut_early);
  EXPECT_EQ(page.bytes.substr(0, page.decided_at), "<head><title>t</title></head>");
  const auto moved = fetcher->Take(fetcher->Submit({server.Url("/moved"), {}}));
  EXPECT_TRUE(moved.ok) << moved.error_text;
  EXPECT_EQ(moved.final_url, server.Url("/here"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(50));  // not a time-out each
  // A redirect whose body never begins is followed once the time-out comes.
  options.timeout_ms = 1000;
  auto quick = MakeCurlFetcher(options);
  const auto bare = quick->Take(quick->Submit({server.Url("/bare"), {}}));
  EXPECT_TRUE(bare.ok) << bare.error_text;
  EXPECT_EQ(bare.final_url, server.Url("/here"));
}

// A host that lets every page run out of time before it connects is given up like one
// that refuses: after --host-errors of them in a row, its next pages are not tried.
TEST(CurlFetcherPolicy, PagesOutOfTimeBeforeConnectingCountTowardsGivingUpTheirHost) {
  testing::DeadListener dead;
  FetcherOptions options;
  options.timeout_ms = 300;
  options.connect_timeout_ms = 60'000;
  options.host_errors = 2;
  options.max_transfers = 1;
  auto fetcher = MakeCurlFetcher(options);
  const std::string base = "http://127.0.0.1:" + std::to_string(dead.Port()) + "/";
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 4; ++i) tickets.push_back(fetcher->Submit({base + std::to_string(i), {}}));
  std::vector<FetchError> errors;
  for (const auto ticket : tickets) errors.push_back(fetcher->Take(ticket).error);
  EXPECT_EQ(errors,
            (std::vector<FetchError>{FetchError::kConnectTimeout, FetchError::kConnectTimeout,
                                     FetchError::kSkippedHost, FetchError::kSkippedHost}));
}

// A redirect is an answer: it starts its host's count of failures again, even when the
// redirect itself is not followed.
TEST(CurlFetcherPolicy, ARedirectStartsItsHostsCountOfFailuresAgain) {
  const int port = testing::FreePort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  FetcherOptions options;
  options.host_errors = 2;
  options.max_transfers = 1;
  auto fetcher = MakeCurlFetcher(options);
  auto fetch = [&](const std::string& path) {
    return fetcher->Take(fetcher->Submit({base + path, {}}));
  };
  // The host is down, up for one redirect, down again, then up for good.
  EXPECT_EQ(fetch("/a").error, FetchError::kRefused);
  auto up = std::make_unique<LoopbackServer>(false, port);
  up->Route("/away", [](auto&, auto& c) { c.Respond(302, "", "Location: ftp://127.0.0.1/\r\n"); });
  EXPECT_EQ(fetch("/away").error, FetchError::kRedirects);
  up.reset();
  EXPECT_EQ(fetch("/b").error, FetchError::kRefused);
  up = std::make_unique<LoopbackServer>(false, port);
  up->Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>here</title>"); });
  const auto last = fetch("/page");
  EXPECT_TRUE(last.ok) << last.error_text;
}

// The wait a busy server asks for is waited before it is asked again.
TEST(CurlFetcherPolicy, ABusyServerIsAskedAgainOnlyAfterTheWaitItGave) {
  LoopbackServer server;
  Arrivals arrivals;
  std::atomic<int> calls{0};
  server.Route("/busy", [&](auto&, auto& c) {
    arrivals.Note("/busy");
    if (++calls == 1) return c.Respond(429, "", "Retry-After: 1\r\n"), void();
    c.Respond(200, "<title>now</title>");
  });
  EXPECT_TRUE(FetchOne(server.Url("/busy")).ok);
  const auto times = arrivals.Get();
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[1].second - times[0].second, milliseconds(1000));
}

// A server that stays busy is asked as many times again as the retries allow, no more; its
// last answer is the page's failure.
TEST(CurlFetcherPolicy, AServerThatStaysBusyIsAskedOnlyAsOftenAsTheRetriesAllow) {
  LoopbackServer server;
  server.Route("/busy", [](auto&, auto& c) { c.Respond(503, "", "Retry-After: 0\r\n"); });
  FetcherOptions options;
  options.retries = 2;
  const auto result = FetchOne(server.Url("/busy"), options);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, FetchError::kHttpStatus);
  EXPECT_EQ(result.status, 503);
  EXPECT_EQ(server.Requests(), 3);
}

// Abandoning a transfer under way gives its host's slot to the next address at once.
TEST(CurlFetcherPolicy, AnAbandonedTransferFreesItsHostsSlot) {
  LoopbackServer server;
  server.Route("/hang", [](auto&, auto& c) { c.Sleep(120'000); });
  server.Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>next</title>"); });
  FetcherOptions options;
  options.max_per_host = 1;
  auto fetcher = MakeCurlFetcher(options);
  const auto hanging = fetcher->Submit({server.Url("/hang"), {}});
  for (int i = 0; i < 6000 && server.Requests() == 0; ++i)
    std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(server.Requests(), 1);
  fetcher->Abandon(hanging);
  const auto start = Clock::now();
  EXPECT_TRUE(fetcher->Take(fetcher->Submit({server.Url("/page"), {}})).ok);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));  // not after the hanging one
}

// A page that stalls on a connection kept from the host's last page has connected: it
// is a time-out, and a slow page is no reason to give its host up.
TEST(CurlFetcherPolicy, ATimeOutOnAKeptConnectionIsATimeOutAndSparesTheHost) {
  LoopbackServer server(/*keep_alive=*/true);
  server.Route("/quick", [](auto&, auto& c) { c.Respond(200, "<title>quick</title>"); });
  server.Route("/stall", [](auto&, auto& c) { c.Sleep(30'000); });
  server.Route("/half", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n<title>");
    c.Sleep(30'000);
  });
  FetcherOptions options;
  options.max_per_host = 1;
  options.timeout_ms = 1000;
  options.host_errors = 1;
  auto fetcher = MakeCurlFetcher(options);
  EXPECT_TRUE(fetcher->Take(fetcher->Submit({server.Url("/quick"), {}})).ok);
  const auto stalled = fetcher->Take(fetcher->Submit({server.Url("/stall"), {}}));
  EXPECT_EQ(stalled.error, FetchError::kTimeout) << stalled.error_text;
  EXPECT_EQ(stalled.error_text, "No complete answer within 1 s");
  // What had come before the time-out is told: the status of an answer cut short.
  const auto half = fetcher->Take(fetcher->Submit({server.Url("/half"), {}}));
  EXPECT_EQ(half.error, FetchError::kTimeout);
  EXPECT_EQ(half.status, 200);
  EXPECT_TRUE(fetcher->Take(fetcher->Submit({server.Url("/quick?again"), {}})).ok);
  // The first was kept, then closed by the first time-out; the second by the other.
  EXPECT_EQ(server.AcceptedConnections(), 3);
}

// The same failures give the same words, whatever the timing.
TEST(CurlFetcherPolicy, FailuresAreWordedTheSameEveryTime) {
  const int closed = testing::FreePort();
  const auto first = FetchOne("http://127.0.0.1:" + std::to_string(closed) + "/");
  const auto second = FetchOne("http://127.0.0.1:" + std::to_string(closed) + "/");
  EXPECT_EQ(first.error, FetchError::kRefused);
  EXPECT_EQ(first.error_text, second.error_text);
  EXPECT_EQ(first.error_text.find(" ms"), std::string::npos) << first.error_text;
  EXPECT_EQ(first.error_text.find("milliseconds"), std::string::npos) << first.error_text;
}

// With a delay, the requests to one host start at least that far apart, retries
// included; other hosts are not held back by it.
TEST(CurlFetcherPolicy, ADelaySpacesTheRequestsToAHost) {
  LoopbackServer server;
  LoopbackServer other;
  Arrivals arrivals;
  std::atomic<int> busy{0};
  server.Route("/page", [&](auto& req, auto& c) {
    arrivals.Note(req.path);
    c.Respond(200, "<title>p</title>");
  });
  server.Route("/busy", [&](auto& req, auto& c) {
    arrivals.Note(req.path);
    if (++busy == 1) return c.Respond(503, "", "Retry-After: 0\r\n"), void();
    c.Respond(200, "<title>b</title>");
  });
  other.Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>o</title>"); });
  FetcherOptions options;
  options.host_delay_ms = 300;
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  tickets.push_back(fetcher->Submit({server.Url("/busy"), {}}));
  for (int i = 0; i < 3; ++i)
    tickets.push_back(fetcher->Submit({server.Url("/page?" + std::to_string(i)), {}}));
  const auto start = Clock::now();
  EXPECT_TRUE(fetcher->Take(fetcher->Submit({other.Url("/page"), {}})).ok);
  EXPECT_LT(Clock::now() - start, milliseconds(900));  // not behind the delayed host's queue
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).ok);
  const auto times = arrivals.Get();
  ASSERT_EQ(times.size(), 5u);  // four addresses, one asked twice
  for (std::size_t i = 1; i < times.size(); ++i) {
    // A little less than the delay: the requests' trips to the server differ by a little.
    EXPECT_GE(times[i].second - times[i - 1].second, milliseconds(250)) << i;
    // ...and the next one goes when the delay is over, not at some later idle turn.
    EXPECT_LT(times[i].second - times[i - 1].second, milliseconds(900)) << i;
  }
}

}  // namespace
}  // namespace orvanel
