// Servers and files that attack the fetcher's bounds: each bound holds, and no attacker
// holds back the transfers of others.
#include <zstd.h>

#include "Codings.h"
#include "CurlFetcherFixture.h"
#include "DeadListener.h"
#include "H2FloodServer.h"
#include "Subprocess.h"
#include "TextFiles.h"
#include "ZstdWindow.h"

namespace orvanel {
namespace {

// Under AddressSanitizer memory is held longer and larger: its bounds are not ours.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif

// The companion over `list`, with `options`: its rows and peak memory. A program of its
// own (no fork of this one, whose server threads run): what a user runs.
testing::Finished Companion(const std::vector<std::string>& options, const std::string& list) {
  std::vector<std::string> argv = {testing::ExtractProgram(), "-q", "-f", "jsonl"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(list);
  return testing::RunProgram(argv);
}

// Empty HTTP/2 DATA frames reach no callback, so libcurl reads them in one call for as
// long as they come; its connection is closed so that the call returns, and the pages
// of other servers come on time.
TEST(CurlFetcherAttack, AFloodOfEmptyFramesHoldsBackNoOtherPage) {
  TempDir dir;
  const std::string key = dir.path() + "/key.pem", cert = dir.path() + "/cert.pem";
  ASSERT_TRUE(testing::MakeCertificate(key, cert));
  testing::H2FloodServer flood(cert, key, std::chrono::seconds(150));
  LoopbackServer server;
  server.Route("/slow", [](auto&, auto& c) {
    if (c.Sleep(500)) c.Respond(200, "<title>slow but fine</title>");
  });
  FetcherOptions options;
  options.insecure = true;
  options.timeout_ms = 4000;
  auto fetcher = MakeCurlFetcher(options);
  const auto start = Clock::now();
  const auto flooded =
      fetcher->Submit({"https://127.0.0.1:" + std::to_string(flood.Port()) + "/", {}});
  std::vector<Fetcher::Ticket> others;
  for (int i = 0; i < 3; ++i)
    others.push_back(fetcher->Submit({server.Url("/slow?" + std::to_string(i)), {}}));
  for (const auto ticket : others) {
    const auto r = fetcher->Take(ticket);
    EXPECT_TRUE(r.ok) << r.error_text;
  }
  // Held back, they came only when libcurl let go of the flood (20 s and more).
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  const auto r = fetcher->Take(flooded);
  EXPECT_FALSE(r.ok);
  EXPECT_GE(flood.Streams(), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

// A listener whose queue is full drops every new connection's first packet: connecting
// to it times out. Its addresses are tried side by side, never one after another.
TEST(CurlFetcherAttack, TheAddressesOfADeadTlsHostAreTriedSideBySide) {
  testing::DeadListener dead;
  FetcherOptions options;
  options.connect_timeout_ms = 1000;
  options.host_errors = 0;
  auto fetcher = MakeCurlFetcher(options);
  const std::string base = "https://127.0.0.1:" + std::to_string(dead.Port()) + "/";
  std::vector<Fetcher::Ticket> tickets;
  const auto start = Clock::now();
  for (int i = 0; i < 12; ++i) tickets.push_back(fetcher->Submit({base + std::to_string(i), {}}));
  for (const auto ticket : tickets)
    EXPECT_EQ(fetcher->Take(ticket).error, FetchError::kConnectTimeout);
  // One after another: 12 s. Side by side, six at a time after the first: about 3 s.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(9));
}

// libcurl has caps of its own on headers that come before ours: what they stop is too
// large all the same, never a network failure or "out of memory".
TEST(CurlFetcherAttack, HeaderFloodsAreTooLarge) {
  LoopbackServer server;
  server.Route("/many", [](auto&, auto& c) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 4000; ++i)
      head += "X-Pad-" + std::to_string(i) + ": " + std::string(100, 'p') + "\r\n";
    c.Write(head + "Content-Length: 5\r\n\r\nhello");
  });
  server.Route("/long", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nX-Long: " + std::string(10u << 20, 'l') + "\r\n\r\n");
  });
  auto fetcher = MakeCurlFetcher();
  for (const char* path : {"/many", "/long"}) {
    const auto r = fetcher->Take(fetcher->Submit({server.Url(path), {}}));
    EXPECT_EQ(r.error, FetchError::kTooLarge) << path << ": " << r.error_text;
    EXPECT_EQ(r.error_text.find("memory"), std::string::npos) << r.error_text;
  }
  // Many lines meet the program's own cap (256 KiB) before libcurl's.
  const auto many = fetcher->Take(fetcher->Submit({server.Url("/many"), {}}));
  EXPECT_EQ(many.error_text, "Response headers larger than 262144 bytes");

  // Over HTTP/2, headers continued without end.
  TempDir dir;
  const std::string key = dir.path() + "/key.pem", cert = dir.path() + "/cert.pem";
  ASSERT_TRUE(testing::MakeCertificate(key, cert));
  testing::H2FloodServer endless(cert, key, std::chrono::seconds(60), /*continuation=*/true);
  FetcherOptions options;
  options.insecure = true;
  auto h2 = MakeCurlFetcher(options);
  const auto r =
      h2->Take(h2->Submit({"https://127.0.0.1:" + std::to_string(endless.Port()) + "/", {}}));
  EXPECT_EQ(r.error, FetchError::kTooLarge) << r.error_text;
  EXPECT_GE(endless.Streams(), 1);
}

// Pages of a few kilobytes that decode to 48 MiB each, forty at once, in a 16 MiB
// budget: the decoded data is held to the budget (the oldest page aside), where libcurl's
// own decoding held gigabytes.
TEST(CurlFetcherAttack, CompressedPagesStayWithinTheMemoryBudget) {
  std::size_t size = 0;
  std::string zstd;
  {
    const std::string plain = "<title>z</title>" + std::string(48u << 20, ' ');
    size = plain.size();
    zstd.resize(ZSTD_compressBound(plain.size()));
    zstd.resize(ZSTD_compress(zstd.data(), zstd.size(), plain.data(), plain.size(), 3));
  }
  LoopbackServer server;
  server.Route("/z", [&](auto&, auto& c) { c.Respond(200, zstd, "Content-Encoding: zstd\r\n"); });
  TempDir dir;
  std::string urls;
  for (int i = 0; i < 40; ++i) urls += server.Url("/z?" + std::to_string(i)) + "\n";
  const auto run =
      Companion({"--memory", "16", "-j", "40", "--per-host", "40"}, dir.File("list.txt", urls));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::CountLines(run.out), 40u);
  EXPECT_NE(run.out.find("\"bytes\":" + std::to_string(size) + "}"), std::string::npos);
  const long peak = run.peak_kib;
  // The page the caller holds, the oldest page growing (its old and new buffer), the
  // budget, the decoders' windows, the program, and what the allocator keeps: a few
  // hundred MiB where libcurl's own decoding held gigabytes.
  if (kMemoryMeasurable) {
    EXPECT_LT(peak, 400 * 1024);
  }
}

// Pages that decode past the cap, more than the budget lets run at once: a page held
// back goes on when room comes, is found too large in the bytes libcurl was holding for
// it, and ends there, though its server has nothing more to send.
TEST(CurlFetcherAttack, PagesHeldBackThatDecodePastTheCapEndAsTooLarge) {
  // Twelve kilobytes: the whole body comes in the read that finds the page held back.
  const std::string gzip = testing::Gzip("<title>" + std::string(12u << 20, 'A'));
  LoopbackServer server(/*keep_alive=*/true);  // nothing more on the socket after a page
  server.Route("/z", [&](auto&, auto& c) { c.Respond(200, gzip, "Content-Encoding: gzip\r\n"); });
  FetcherOptions options;
  options.max_transfers = 2;
  options.max_bytes = 4u << 20;
  options.memory_budget = 1u << 20;  // the oldest page aside, the others wait for room
  // A stalled page would end at its time-out, nothing else waking it.
  options.timeout_ms = options.connect_timeout_ms = 60'000;
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 4; ++i)
    tickets.push_back(fetcher->Submit({server.Url("/z?" + std::to_string(i)), {}}));
  const auto start = Clock::now();
  for (const auto ticket : tickets) {
    const auto r = fetcher->Take(ticket);
    EXPECT_EQ(r.error, FetchError::kTooLarge) << r.error_text;
  }
  // Well under a second when nothing stalls; a stall lasts the whole time-out (and its
  // result still says too large).
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

// Pages whose decoding waits for room until their transfer has ended: the decoding they
// find corrupt, or too wide, at the end fails them; none is a page had with no bytes.
TEST(CurlFetcherAttack, APageFoundCorruptOnceItsTransferEndedFails) {
  const std::string wide =
      testing::ZstdWithWindow("<title>wide</title>" + std::string(1 << 16, ' '), 27);
  LoopbackServer server;
  // The body in one chunk, the chunk that ends it a little later: by then an older page
  // may have been taken, and this one ends as the oldest, with its body still to decode.
  server.Route("/w", [&](auto&, auto& c) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", wide.size());
    c.Write(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: zstd\r\n"
        "Connection: close\r\n\r\n" +
        std::string(size) + wide + "\r\n");
    if (c.Sleep(100)) c.Write("0\r\n\r\n");
  });
  FetcherOptions options;
  options.max_transfers = 8;
  options.memory_budget = 4u << 20;  // the window asked for does not fit: only the oldest decodes
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int i = 0; i < 24; ++i)
    tickets.push_back(fetcher->Submit({server.Url("/w?" + std::to_string(i)), {}}));
  for (const auto ticket : tickets) {
    const auto r = fetcher->Take(ticket);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error_text, "zstd data asks for a window larger than 8 MiB");
  }
}

