#include <gtest/gtest.h>

#include "fetch/TransferTarget.h"

namespace orvanel {
namespace {

TEST(TransferTarget, HostKeysCarryTheDefaultPorts) {
  const auto http = MakeTarget("http://Example.COM/page");
  ASSERT_TRUE(http.ok()) << http.error_text;
  EXPECT_EQ(http.host, "example.com");
  EXPECT_EQ(http.port, 80);
  EXPECT_EQ(http.host_key, "example.com:80");
  EXPECT_EQ(MakeTarget("https://example.com").host_key, "example.com:443");
  EXPECT_EQ(MakeTarget("http://example.com:8080/").host_key, "example.com:8080");
  const auto file = MakeTarget("file:///tmp/a%20b.html");
  EXPECT_TRUE(file.local_file());
  EXPECT_EQ(file.host_key, "file:///tmp/a%20b.html");
}

// Only http, https and file are fetched: an address of another scheme is refused by us,
// even where it holds "http" and libcurl might be told otherwise.
TEST(TransferTarget, OtherSchemesAreRefusedHere) {
  for (const char* url :
       {"ftp://127.0.0.1/http", "gopher://x/http", "ldap://h/?http", "dict://h/http"}) {
    const auto target = MakeTarget(url);
    EXPECT_FALSE(target.ok()) << url;
    EXPECT_EQ(target.error, FetchError::kAddress) << url;
    EXPECT_TRUE(target.url.empty()) << url;
  }
  EXPECT_FALSE(MakeTarget("http://").ok());
}

// A path with http:// before it names no host; nothing of it may be looked up as one.
TEST(TransferTarget, AnAddressWithoutAHostIsMalformed) {
  for (const char* url : {"http:///tmp/missing.htm", "HTTPS:///srv", "http://\\share\\a.htm",
                          "http://?q", "http://#f", "http://"}) {
    const auto target = MakeTarget(url);
    EXPECT_EQ(target.error, FetchError::kAddress) << url;
    EXPECT_EQ(target.host, "") << url;
  }
  // file:///path is whole without one.
  EXPECT_TRUE(MakeTarget("file:///tmp/a.htm").ok());
}

// International names by the non-transitional rules: ß and ς stay themselves.
TEST(TransferTarget, InternationalNamesByTheNonTransitionalRules) {
  EXPECT_EQ(MakeTarget("http://faß.example/").host, "xn--fa-hia.example");
  EXPECT_EQ(MakeTarget("http://bücher.example/x").url, "http://xn--bcher-kva.example/x");
  EXPECT_EQ(MakeTarget("http://BÜCHER.example/").host, "xn--bcher-kva.example");
  const auto bad = MakeTarget(
      "http://a\xE2\x80\xAE"
      "b.example/");  // a bidi control
  EXPECT_FALSE(bad.ok());
  EXPECT_EQ(bad.error, FetchError::kResolve);
}

// Where the plain reading answers, it answers as libcurl's parser does; built from pieces
// where the two could part: letter case, numeric hosts libcurl rewrites, ports out of
// range or written oddly, user names, and characters a URL cannot hold.
TEST(TransferTarget, ThePlainReadingAgreesWithTheParser) {
  const char* schemes[] = {"http", "https", "HTTP", "hTTps", "ftp", "file", "htp"};
  const char* separators[] = {"://", ":/", ":///"};
  const char* hosts[] = {"example.com",
                         "Example.com",
                         "127.0.0.1",
                         "127.1",
                         "0x7f.0.0.1",
                         "0127.0.0.1",
                         "256.1.1.1",
                         "1.2.3.4.5",
                         "10.0.0.01",
                         "999",
                         "0",
                         "1a.example",
                         "a..b",
                         "-a",
                         "a_b",
                         "b\xC3\xBC"
                         "cher.example",
                         "",
                         "[::1]",
                         "user@host",
                         "h%41st"};
  const char* ports[] = {"",       ":",      ":0",   ":80",     ":8080",
                         ":65535", ":65536", ":080", ":123456", ":8x"};
  const char* tails[] = {"",     "/",     "/p?q#f",    "?q",   "#f",
                         "/a b", "/a\\b", "/\xC3\xBC", "/%zz", "/\t"};
  int plain = 0;
  for (const char* scheme : schemes) {
    for (const char* separator : separators) {
      for (const char* host : hosts) {
        for (const char* port : ports) {
          for (const char* tail : tails) {
            const std::string url = std::string(scheme) + separator + host + port + tail;
            const auto fast = PlainTarget(url);
            if (!fast) continue;
            ++plain;
            const auto parsed = ParsedTarget(url);
            ASSERT_TRUE(parsed.ok()) << url << ": " << parsed.error_text;
            EXPECT_EQ(fast->url, parsed.url) << url;
            EXPECT_EQ(fast->scheme, parsed.scheme) << url;
            EXPECT_EQ(fast->host, parsed.host) << url;
            EXPECT_EQ(fast->port, parsed.port) << url;
            EXPECT_EQ(fast->host_key, parsed.host_key) << url;
          }
        }
      }
    }
  }
  // The addresses of most lists take the plain reading.
  EXPECT_GT(plain, 300);
  for (const char* common : {"http://127.0.0.1:18460/p00001.html", "https://h001.bench.test:18443/",
                             "HTTP://www.example.org/a/b.htm?x=1#top", "https://example.com"}) {
    EXPECT_TRUE(PlainTarget(common).has_value()) << common;
  }
}

TEST(ResolveTable, EntriesAreCheckedBeforeUse) {
  for (const char* good :
       {"a.test:80:127.0.0.1", "+a.test:443:127.0.0.1,::1", "*:8080:[::1]",
        "bücher.test:80:10.0.0.1", "a.test.:80:127.0.0.1", "x-1.a.test:80:127.0.0.1"}) {
    EXPECT_EQ(ResolveTable::Check(good), std::nullopt) << good;
  }
  for (const char* bad : {"a.test:80", "a.test::127.0.0.1", "a.test:0:127.0.0.1",
                          "a.test:70000:127.0.0.1", "a.test:80:localhost", ":80:127.0.0.1",
                          "-a.test:80", "a test:80:127.0.0.1", "a.test:80:", "a.test:8x:1.2.3.4",
                          "*.test:80:127.0.0.1", "a..test:80:127.0.0.1", "a_b.test:80:127.0.0.1",
                          "-a.test:80:127.0.0.1", "a-.test:80:127.0.0.1", ".test:80:127.0.0.1"}) {
    EXPECT_NE(ResolveTable::Check(bad), std::nullopt) << bad;
  }
  // Names at their bounds (63 to a label, 253 in all), and every address of a list.
  const std::string label(63, 'a');
  const std::string longest = label + "." + label + "." + label + "." + std::string(61, 'b');
  for (const std::string& good : {label + ".test:80:127.0.0.1", longest + ":80:127.0.0.1",
                                  std::string("a.test:80:127.0.0.1,::1,10.0.0.2")}) {
    EXPECT_EQ(ResolveTable::Check(good), std::nullopt) << good;
  }
  for (const std::string& bad : {label + "a.test:80:127.0.0.1", longest + "b:80:127.0.0.1",
                                 std::string("a.test:80:127.0.0.1,localhost")}) {
    EXPECT_NE(ResolveTable::Check(bad), std::nullopt) << bad;
  }
}

TEST(ResolveTable, EveryHostAndPortFindsItsEntry) {
  const ResolveTable table({"*:8080:127.0.0.9", "a.test:80:127.0.0.1", "bücher.test:80:127.0.0.2",
                            "A.TEST:80:127.0.0.3"});
  EXPECT_EQ(table.For("a.test", 80), "a.test:80:127.0.0.1");  // the first given counts
  EXPECT_EQ(table.For("xn--bcher-kva.test", 80), "xn--bcher-kva.test:80:127.0.0.2");
  EXPECT_EQ(table.For("a.test", 8080), "a.test:8080:127.0.0.9");
  EXPECT_EQ(table.For("anything.test", 8080), "anything.test:8080:127.0.0.9");
  EXPECT_EQ(table.For("a.test", 443), std::nullopt);
  EXPECT_EQ(table.For("b.test", 80), std::nullopt);
  // "*" is every name's, not an address's.
  EXPECT_EQ(table.For(MakeTarget("http://[::1]:8080/").host, 8080), std::nullopt);
  EXPECT_EQ(table.For("127.0.0.1", 8080), std::nullopt);
  EXPECT_TRUE(ResolveTable({}).empty());
}

TEST(TransferTarget, OriginsAreSchemeHostAndPort) {
  EXPECT_TRUE(SameOrigin(MakeTarget("http://a.test/x"), MakeTarget("http://A.test:80/y")));
  EXPECT_FALSE(SameOrigin(MakeTarget("http://a.test/"), MakeTarget("https://a.test/")));
  // The same host and port under another scheme is another origin.
  EXPECT_FALSE(SameOrigin(MakeTarget("http://a.test:443/"), MakeTarget("https://a.test/")));
  EXPECT_FALSE(SameOrigin(MakeTarget("http://a.test/"), MakeTarget("http://a.test:81/")));
  EXPECT_FALSE(SameOrigin(MakeTarget("http://a.test/"), MakeTarget("http://b.test/")));
}

}  // namespace
}  // namespace orvanel
