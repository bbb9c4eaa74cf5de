// Servers that misbehave in every way we know of. Each address must end in a clear
// failure within the time-out, and the fetcher must go on with the next one.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "LoopbackServer.h"
#include "fetch/CurlFetcher.h"
#include "fetch/Fetcher.h"

namespace orvanel {
namespace {

using testing::LoopbackServer;
using Clock = std::chrono::steady_clock;

constexpr const char* kGoodHead = "HTTP/1.1 200 OK\r\nContent-Length: 400\r\n\r\n";

TEST(FaultInjection, EveryMisbehaviourEndsInAFailureAndTheRestGoesOn) {
  LoopbackServer server;
  std::mt19937 rng(11);
  const std::string body(400, 'b');
  const std::string whole = kGoodHead + body;
  // Resets at random points of a response.
  std::vector<std::string> routes;
  for (int i = 0; i < 12; ++i) {
    const std::size_t cut = 1 + rng() % (whole.size() - 2);
    const std::string route = "/reset" + std::to_string(i);
    server.Route(route, [whole, cut](auto&, auto& c) {
      c.Write(whole.substr(0, cut));
      c.Sleep(20);
      c.Reset();
    });
    routes.push_back(route);
  }
  server.Route("/trickle", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
    for (int i = 0; i < 1000 && c.Write("x"); ++i) {
      if (!c.Sleep(1000)) break;
    }
  });
  server.Route("/silent", [](auto&, auto& c) { c.Sleep(60'000); });
  server.Route("/r", [](auto& req, auto& c) {
    const int n = std::atoi(req.path.substr(req.path.find('=') + 1).c_str());
    if (n < 10'000) c.Respond(302, "", "Location: /r?n=" + std::to_string(n + 1) + "\r\n");
  });
  server.Route("/huge", [](auto&, auto& c) {  // says 2 GB
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n");
    const std::string chunk(1 << 16, '\0');
    for (int i = 0; i < 32768 && c.Write(chunk); ++i) {
    }
  });
  server.Route("/endless-chunked", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'y') + "\r\n";
    for (int i = 0; i < 32768 && c.Write(chunk); ++i) {
    }
  });
  server.Route("/bad-chunk", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n");
  });
  server.Route("/bad-status",
               [](auto&, auto& c) { c.Write("HELLO THERE\r\n\r\n<title>x</title>"); });
  server.Route("/huge-header", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nX-Big: " + std::string(2 << 20, 'h') +
            "\r\nContent-Length: 2\r\n\r\nok");
  });
  server.Route("/good", [](auto&, auto& c) { c.Respond(200, "<title>fine</title>"); });
  for (const char* r : {"/trickle", "/silent", "/r", "/huge", "/endless-chunked", "/bad-chunk",
                        "/bad-status", "/huge-header"}) {
    routes.push_back(r);
  }

  FetcherOptions options;
  options.timeout_ms = 1500;
  options.max_bytes = 8u << 20;
  auto fetcher = MakeCurlFetcher(options);
  const auto start = Clock::now();
  std::vector<Fetcher::Ticket> tickets;
  for (const auto& r : routes)
    tickets.push_back(fetcher->Submit({server.Url(r == "/r" ? "/r?n=0" : r), {}}));
  const auto good = fetcher->Submit({server.Url("/good"), {}});
  for (std::size_t i = 0; i < routes.size(); ++i) {
    const FetchResult result = fetcher->Take(tickets[i]);
    EXPECT_FALSE(result.ok) << routes[i];
    EXPECT_FALSE(result.error_text.empty()) << routes[i];
    EXPECT_TRUE(result.bytes.empty()) << routes[i];
    if (routes[i] == "/r") {
      EXPECT_EQ(result.error, FetchError::kRedirects);
    }
    if (routes[i] == "/huge" || routes[i] == "/endless-chunked") {
      EXPECT_EQ(result.error, FetchError::kTooLarge) << result.error_text;
    }
    if (routes[i] == "/trickle" || routes[i] == "/silent") {
      EXPECT_EQ(result.error, FetchError::kTimeout);
    }
  }
  const FetchResult fine = fetcher->Take(good);
  EXPECT_TRUE(fine.ok);
  EXPECT_EQ(fine.bytes, "<title>fine</title>");
  // Nothing waited much beyond the time-out.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
}

}  // namespace
}  // namespace orvanel