// A local file is read to its cap and one byte more, however large it says it is; and
// files held at once count in the budget like pages.
TEST(CurlFetcherAttack, LocalFilesStopAtTheirCapAndCountInTheBudget) {
  TempDir dir;
  const std::string huge = dir.path() + "/huge.html";
  const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::ftruncate(fd, 64ll << 30), 0);  // 64 GiB, sparse: reading it whole takes minutes
  ::close(fd);
  FetcherOptions small;
  small.max_bytes = 1u << 20;
  auto fetcher = MakeCurlFetcher(small);
  const auto start = Clock::now();
  const auto r = fetcher->Take(fetcher->Submit({"file://" + huge, {}}));
  EXPECT_EQ(r.error, FetchError::kTooLarge);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));

  std::vector<std::string> files;
  for (int i = 0; i < 24; ++i) {
    files.push_back(dir.path() + "/page" + std::to_string(i) + ".html");
    const int f = ::open(files.back().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::ftruncate(f, 48 << 20), 0);
    ::close(f);
  }
  std::string paths;
  for (const auto& f : files) paths += f + "\n";
  const auto run = Companion({"--memory", "16", "-j", "24"}, dir.File("files.txt", paths));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::CountLines(run.out), 24u);
  const long peak = run.peak_kib;
  if (kMemoryMeasurable) {
    EXPECT_LT(peak, 300 * 1024);  // all at once: 1.1 GiB
  }
}

}  // namespace
}  // namespace orvanel
