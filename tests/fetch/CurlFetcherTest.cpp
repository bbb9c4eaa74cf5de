#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>

#include "Isolation.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "TlsServer.h"
#include "engine/Retrieval.h"
#include "fetch/CurlFetcher.h"
#include "fetch/FetchPolicy.h"

namespace orvanel {
namespace {

using testing::LoopbackServer;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

std::string Gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(compressBound(static_cast<uLong>(text.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

class CurlFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Route("/page", [](auto&, auto& c) {
      c.Respond(200, "<title>Plain</title>", "Content-Type: text/html\r\n");
    });
    server_.Route("/gzip", [](auto& req, auto& c) {
      const bool accepts = req.headers.count("accept-encoding") &&
                           req.headers.at("accept-encoding").find("gzip") != std::string::npos;
      if (!accepts) return (void)c.Respond(406, "gzip please");
      c.Respond(200, Gzip("<title>Zipped</title>"), "Content-Encoding: gzip\r\n");
    });
    for (int i = 1; i <= 3; ++i) {
      server_.Route("/hop" + std::to_string(i), [i](auto&, auto& c) {
        c.Respond(
            302, "",
            "Location: /" + std::string(i == 3 ? "page" : "hop" + std::to_string(i + 1)) + "\r\n");
      });
    }
    server_.Route("/loop", [](auto&, auto& c) { c.Respond(302, "", "Location: /loop\r\n"); });
    server_.Route("/to-file",
                  [](auto&, auto& c) { c.Respond(302, "", "Location: file:///etc/hostname\r\n"); });
    server_.Route("/missing", [](auto&, auto& c) { c.Respond(404, "<title>Not found</title>"); });
    server_.Route("/broken", [](auto&, auto& c) { c.Respond(500, "<title>Oops</title>"); });
    server_.Route("/slow", [](auto&, auto& c) {
      if (c.Sleep(2000)) c.Respond(200, "<title>late</title>");
    });
    server_.Route("/reset", [](auto&, auto& c) {
      c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<title>cut");
      c.Sleep(50);
      c.Reset();
    });
    server_.Route("/endless", [](auto&, auto& c) {
      c.Write("HTTP/1.1 200 OK\r\n\r\n");
      const std::string chunk(64 * 1024, 'x');
      for (int i = 0; i < 1000 && c.Write(chunk); ++i) {
      }
    });
    server_.Route("/latin", [](auto&, auto& c) { c.Respond(200, "<title>caf\xe9</title>"); });
    server_.Route("/nul",
                  [](auto&, auto& c) { c.Respond(200, std::string("<title>a\0b</title>", 18)); });
    server_.Route("/busy", [this](auto&, auto& c) {
      if (++busy_calls_ == 1) return (void)c.Respond(503, "", "Retry-After: 0\r\n");
      c.Respond(200, "<title>after retry</title>");
    });
    server_.Route("/hang", [](auto&, auto& c) { c.Sleep(60'000); });
  }

  Page Fetch(const std::string& address, FetcherOptions options = {}) {
    auto fetcher = MakeCurlFetcher(options);
    return FetchPage(*fetcher, address, Mode::kTitleAndMetaTags, {}, false);
  }

  LoopbackServer server_;
  std::atomic<int> busy_calls_{0};
};

TEST_F(CurlFetcherTest, GoodDocumentsArriveWithWhatTheTransferKnows) {
  auto page = Fetch(server_.Url("/page"));
  EXPECT_TRUE(page.ok);
  EXPECT_EQ(page.text, "<title>Plain</title>");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.charset, "utf-8");
  EXPECT_EQ(page.bytes_read, 20u);

  EXPECT_EQ(Fetch(server_.Url("/gzip")).text, "<title>Zipped</title>");

  page = Fetch(server_.Url("/hop1"));
  EXPECT_EQ(page.text, "<title>Plain</title>");
  EXPECT_EQ(page.final_url, server_.Url("/page"));

  page = Fetch(server_.Url("/latin"));
  EXPECT_EQ(page.text, "<title>caf\xc3\xa9</title>");
  EXPECT_EQ(page.charset_source, CharsetSource::kFallback);

  EXPECT_EQ(Fetch(server_.Url("/nul")).text, "<title>a");

  page = Fetch(server_.Url("/busy"));
  EXPECT_TRUE(page.ok);
  EXPECT_EQ(page.text, "<title>after retry</title>");
  EXPECT_EQ(busy_calls_, 2);
}

TEST_F(CurlFetcherTest, DocumentsThatCannotBeHadGiveOneMessageAndNoText) {
  FetcherOptions quick;
  quick.timeout_ms = 500;
  quick.max_bytes = 1 << 20;
  struct Case {
    std::string path;
    FetchError error;
  } cases[] = {
      {"/missing", FetchError::kHttpStatus}, {"/broken", FetchError::kHttpStatus},
      {"/loop", FetchError::kRedirects},     {"/slow", FetchError::kTimeout},
      {"/reset", FetchError::kNetwork},      {"/endless", FetchError::kTooLarge},
      {"/to-file", FetchError::kRedirects},
  };
  for (const auto& c : cases) {
    auto fetcher = MakeCurlFetcher(quick);
    const NormalisedAddress address{server_.Url(c.path), false};
    const auto result =
        fetcher->Take(fetcher->Submit(MakeFetchRequest(address, Mode::kEntireHeadTag, {}, false)));
    EXPECT_FALSE(result.ok) << c.path;
    EXPECT_EQ(result.error, c.error) << c.path << " " << result.error_text;
    EXPECT_FALSE(result.error_text.empty());
    const Page page = MakePage(address, result);
    EXPECT_EQ(page.text, "");
    EXPECT_EQ(page.message, "URL " + server_.Url(c.path) + " cannot be extracted.");
  }
}

TEST_F(CurlFetcherTest, RefusedConnectionsAndUnknownHostsFail) {
  EXPECT_EQ(Fetch("http://127.0.0.1:1/").ok, false);
  // The look-up runs where no query can leave the machine.
  const int status = testing::RunInIsolatedNetwork([this] {
    const auto page = Fetch("no-such-host.invalid/page");
    return !page.ok &&
                   page.message == "URL http://no-such-host.invalid/page cannot be extracted." &&
                   page.error.find("resolve") != std::string::npos
               ? 0
               : 1;
  });
  if (status < 0)
    GTEST_SKIP() << "no network namespace can be made here (needs root or user namespaces)";
  EXPECT_EQ(status, 0);
}

TEST_F(CurlFetcherTest, LocalFilesAndFolders) {
  TempDir dir;
  const std::string file = dir.File("ma page \xc3\xa9t\xc3\xa9.htm", "<title>Local</title>");
  auto page = Fetch(file);
  EXPECT_TRUE(page.ok);
  EXPECT_EQ(page.text, "<title>Local</title>");
  EXPECT_EQ(page.status, 0);

  page = Fetch(dir.path());
  EXPECT_FALSE(page.ok);
  EXPECT_EQ(page.message, "URL http://" + dir.path() + " cannot be extracted.");

  page = Fetch("");
  EXPECT_FALSE(page.ok);
  EXPECT_EQ(page.message, "URL http:// cannot be extracted.");
}

TEST_F(CurlFetcherTest, ResultsComeByTicketAndTheHostLimitHolds) {
  // Counted between the request's arrival and the answer, so a connection that is being
  // torn down after its answer does not count.
  std::atomic<int> busy{0};
  std::atomic<int> peak{0};
  server_.Route("/n", [&](auto& req, auto& c) {
    const int now = ++busy;
    int seen = peak;
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    c.Sleep(30);
    --busy;
    c.Respond(200, "<title>" + req.path.substr(req.path.find('=') + 1) + "</title>");
  });
  FetcherOptions options;
  options.max_per_host = 3;
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 24; ++i)
    tickets.push_back(fetcher->Submit({server_.Url("/n?i=" + std::to_string(i)), {}}));
  for (int i = 23; i >= 0; --i) {  // taken in any order, each result is its own
    EXPECT_EQ(fetcher->Take(tickets[static_cast<std::size_t>(i)]).bytes,
              "<title>" + std::to_string(i) + "</title>");
  }
  EXPECT_LE(peak, 3);
  EXPECT_GE(peak, 2);
}

TEST_F(CurlFetcherTest, DestroyingCancelsEverythingPromptly) {
  auto fetcher = MakeCurlFetcher();
  for (int i = 0; i < 1000; ++i) fetcher->Submit({server_.Url("/hang"), {}});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = Clock::now();
  fetcher.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(CurlFetcherTest, EarlyStopReadsOnlyWhatTheRowsNeed) {
  server_.Route("/long", [](auto&, auto& c) {
    c.Write(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
        "10000000\r\n\r\n"
        "<head><title>Early</title></head>");
    const std::string chunk(100'000, 'b');
    for (int i = 0; i < 100 && c.Write(chunk); ++i) c.Sleep(20);
  });
  auto fetcher = MakeCurlFetcher();
  const auto start = Clock::now();
  const Page page = FetchPage(*fetcher, server_.Url("/long"), Mode::kEntireHeadTag, {}, true);
  EXPECT_TRUE(page.ok);
  EXPECT_TRUE(page.cut_early);
  EXPECT_LT(page.bytes_read, 1'000'000u);
  EXPECT_EQ(ExtractRows(Mode::kEntireHeadTag, page.text, {})[0].cells[0],
            "<head><title>Early</title></head>");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(CurlFetcherTest, AbandonedTransfersStopAndEveryTicketEndsOnce) {
  server_.Route("/trickle", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < 200 && c.Write("x"); ++i) c.Sleep(25);
  });
  auto fetcher = MakeCurlFetcher();
  const auto running = fetcher->Submit({server_.Url("/trickle"), {}});
  for (int i = 0; i < 200 && server_.ActiveConnections() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(server_.ActiveConnections(), 1);
  const auto start = Clock::now();
  fetcher->Abandon(running);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));  // never waits
  for (int i = 0; i < 200 && server_.ActiveConnections() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_.ActiveConnections(), 0);  // the connection was dropped
  EXPECT_THROW(fetcher->Take(running), std::invalid_argument);
  EXPECT_THROW(fetcher->Abandon(running), std::invalid_argument);
  EXPECT_THROW(fetcher->Take(987654), std::invalid_argument);

  const auto done = fetcher->Submit({server_.Url("/page"), {}});
  while (!fetcher->Ready(done)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  fetcher->Abandon(done);  // a finished result is dropped
  EXPECT_THROW(fetcher->Take(done), std::invalid_argument);
  const auto good = fetcher->Submit({server_.Url("/page"), {}});
  EXPECT_TRUE(fetcher->Take(good).ok);
}

TEST_F(CurlFetcherTest, RetriesOfOneAddressStayWithinTheirWindow) {
  std::atomic<int> asked{0};
  server_.Route("/later", [&](auto&, auto& c) {
    ++asked;
    c.Respond(503, "", "Retry-After: 30\r\n");
  });
  server_.Route("/huge-wait", [&](auto&, auto& c) {
    ++asked;
    c.Respond(429, "", "Retry-After: 99999999999999999999\r\n");
  });
  FetcherOptions options;
  options.timeout_ms = 5'000;
  const auto start = Clock::now();
  EXPECT_FALSE(Fetch(server_.Url("/later"), options).ok);
  EXPECT_FALSE(Fetch(server_.Url("/huge-wait"), options).ok);
  // A 30 s wait does not fit in two 5 s time-outs: the first answer is final.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(asked.load(), 2);
}

TEST_F(CurlFetcherTest, EndlessHeadersOrTrailersFailAtTheirCap) {
  std::atomic<std::size_t> sent{0};
  server_.Route("/trailers", [&](auto&, auto& c) {
    c.Write(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Pad\r\n\r\n"
        "12\r\n<title>T</title>xx\r\n0\r\n");
    const std::string trailers = [] {
      std::string lines;
      for (int i = 0; i < 1000; ++i) lines += "X-Pad: p\r\n";
      return lines;
    }();
    for (int i = 0; i < 20'000 && c.Write(trailers); ++i) sent += trailers.size();
  });
  FetcherOptions options;
  options.max_header_bytes = 64 * 1024;
  const auto start = Clock::now();
  const auto page = Fetch(server_.Url("/trailers"), options);
  EXPECT_FALSE(page.ok);
  EXPECT_NE(page.error.find("headers larger than 65536 bytes"), std::string::npos) << page.error;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  // Stopped near the cap: what the server got out is the cap and the socket buffers.
  EXPECT_LT(sent.load(), 32u << 20);
}

TEST_F(CurlFetcherTest, OnlyRegularFilesAreReadAsLocalPages) {
  TempDir dir;
  const std::string fifo = dir.path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = Clock::now();
  for (const auto& path : {fifo, std::string("/dev/zero"), std::string("/dev/stdin"), dir.path()}) {
    const auto page = Fetch(path);
    EXPECT_FALSE(page.ok) << path;
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // nothing waited for a writer
  const std::string file = dir.File("page.htm", "<title>Here</title>");
  EXPECT_TRUE(Fetch(file).ok);
  FetcherOptions no_local;
  no_local.allow_local_files = false;
  EXPECT_FALSE(Fetch(file, no_local).ok);
}

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

// A page held back by the budget for longer than the time-out is fetched again, not
// reported as timed out.
TEST_F(CurlFetcherTest, APageHeldBackPastTheTimeOutIsFetchedAgain) {
  server_.Route("/first", [&](auto&, auto& c) {
    if (c.Sleep(1500)) c.Respond(200, "<title>first</title>");
  });
  const std::string big = "<title>big</title>" + std::string(400 * 1024, 'x');
  server_.Route("/big", [&](auto&, auto& c) { c.Respond(200, big); });
  FetcherOptions options;
  options.memory_budget = 1u << 20;
  options.max_per_host = 16;
  options.timeout_ms = 1000;  // the first page itself takes longer: it is the oldest
  options.retries = 0;
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
}

// Each host's connection is kept for its next page, even when a run goes round more
// hosts than it runs transfers.
TEST(CurlFetcherConnections, AreKeptForTheNextPageOfTheirHost) {
  LoopbackServer server(/*keep_alive=*/true);
  server.Route("/p", [](auto&, auto& c) { c.Respond(200, "<title>p</title>"); });
  constexpr int kHosts = 100;
  FetcherOptions options;  // 16 at once
  for (int h = 0; h < kHosts; ++h) {
    options.resolve.push_back("h" + std::to_string(h) + ".test:" + std::to_string(server.Port()) +
                              ":127.0.0.1");
  }
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int round = 0; round < 4; ++round) {
    for (int h = 0; h < kHosts; ++h) {
      tickets.push_back(fetcher->Submit(
          {"http://H" + std::to_string(h) + ".test:" + std::to_string(server.Port()) + "/p", {}}));
    }
  }
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).ok);
  EXPECT_EQ(server.Requests(), 4 * kHosts);
  // One connection for each host; a little more where two pages of a host ran at once.
  EXPECT_LE(server.AcceptedConnections(), kHosts + kHosts / 10);
}

// A second connection to a host resumes the TLS session of the first instead of a full
// handshake; the server says which it was.
TEST(CurlFetcherTls, NewConnectionsToAHostResumeItsSession) {
  TempDir dir;
  testing::TlsServer tls(dir.path());
  if (!tls.ok()) GTEST_SKIP() << "no openssl to make a TLS server";
  FetcherOptions options;
  options.ca_file = tls.cert();
  auto fetcher = MakeCurlFetcher(options);
  int fresh = 0, resumed = 0;
  for (int i = 0; i < 6; ++i) {  // one at a time: the server closes every connection
    const FetchResult r = fetcher->Take(fetcher->Submit({tls.Url(), {}}));
    ASSERT_TRUE(r.ok) << r.error_text;
    fresh += r.bytes.find("\nNew, ") != std::string::npos;
    resumed += r.bytes.find("\nReused, ") != std::string::npos;
  }
  EXPECT_EQ(fresh, 1);
  EXPECT_EQ(resumed, 5);
  // Without the certificate the server is not trusted, whatever was cached.
  auto untrusting = MakeCurlFetcher();
  EXPECT_EQ(untrusting->Take(untrusting->Submit({tls.Url(), {}})).error, FetchError::kTls);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// nginx with TLS and HTTP/2 on a free loopback port, serving the folder's www; each
// request is logged with the serial number of its connection. Stopped by its process id.
class Http2Server {
 public:
  explicit Http2Server(const std::string& dir) : dir_(dir) {
    if (::access("/usr/sbin/nginx", X_OK) != 0 ||
        !testing::MakeCertificate(dir + "/key.pem", dir + "/cert.pem")) {
      return;
    }
    ::chmod(dir.c_str(), 0755);  // nginx's workers may run as another user
    const int port = testing::FreePort();
    WriteFile(dir + "/nginx.conf",
              "worker_processes 1;\npid " + dir +
                  "/nginx.pid;\nevents { worker_connections 256; }\n"
                  "http {\n  log_format c '$connection $server_protocol';\n  access_log " +
                  dir + "/access.log c;\n  server {\n    listen 127.0.0.1:" + std::to_string(port) +
                  " ssl http2;\n    ssl_certificate " + dir +
                  "/cert.pem;\n    ssl_certificate_key " + dir + "/key.pem;\n    root " + dir +
                  "/www;\n  }\n}\n");
    server_.Start({"/usr/sbin/nginx", "-p", dir, "-c", dir + "/nginx.conf", "-e",
                   dir + "/error.log", "-g", "daemon off;"},
                  port);
  }
  bool ok() const { return server_.ok(); }
  std::string Url(const std::string& path) const {
    return "https://localhost:" + std::to_string(server_.port()) + path;
  }
  std::string Cert() const { return dir_ + "/cert.pem"; }
  // The log's lines: "connection protocol".
  std::vector<std::string> Log() const {
    std::ifstream in(dir_ + "/access.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::string dir_;
  testing::ServerProcess server_;
};

// Pages of one HTTP/2 host share its one connection, several streams at once, and a
// page decided early has its stream stopped there without harm to the connection.
TEST(CurlFetcherHttp2, StreamsToAHostShareOneConnectionAndStopWhenDecided) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() + "/www");
  const std::string page =
      "<html><head><title>T</title></head><body>" + std::string(256 * 1024, 'x');
  WriteFile(dir.path() + "/www/p.html", page);
  ::chmod((dir.path() + "/www").c_str(), 0755);
  ::chmod((dir.path() + "/www/p.html").c_str(), 0644);
  Http2Server server(dir.path());
  if (!server.ok()) GTEST_SKIP() << "no nginx or openssl here";
  FetcherOptions options;
  options.ca_file = server.Cert();
  auto fetcher = MakeCurlFetcher(options);
  const auto decided = [](std::string_view bytes, std::string_view) {
    return bytes.find("</head>") != std::string_view::npos;
  };
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 30; ++i)
    tickets.push_back(fetcher->Submit({server.Url("/p.html?" + std::to_string(i)), decided}));
  for (const auto ticket : tickets) {
    const FetchResult r = fetcher->Take(ticket);
    ASSERT_TRUE(r.ok) << r.error_text;
    EXPECT_TRUE(r.cut_early);
    EXPECT_LT(r.bytes_read, 48u * 1024);  // stopped, not read on
  }
  fetcher.reset();
  // nginx logs a stream stopped by its client when it notices: give it a moment.
  auto log = server.Log();
  for (const auto until = Clock::now() + std::chrono::seconds(3);
       log.size() < 30 && Clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = server.Log();
  }
  ASSERT_EQ(log.size(), 30u);
  std::set<std::string> connections;
  for (const auto& line : log) {
    EXPECT_NE(line.find(" HTTP/2.0"), std::string::npos) << line;
    connections.insert(line.substr(0, line.find(' ')));
  }
  EXPECT_EQ(connections.size(), 1u);
}

// An error page whose body would decide the rows early is still read whole and reported
// as an error, never as a page cut short.
TEST_F(CurlFetcherTest, AnErrorPageIsNeverCutEarly) {
  server_.Route("/err-long", [](auto&, auto& c) {
    c.Respond(500, "<head><title>Oops</title></head>" + std::string(200'000, 'x'));
  });
  auto fetcher = MakeCurlFetcher();
  FetchRequest request{server_.Url("/err-long"),
                       [](std::string_view, std::string_view) { return true; }};
  const auto result = fetcher->Take(fetcher->Submit(std::move(request)));
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(result.cut_early);
  EXPECT_EQ(result.status, 500);
}

}  // namespace
}  // namespace orvanel
