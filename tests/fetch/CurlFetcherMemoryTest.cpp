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
  // Held back, not thrown away: each page came over the network once.
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
  const auto decided = [](std::string_view bytes, std::string_view) {
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

}  // namespace
}  // namespace orvanel
