// The suite, run as the README says, runs where nothing past this machine can be
// reached: only loopback is up, and no route leads anywhere else.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "Isolation.h"

namespace orvanel {
namespace {

TEST(SuiteNetwork, OnlyLoopbackIsUp) {
  const char* inside = std::getenv("ORVANEL_LOOPBACK_ONLY");
  if (!inside || std::string(inside) != "1") GTEST_SKIP() << "not run by scripts/orvanel.sh test";
  ifaddrs* list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (i->ifa_flags & IFF_UP) {
      EXPECT_TRUE(i->ifa_flags & IFF_LOOPBACK) << i->ifa_name << " is up";
    }
  }
  ::freeifaddrs(list);
  // A documentation address (192.0.2.1): no route leads there.
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in away{};
  away.sin_family = AF_INET;
  away.sin_port = htons(53);
  ::inet_pton(AF_INET, "192.0.2.1", &away.sin_addr);
  EXPECT_NE(::connect(s, reinterpret_cast<sockaddr*>(&away), sizeof away), 0);
  EXPECT_EQ(errno, ENETUNREACH);
  ::close(s);
}

// The helpers that isolate single tests further give a loopback of their own.
TEST(SuiteNetwork, AnIsolatedLoopbackServesItselfAndNothingElse) {
  const int status = testing::RunOnIsolatedLoopback([] {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0 || ::listen(s, 1) != 0)
      return 1;
    const int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in away{};
    away.sin_family = AF_INET;
    away.sin_port = htons(53);
    ::inet_pton(AF_INET, "192.0.2.1", &away.sin_addr);
    return ::connect(u, reinterpret_cast<sockaddr*>(&away), sizeof away) == 0 ? 2 : 0;
  });
  if (status == -1) GTEST_SKIP() << "no network namespace can be made here";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace orvanel
