// Names given with --resolve, and the caller's headers across redirects. Every case runs
// in a network of its own with only loopback up: the made-up names cannot reach a name
// server, whatever fault the code under test may have.
#include <iostream>
#include <mutex>

#include "CurlFetcherFixture.h"

namespace orvanel {
namespace {

// What `check` returns, run on an isolated loopback; skipped where none can be had.
#define EXPECT_ON_ISOLATED_LOOPBACK(...)                                       \
  do {                                                                         \
    const int status = testing::RunOnIsolatedLoopback(__VA_ARGS__);            \
    if (status == -1) GTEST_SKIP() << "no network namespace can be made here"; \
    EXPECT_EQ(status, 0) << "see the messages above";                          \
  } while (0)

bool Fetched(Fetcher& fetcher, const std::string& url, const std::string& title) {
  const auto r = fetcher.Take(fetcher.Submit({url, {}}));
  if (r.ok && r.bytes.find(title) != std::string::npos) return true;
  std::cerr << url << ": " << (r.ok ? "wrong page" : r.error_text) << "\n";
  return false;
}

TEST(CurlFetcherNames, EveryResolveEntryIsAppliedRedirectsIncluded) {
  EXPECT_ON_ISOLATED_LOOPBACK([] {
    LoopbackServer server;
    const std::string port = std::to_string(server.Port());
    server.Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>here</title>"); });
    server.Route("/to-b", [port](auto&, auto& c) {
      c.Respond(302, "", "Location: http://b.test:" + port + "/page\r\n");
    });
    FetcherOptions options;
    options.resolve = {"a.test:" + port + ":127.0.0.1", "b.test:" + port + ":127.0.0.1",
                       "bücher.test:" + port + ":127.0.0.1", "*:" + port + ":127.0.0.1"};
    auto fetcher = MakeCurlFetcher(options);
    bool ok = Fetched(*fetcher, "http://a.test:" + port + "/page", "here");
    ok &= Fetched(*fetcher, "http://a.test:" + port + "/to-b", "here");          // pinned redirect
    ok &= Fetched(*fetcher, "http://bücher.test:" + port + "/page", "here");     // international
    ok &= Fetched(*fetcher, "http://BÜCHER.test:" + port + "/page", "here");
    ok &= Fetched(*fetcher, "http://anything.example:" + port + "/page", "here");  // "*"
    return ok ? 0 : 1;
  });
}

// A host given without its port in the address is on the scheme's default port: an
// entry for port 80 applies to http://HOST/.
TEST(CurlFetcherNames, AnEntryForTheDefaultPortAppliesToAnAddressWithoutOne) {
  EXPECT_ON_ISOLATED_LOOPBACK([] {
    // (In its own network the test may take port 80, as root or in a user namespace.)
    LoopbackServer server(false, 80);
    server.Route("/page", [](auto&, auto& c) { c.Respond(200, "<title>eighty</title>"); });
    FetcherOptions options;
    options.resolve = {"site.test:80:127.0.0.1"};
    auto fetcher = MakeCurlFetcher(options);
    return Fetched(*fetcher, "http://site.test/page", "eighty") ? 0 : 1;
  });
}

// Headers given by the caller (an API key, a cookie) go to the address's own origin, on
// each of its redirects back there too, but never to another host a redirect leads to.
TEST(CurlFetcherNames, TheCallersHeadersGoToTheFirstOriginOnly) {
  EXPECT_ON_ISOLATED_LOOPBACK([] {
    LoopbackServer server;
    const std::string port = std::to_string(server.Port());
    std::mutex mutex;
    std::map<std::string, std::string> seen;  // host and path -> the header as it came
    auto note = [&](const auto& req) {
      std::lock_guard lock(mutex);
      const auto host = req.headers.count("host") ? req.headers.at("host") : "";
      seen[host + req.path] = req.headers.count("x-key") ? req.headers.at("x-key") : "-";
    };
    server.Route("/start", [&, port](auto& req, auto& c) {
      note(req);
      c.Respond(302, "", "Location: /again\r\n");
    });
    server.Route("/again", [&, port](auto& req, auto& c) {
      note(req);
      c.Respond(302, "", "Location: http://other.test:" + port + "/end\r\n");
    });
    server.Route("/end", [&](auto& req, auto& c) {
      note(req);
      c.Respond(200, "<title>end</title>");
    });
    FetcherOptions options;
    options.resolve = {"first.test:" + port + ":127.0.0.1", "other.test:" + port + ":127.0.0.1"};
    options.headers = {"X-Key: secret"};
    auto fetcher = MakeCurlFetcher(options);
    if (!Fetched(*fetcher, "http://first.test:" + port + "/start", "end")) return 1;
    const std::map<std::string, std::string> expected = {
        {"first.test:" + port + "/start", "secret"},
        {"first.test:" + port + "/again", "secret"},
        {"other.test:" + port + "/end", "-"}};
    if (seen == expected) return 0;
    for (const auto& [where, value] : seen) std::cerr << where << " got " << value << "\n";
    return 1;
  });
}

}  // namespace
}  // namespace orvanel
