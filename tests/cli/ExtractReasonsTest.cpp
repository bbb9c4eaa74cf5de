// Why an address failed, as orvanel-extract reports it: each reason made for real on this
// machine, with a jsonl line for every address and the failures file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "DeadListener.h"
#include "Isolation.h"
#include "LoopbackListener.h"
#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "TextFiles.h"
#include "TlsServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;
using namespace std::chrono_literals;

std::string Program() { return ExtractProgram(); }

// The value of "key" in a jsonl line: a string without its quotes, or null.
std::string Field(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const auto at = line.find(marker);
  if (at == std::string::npos) return "(absent)";
  const auto start = at + marker.size();
  if (line.compare(start, 4, "null") == 0) return "null";
  const auto end = line.find('"', start + 1);
  return line.substr(start + 1, end - start - 1);
}

std::vector<std::string> Lines(const std::string& text) { return SplitLines(text); }

// A listener on 127.0.0.1 that answers every connection at once in plain HTTP, before the
// client says anything: what a TLS client meets at a server that speaks no TLS.
class PlainGreeter {
 public:
  PlainGreeter() {
    listener_ = ListenOnLoopback(16, port_);
    thread_ = std::thread([this] {
      while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const char answer[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
        (void)!::send(fd, answer, sizeof answer - 1, MSG_NOSIGNAL);
        // The client's greeting is read before the close, which would otherwise reset the
        // connection before the client has read the answer.
        pollfd greeting{fd, POLLIN, 0};
        char ignored[4096];
        if (::poll(&greeting, 1, 5000) > 0) (void)!::recv(fd, ignored, sizeof ignored, 0);
        ::close(fd);
      }
    });
  }
  ~PlainGreeter() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

TEST(ExtractReasons, EachFailureSaysWhy) {
  LoopbackServer server;
  server.Route("/page", [](auto&, auto& c) { c.Respond(200, "<head><title>T</title></head>"); });
  server.Route("/missing", [](auto&, auto& c) { c.Respond(404, ""); });
  server.Route("/loop", [](auto&, auto& c) { c.Respond(302, "", "Location: /loop\r\n"); });
  server.Route("/to-file",
               [](auto&, auto& c) { c.Respond(302, "", "Location: file:///etc/hostname\r\n"); });
  server.Route("/stall", [](auto&, auto& c) { c.Sleep(10'000); });
  server.Route("/huge", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n");
  });
  server.Route("/reset", [](auto&, auto& c) {
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<title>cut");
    c.Sleep(50);
    c.Reset();
  });
  TempDir dir;
  TlsServer tls(dir.path());
  testing::DeadListener dead;  // connections to it time out
  PlainGreeter plain;
  std::vector<std::pair<std::string, std::string>> cases = {
      {server.Url("/page"), "null"},
      {"http://127.0.0.1:" + std::to_string(FreePort()) + "/", "refused"},
      {server.Url("/missing"), "http"},
      {server.Url("/loop"), "redirects"},
      {server.Url("/to-file"), "redirects"},
      {server.Url("/stall"), "timeout"},
      {"http://127.0.0.1:" + std::to_string(dead.Port()) + "/", "connect-timeout"},
      {server.Url("/huge"), "too-large"},
      {server.Url("/reset"), "network"},
      {"https://127.0.0.1:" + std::to_string(plain.Port()) + "/", "tls"},  // no TLS spoken
      {"http://[::1", "address"},
      {"gopher://127.0.0.1/http", "address"},
      {dir.path() + "/missing.htm", "address"},  // http:// before a path names no host
      {dir.path() + "/pipe", "no-file"},         // a local path that is no regular file
  };
  if (tls.ok()) cases.push_back({"https://localhost:" + std::to_string(tls.port()) + "/", "tls"});
  ASSERT_EQ(::mkfifo((dir.path() + "/pipe").c_str(), 0600), 0);
  std::string list;
  for (const auto& c : cases) list += c.first + "\n";
  const std::string failures = dir.path() + "/failed.txt";
  const auto r =
      RunProgram({Program(), "-m", "head", "-f", "jsonl", "--timeout", "1", "--connect-timeout",
                  "1", "--failures", failures, dir.File("list.txt", list)});
  EXPECT_EQ(r.status, 1);
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), cases.size()) << r.out;  // every address has its line, head or not
  std::string failed;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    EXPECT_EQ(Field(lines[i], "url"), cases[i].first);
    EXPECT_EQ(Field(lines[i], "reason"), cases[i].second);
    EXPECT_EQ(Field(lines[i], "detail") == "null", cases[i].second == "null") << lines[i];
    if (cases[i].second != "null") {
      EXPECT_EQ(Field(lines[i], "head"), "null");
      failed += cases[i].first + "\n";
    }
  }
  EXPECT_EQ(ReadAll(failures), failed);
  // The summary, last on standard error: a row for each line written.
  EXPECT_NE(r.err.find("orvanel-extract: " + std::to_string(cases.size()) + " addresses, " +
                       std::to_string(cases.size()) + " rows, 1 fetched, " +
                       std::to_string(cases.size() - 1) + " failed ("),
            std::string::npos)
      << r.err;
  if (!tls.ok()) GTEST_SKIP() << "no openssl to make a TLS server: the tls case was left out";
}

