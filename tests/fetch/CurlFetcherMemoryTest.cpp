#include "CurlFetcherFixture.h"

namespace orvanel {
namespace {

// One stalled page first, then many pages: what is held while the first is awaited stays
// within the budget, and every page still comes, in order.
TEST_F(CurlFetcherTest, PagesPilingUpBehindASlowOneStayWithinTheMemoryBudget) {
  std::atomic<bool> release{false};
  server_.Route("/first", [&](auto&, auto& c) {
    for (int i = 0; i < 400 && !release; ++i) c.Sleep(10);
    c.Respond(200, "<title>first</title>");
  });
  const std::string big = "<title>big</title>" + std::string(400 * 1024, 'x');
  std::atomic<int> served{0};
  server_.Route("/big", [&](auto&, auto& c) {
    if (c.Respond(200, big)) ++served;
  });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets{fetcher->Submit({server_.Url("/first"), {}})};
  for (int i = 0; i < 20; ++i)
    tickets.push_back(fetcher->Submit({server_.Url("/big?" + std::to_string(i)), {}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  int ready = 0;
  for (std::size_t i = 1; i < tickets.size(); ++i) ready += fetcher->Ready(tickets[i]);
  EXPECT_LE(ready, 2);  // 1 MiB holds two pages of 400 KiB, not twenty
  release = true;
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).ok);
  // Held back, not thrown away: each page came over the network once. The server counts
  // an answer once its last byte is sent, which can be after the client has read it.
  for (int i = 0; i < 500 && served < 20; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(served, 20);
}

// Local pages end as they start; the slots they leave are filled at once, not when the
// next transfer or caller happens to wake the fetcher.
TEST_F(CurlFetcherTest, LocalPagesBesideASlowTransferAreReadWithoutWaiting) {
  TempDir dir;
  const std::string page = dir.File("page.htm", "<title>local</title>");
  FetcherOptions options;
  options.max_transfers = 2;
  auto fetcher = MakeCurlFetcher(options);
  const auto slow = fetcher->Submit({server_.Url("/slow"), {}});  // 2 s
  std::vector<Fetcher::Ticket> local;
  for (int i = 0; i < 50; ++i) local.push_back(fetcher->Submit({"file://" + page, {}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int ready = 0;
  for (const auto ticket : local) ready += fetcher->Ready(ticket);
  EXPECT_EQ(ready, 50);
  fetcher->Abandon(slow);
  for (const auto ticket : local) EXPECT_TRUE(fetcher->Take(ticket).ok);
}

// A page that is cut short once decided holds only what was read of it, not the room its
// announced length would take: many fit in a small budget at once.
TEST_F(CurlFetcherTest, PagesCutShortHoldOnlyWhatWasRead) {
  const std::string big = "<head><title>big</title></head>" + std::string(600 * 1024, 'x');
  server_.Route("/first", [&](auto&, auto& c) {
    if (c.Sleep(1000)) c.Respond(200, "<title>first</title>");
  });
  server_.Route("/big", [&](auto&, auto& c) { c.Respond(200, big); });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  auto fetcher = MakeCurlFetcher(options);
  const auto decided = [](std::string_view bytes, std::string_view, bool) {
    return bytes.find("</head>") != std::string_view::npos;
  };
  const auto first = fetcher->Submit({server_.Url("/first"), {}});  // taken last: the oldest
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 10; ++i)
    tickets.push_back(fetcher->Submit({server_.Url("/big?" + std::to_string(i)), decided}));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int ready = 0;
  for (const auto ticket : tickets) ready += fetcher->Ready(ticket);
  EXPECT_EQ(ready, 10);
  EXPECT_TRUE(fetcher->Take(first).ok);
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).cut_early);
}

// A page held back by the budget goes on as soon as it is the oldest wanted, even while
// later pages fill the budget.
TEST_F(CurlFetcherTest, APageHeldBackGoesOnOnceItIsTheOldest) {
  server_.Route("/first", [&](auto&, auto& c) {
    if (c.Sleep(800)) c.Respond(200, "<title>first</title>");
  });
  const std::string big = "<title>big</title>" + std::string(400 * 1024, 'x');
  server_.Route("/stutter", [&](auto&, auto& c) {  // a pause in the middle of the page
    if (!c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n"))
      return;
    if (!c.Write(big.substr(0, 100 * 1024)) || !c.Sleep(300)) return;
    c.Write(big.substr(100 * 1024));
  });
  server_.Route("/big", [&](auto&, auto& c) { c.Respond(200, big); });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  options.timeout_ms = 5000;
  auto fetcher = MakeCurlFetcher(options);
  const auto start = Clock::now();
  std::vector<Fetcher::Ticket> tickets{fetcher->Submit({server_.Url("/first"), {}}),
                                       fetcher->Submit({server_.Url("/stutter"), {}})};
  for (int i = 0; i < 4; ++i)
    tickets.push_back(fetcher->Submit({server_.Url("/big?" + std::to_string(i)), {}}));
  for (const auto ticket : tickets) {
    const FetchResult r = fetcher->Take(ticket);
    EXPECT_TRUE(r.ok) << r.error_text;
  }
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));  // not after a time-out
}

// Time held back by the budget does not count toward a page's time-out: a page held back
// longer than that goes on where it stopped, and crosses the network once.
TEST_F(CurlFetcherTest, APageHeldBackLongerThanTheTimeOutGoesOnWhereItStopped) {
  server_.Route("/first", [&](auto&, auto& c) {
    if (c.Sleep(1500)) c.Respond(200, "<title>first</title>");
  });
  const std::string big = "<title>big</title>" + std::string(400 * 1024, 'x');
  server_.Route("/big", [&](auto&, auto& c) { c.Respond(200, big); });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  options.timeout_ms = 1000;  // the first page itself takes longer: it is the oldest
  auto fetcher = MakeCurlFetcher(options);
  const auto first = fetcher->Submit({server_.Url("/first"), {}});
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 6; ++i)
    tickets.push_back(fetcher->Submit({server_.Url("/big?" + std::to_string(i)), {}}));
  EXPECT_EQ(fetcher->Take(first).error, FetchError::kTimeout);
  for (const auto ticket : tickets) {
    const FetchResult r = fetcher->Take(ticket);
    EXPECT_TRUE(r.ok) << r.error_text;
    EXPECT_EQ(r.bytes, big);
  }
  EXPECT_EQ(server_.Requests(), 7);
}

// What a caller takes leaves the budget: after pages many times its size have come and
// gone, pages run side by side again, as many as it has room for.
TEST_F(CurlFetcherTest, TakenPagesLeaveTheBudget) {
  const std::string big = "<title>big</title>" + std::string(300 * 1024, 'x');
  server_.Route("/big", [&](auto&, auto& c) { c.Respond(200, big); });
  // Counted while a request is being answered: the server's count of open connections
  // lags behind the client's closing them.
  std::atomic<int> answering{0};
  std::atomic<int> peak{0};
  server_.Route("/small", [&](auto&, auto& c) {
    const int now = ++answering;
    for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    // Answered once all four are asked, or after a while, had they come one at a time.
    for (int i = 0; i < 500 && peak < 4 && c.Sleep(10); ++i) {
    }
    // Before the answer: once it is in, the test may end and these counts go with it.
    --answering;
    c.Respond(200, "<title>small</title>");
  });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  auto fetcher = MakeCurlFetcher(options);
  for (int i = 0; i < 12; ++i) {
    EXPECT_TRUE(fetcher->Take(fetcher->Submit({server_.Url("/big?" + std::to_string(i)), {}})).ok);
  }
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 4; ++i)
    tickets.push_back(fetcher->Submit({server_.Url("/small?" + std::to_string(i)), {}}));
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).ok);
  EXPECT_EQ(peak, 4);  // one at a time, had the budget stayed full
}

