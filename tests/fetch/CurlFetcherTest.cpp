#include "CurlFetcherFixture.h"

namespace orvanel {
namespace {

TEST_F(CurlFetcherTest, GoodDocumentsArriveWithWhatTheTransferKnows) {
  auto page = Fetch(server_.Url("/page"));
  EXPECT_TRUE(page.ok);
  EXPECT_EQ(page.text, "<title>Plain</title>");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.charset, "utf-8");
  EXPECT_EQ(page.bytes_read, 20u);

  EXPECT_EQ(Fetch(server_.Url("/gzip")).text, "<title>Zipped</title>");
  // Codings named in headers of their own are undone, each one.
  server_.Route("/twice", [](auto&, auto& c) {
    c.Respond(200, Gzip(Gzip("<title>Twice</title>")),
              "Content-Encoding: gzip\r\nContent-Encoding: gzip\r\n");
  });
  EXPECT_EQ(Fetch(server_.Url("/twice")).text, "<title>Twice</title>");

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
      {"/bad", FetchError::kHttpStatus},     {"/loop", FetchError::kRedirects},
      {"/slow", FetchError::kTimeout},       {"/reset", FetchError::kNetwork},
      {"/endless", FetchError::kTooLarge},   {"/to-file", FetchError::kRedirects},
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

// The cap counts every byte of an answer's headers, status line and blank line included:
// headers of exactly the cap are read, one byte more is refused.
TEST_F(CurlFetcherTest, HeadersOfExactlyTheCapAreRead) {
  server_.Route("/padded", [](auto& req, auto& c) {
    const std::size_t pad = static_cast<std::size_t>(std::atoi(req.path.substr(12).c_str()));
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 16\r\nX-Pad: " + std::string(pad, 'p') +
            "\r\n\r\n<title>T</title>");
  });
  FetcherOptions options;
  options.max_header_bytes = 1000;
  const auto at_cap = Fetch(server_.Url("/padded?pad=952"), options);  // 48 bytes besides
  EXPECT_TRUE(at_cap.ok) << at_cap.error;
  EXPECT_EQ(at_cap.text, "<title>T</title>");
  const auto past = Fetch(server_.Url("/padded?pad=953"), options);
  EXPECT_FALSE(past.ok);
  EXPECT_NE(past.error.find("headers larger than 1000 bytes"), std::string::npos) << past.error;
}

TEST_F(CurlFetcherTest, OnlyRegularFilesAreReadAsLocalPages) {
  TempDir dir;
  const std::string fifo = dir.path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = Clock::now();
  for (const auto& path : {fifo, std::string("/dev/zero"), std::string("/dev/stdin")}) {
    const auto page = Fetch(path);
    EXPECT_FALSE(page.ok) << path;
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // nothing waited for a writer
  // A folder is no file: its path is taken for a web address, whose host ("tmp") is
  // looked up, so it is fetched where no look-up can leave the machine.
  const int folder = testing::RunInIsolatedNetwork([&] { return Fetch(dir.path()).ok ? 1 : 0; });
  if (folder != -1) {
    EXPECT_EQ(folder, 0);
  }
  const std::string file = dir.File("page.htm", "<title>Here</title>");
  EXPECT_TRUE(Fetch(file).ok);
  FetcherOptions no_local;
  no_local.allow_local_files = false;
  EXPECT_FALSE(Fetch(file, no_local).ok);
}

// An error page whose body would decide the rows early is still read whole and reported
// as an error, never as a page cut short.
TEST_F(CurlFetcherTest, AnErrorPageIsNeverCutEarly) {
  server_.Route("/err-long", [](auto&, auto& c) {
    c.Respond(500, "<head><title>Oops</title></head>" + std::string(200'000, 'x'));
  });
  auto fetcher = MakeCurlFetcher();
  FetchRequest request{server_.Url("/err-long"),
                       [](std::string_view, std::string_view, bool) { return true; }};
  const auto result = fetcher->Take(fetcher->Submit(std::move(request)));
  EXPECT_FALSE(result.ok);
  EXPECT_FALSE(result.cut_early);
  EXPECT_EQ(result.status, 500);
}

// A page read to its end without a decision is judged once more, whole; what that gives
// travels with the page, which keeps every byte. A page cut early, or an error page, is not.
TEST_F(CurlFetcherTest, APageReadWholeIsJudgedOnceWithAllOfIt) {
  const std::string body = "<title>T</title>" + std::string(100'000, 'b');
  server_.Route("/whole", [&](auto&, auto& c) { c.Respond(200, body); });
  server_.Route("/missing", [&](auto&, auto& c) { c.Respond(404, body); });
  server_.Route("/small", [&](auto&, auto& c) { c.Respond(200, "<title>T</title>"); });
  auto fetcher = MakeCurlFetcher();
  auto judged = std::make_shared<std::vector<std::size_t>>();  // sizes judged whole
  auto judge = [judged](std::size_t cut_at) {
    return [judged, cut_at](std::string_view bytes, std::string_view, bool whole) {
      if (whole) judged->push_back(bytes.size());
      return whole ? std::size_t{16} : bytes.size() >= cut_at ? cut_at : 0;
    };
  };
  auto result = fetcher->Take(fetcher->Submit({server_.Url("/whole"), judge(1'000'000)}));
  ASSERT_TRUE(result.ok) << result.error_text;
  EXPECT_EQ(*judged, std::vector<std::size_t>{body.size()});
  EXPECT_EQ(result.enough_at, 16u);
  EXPECT_EQ(result.bytes, body);
  EXPECT_FALSE(result.cut_early);
  judged->clear();
  result = fetcher->Take(fetcher->Submit({server_.Url("/whole"), judge(100)}));
  EXPECT_TRUE(result.cut_early);
  EXPECT_EQ(result.decided_at, 100u);
  EXPECT_EQ(result.enough_at, 0u);
  // Decided with its last bytes, it is whole after all.
  result = fetcher->Take(fetcher->Submit({server_.Url("/small"), judge(16)}));
  EXPECT_FALSE(result.cut_early);
  EXPECT_EQ(result.decided_at, 16u);
  EXPECT_EQ(result.bytes, "<title>T</title>");
  result = fetcher->Take(fetcher->Submit({server_.Url("/missing"), judge(1'000'000)}));
  EXPECT_EQ(result.status, 404);
  EXPECT_EQ(result.enough_at, 0u);
  EXPECT_TRUE(judged->empty());
}

}  // namespace
}  // namespace orvanel