TEST(ExtractReasons, ADeadHostIsGivenUpAfterItsErrorsInARow) {
  TempDir dir;
  const std::string dead = "http://127.0.0.1:" + std::to_string(FreePort()) + "/";
  std::string list;
  for (int i = 0; i < 30; ++i) list += dead + std::to_string(i) + "\n";
  const std::string file = dir.File("list.txt", list);
  auto reasons = [&](std::vector<std::string> options) {
    std::vector<std::string> args{Program(), "-q", "-f", "jsonl", "-j", "1"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(file);
    const auto r = RunProgram(args);
    std::map<std::string, int> counted;
    for (const auto& line : Lines(r.out)) ++counted[Field(line, "reason")];
    return counted;
  };
  EXPECT_EQ(reasons({"--host-errors", "5"}),
            (std::map<std::string, int>{{"refused", 5}, {"skipped-host", 25}}));
  EXPECT_EQ(reasons({}),
            (std::map<std::string, int>{{"refused", 10}, {"skipped-host", 20}}));  // the default
  EXPECT_EQ(reasons({"--host-errors", "0"}), (std::map<std::string, int>{{"refused", 30}}));
}

// A server whose certificate nobody trusts is reached when the user says so: with the
// certificate given by --cacert, or with no check at all (-k).
TEST(ExtractHttps, TrustIsTheUsersToGive) {
  TempDir dir;
  TlsServer tls(dir.path());
  if (!tls.ok()) GTEST_SKIP() << "no openssl to make a TLS server";
  const std::string url = "https://localhost:" + std::to_string(tls.port()) + "/\n";
  EXPECT_EQ(Field(RunProgram({Program(), "-q", "-f", "jsonl"}, url).out, "reason"), "tls");
  const auto trusted = RunProgram({Program(), "-q", "-f", "jsonl", "--cacert", tls.cert()}, url);
  EXPECT_EQ(Field(trusted.out, "reason"), "null") << trusted.out << trusted.err;
  const auto unchecked = RunProgram({Program(), "-q", "-f", "jsonl", "-k"}, url);
  EXPECT_EQ(Field(unchecked.out, "reason"), "null") << unchecked.out << unchecked.err;
  // Trusted, but for another name: the certificate names localhost, not 127.0.0.1.
  const std::string by_number = "https://127.0.0.1:" + std::to_string(tls.port()) + "/\n";
  const auto other =
      RunProgram({Program(), "-q", "-f", "jsonl", "--cacert", tls.cert()}, by_number);
  EXPECT_EQ(Field(other.out, "reason"), "tls") << other.out << other.err;
  EXPECT_EQ(RunProgram({Program(), "--cacert", dir.path() + "/none.pem"}, url).status, 2);
}

// Headers given with -H go with every request; the proxy variables are honoured.
TEST(ExtractHttp, HeadersAndProxies) {
  LoopbackServer server;
  std::string seen;
  server.Route("/page", [&](const LoopbackServer::Request& request, auto& c) {
    const auto it = request.headers.find("x-probe");
    seen = it == request.headers.end() ? "" : it->second;
    c.Respond(200, "<title>T</title>");
  });
  // As a proxy, the server gets the whole address as the request's path.
  server.Route("http://proxied.test/page",
               [](auto&, auto& c) { c.Respond(200, "<title>Proxied</title>"); });
  auto r = RunProgram({Program(), "-q", "-H", "X-Probe: yes"}, server.Url("/page") + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(seen, "yes");
  EXPECT_EQ(RunProgram({Program(), "-H", "no colon"}, "").status, 2);
  // (--resolve: were the proxy not used, the name would not be looked up anywhere.)
  r = RunProgram({"/usr/bin/env", "http_proxy=http://127.0.0.1:" + std::to_string(server.Port()),
                  Program(), "-q", "--resolve", "proxied.test:80:127.0.0.1"},
                 "http://proxied.test/page\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\tProxied\t"), std::string::npos) << r.out;
}

// A name that does not resolve, where no look-up can leave the machine.
TEST(ExtractReasons, AnUnknownHostIsDns) {
  const int status = RunInIsolatedNetwork([] {
    const auto r = RunProgram({Program(), "-q", "-f", "jsonl"}, "http://no-such-host.invalid/\n");
    return Field(r.out, "reason") == "dns" && r.status == 1 ? 0 : 1;
  });
  if (status < 0)
    GTEST_SKIP() << "no network namespace can be made here (needs root or user namespaces)";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace orvanel
