#include "CurlFetcherFixture.h"

namespace orvanel {
namespace {

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

// A host whose connections are all busy waits for one while other hosts have pages to
// start, rather than open another: a list that gives each host several pages in a row
// costs about one connection a host, not one a page running at once.
TEST(CurlFetcherConnections, AHostsPagesInARowWaitForItsConnectionWhileOthersCanStart) {
  LoopbackServer server(/*keep_alive=*/true);
  server.Route("/p", [](auto&, auto& c) { c.Respond(200, "<title>p</title>"); });
  constexpr int kHosts = 40, kPages = 5;
  FetcherOptions options;  // 6 a host
  options.max_transfers = 4;
  for (int h = 0; h < kHosts; ++h) {
    options.resolve.push_back("h" + std::to_string(h) + ".test:" + std::to_string(server.Port()) +
                              ":127.0.0.1");
  }
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int h = 0; h < kHosts; ++h) {
    for (int page = 0; page < kPages; ++page) {
      tickets.push_back(fetcher->Submit(
          {"http://h" + std::to_string(h) + ".test:" + std::to_string(server.Port()) + "/p", {}}));
    }
  }
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).ok);
  EXPECT_EQ(server.Requests(), kHosts * kPages);
  // A few more where a host had no other to wait behind: at the start and the end.
  EXPECT_LE(server.AcceptedConnections(), kHosts * 3 / 2);
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

// The certificates are read once for the run, not again for each connection (that
// costs 30 ms of CPU a connection with the system's bundle): once the first page is in,
// the file may go and the later connections are still checked against what it held.
TEST(CurlFetcherTls, TheCertificatesAreReadOnceForTheRun) {
  TempDir dir;
  testing::TlsServer tls(dir.path());
  if (!tls.ok()) GTEST_SKIP() << "no openssl to make a TLS server";
  const std::string ca = dir.path() + "/ca.pem";
  std::filesystem::copy_file(tls.cert(), ca);
  FetcherOptions options;
  options.ca_file = ca;
  auto fetcher = MakeCurlFetcher(options);
  const FetchResult first = fetcher->Take(fetcher->Submit({tls.Url(), {}}));
  ASSERT_TRUE(first.ok) << first.error_text;
  std::filesystem::remove(ca);
  for (int i = 0; i < 3; ++i) {  // each on a new connection: the server closes every one
    const FetchResult r = fetcher->Take(fetcher->Submit({tls.Url(), {}}));
    EXPECT_TRUE(r.ok) << r.error_text;
  }
  // A store read once still checks: another run's store without the certificate refuses.
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
  const auto decided = [](std::string_view bytes, std::string_view, bool) {
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

}  // namespace
}  // namespace orvanel