// Past the budget no transfer starts but the oldest wanted: while a large first page holds
// more than the budget, the pages after it wait unasked.
TEST_F(CurlFetcherTest, NothingStartsPastTheBudget) {
  std::atomic<bool> release{false};
  std::atomic<bool> written{false};
  const std::string chunk(1u << 20, 'x');
  server_.Route("/large", [&](auto&, auto& c) {
    // Written whole only once the client has read most of it: socket buffers hold less.
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(33u << 20) +
            "\r\n\r\n<title>large</title>");
    for (int i = 0; i < 32 && c.Write(chunk); ++i) {
    }
    written = true;
    while (!release && c.Sleep(10)) {
    }
    c.Write(std::string((1u << 20) - 20, 'y'));
  });
  std::atomic<int> asked{0};
  server_.Route("/after", [&](auto&, auto& c) {
    ++asked;
    c.Respond(200, "<title>after</title>");
  });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  auto fetcher = MakeCurlFetcher(options);
  const auto large = fetcher->Submit({server_.Url("/large"), {}});
  for (int i = 0; i < 12'000 && !written; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(written);
  std::vector<Fetcher::Ticket> after;
  for (int i = 0; i < 4; ++i)
    after.push_back(fetcher->Submit({server_.Url("/after?" + std::to_string(i)), {}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // time for a wrong start
  EXPECT_EQ(asked, 0);
  release = true;
  const auto large_result = fetcher->Take(large);
  EXPECT_TRUE(large_result.ok) << large_result.error_text;
  for (const auto ticket : after) {
    const auto r = fetcher->Take(ticket);
    EXPECT_TRUE(r.ok) << r.error_text;
  }
  EXPECT_EQ(asked, 4);
}

// "/stall": a page that comes only once `release` is set.
void RouteStall(testing::LoopbackServer& server, std::atomic<bool>& release) {
  server.Route("/stall", [&release](auto&, auto& c) {
    while (!release && c.Sleep(10)) {
    }
    c.Respond(200, "<title>stall</title>");
  });
}

// Behind `stalled`, the oldest page, the file `small` has room only while the budget is
// empty: it is read at once. Then the stalled page is let go, and both come.
void ExpectRoomBehind(Fetcher& fetcher, Fetcher::Ticket stalled, const std::string& small,
                      std::atomic<bool>& release) {
  const auto after = fetcher.Submit({"file://" + small, {}});
  for (int i = 0; i < 3000 && !fetcher.Ready(after); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fetcher.Ready(after));
  release = true;
  EXPECT_TRUE(fetcher.Take(stalled).ok);
  EXPECT_TRUE(fetcher.Take(after).ok);
}

// Local files give their memory back however they end: refused as too large after
// filling the budget, or abandoned while held back for room. Afterwards a small file
// behind a stalled page is read at once, as an empty budget lets it.
TEST_F(CurlFetcherTest, LocalFilesRefusedOrAbandonedLeaveTheBudget) {
  TempDir dir;
  const std::string large = dir.File("large.htm", "<title>l</title>" + std::string(2 << 20, 'x'));
  const std::string big = dir.File("big.htm", "<title>b</title>" + std::string(1200 << 10, 'x'));
  const std::string small = dir.File("small.htm", "<title>s</title>");
  std::atomic<bool> release{false};
  RouteStall(server_, release);
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_bytes = 1536u << 10;
  auto fetcher = MakeCurlFetcher(options);
  // The oldest page may pass the budget, up to the largest page allowed.
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(fetcher->Take(fetcher->Submit({"file://" + large, {}})).error, FetchError::kTooLarge);
  // Behind the oldest page, the stalled one, a file holds only what the budget allows.
  const auto stalled = fetcher->Submit({server_.Url("/stall"), {}});
  for (int i = 0; i < 2; ++i) {
    const auto held = fetcher->Submit({"file://" + big, {}});
    // Time to fill the budget. Had it not, this checks less, but still holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fetcher->Abandon(held);
  }
  ExpectRoomBehind(*fetcher, stalled, small, release);
}

// A local file abandoned between two of its pieces gives back what it had read. The
// oldest file is read whatever the budget holds, so each is abandoned at another moment
// of its reading; had one kept its memory, the small file behind the stalled page would
// find no room.
TEST_F(CurlFetcherTest, LocalFilesAbandonedMidReadLeaveTheBudget) {
  TempDir dir;
  const std::string huge = dir.File("huge.htm", "<title>h</title>" + std::string(32 << 20, 'x'));
  const std::string small = dir.File("small.htm", "<title>s</title>");
  std::atomic<bool> release{false};
  RouteStall(server_, release);
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_bytes = 64u << 20;
  auto fetcher = MakeCurlFetcher(options);
  for (int i = 0; i < 20; ++i) {
    const auto ticket = fetcher->Submit({"file://" + huge, {}});
    std::this_thread::sleep_for(std::chrono::microseconds(250 * i));
    fetcher->Abandon(ticket);
  }
  const auto stalled = fetcher->Submit({server_.Url("/stall"), {}});
  ExpectRoomBehind(*fetcher, stalled, small, release);
}

// Pages abandoned around the moment their answer is in, so that some are filed after
// they were abandoned: their memory goes back too.
TEST_F(CurlFetcherTest, PagesAbandonedAsTheyEndLeaveTheBudget) {
  const std::string big = "<title>big</title>" + std::string(700 << 10, 'x');
  server_.Route("/big", [&](auto&, auto& c) { c.Respond(200, big); });
  TempDir dir;
  const std::string small = dir.File("small.htm", "<title>s</title>");
  std::atomic<bool> release{false};
  RouteStall(server_, release);
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  auto fetcher = MakeCurlFetcher(options);
  for (int i = 0; i < 150; ++i) {
    const auto ticket = fetcher->Submit({server_.Url("/big?" + std::to_string(i)), {}});
    std::this_thread::sleep_for(std::chrono::microseconds(100 * (i % 50)));
    fetcher->Abandon(ticket);
  }
  const auto stalled = fetcher->Submit({server_.Url("/stall"), {}});
  ExpectRoomBehind(*fetcher, stalled, small, release);
}

}  // namespace
}  // namespace orvanel
