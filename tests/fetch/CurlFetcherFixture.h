#pragma once

// A loopback server with the routes most fetcher tests ask for, and a one-page fetch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
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

using testing::LoopbackServer;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

inline std::string Gzip(const std::string& text) {
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
    server_.Route("/bad", [](auto&, auto& c) { c.Respond(400, "<title>Bad request</title>"); });
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

}  // namespace orvanel
