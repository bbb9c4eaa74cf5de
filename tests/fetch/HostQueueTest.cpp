#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "fetch/HostQueue.h"

namespace orvanel {
namespace {

using Clock = HostQueue::Clock;
using std::chrono::milliseconds;

std::vector<HostQueue::Ticket> Drain(HostQueue& q, Clock::time_point now) {
  std::vector<HostQueue::Ticket> started;
  while (auto next = q.Next(now)) started.push_back(next->first);
  return started;
}

void Add(HostQueue& q, const std::string& host, std::initializer_list<HostQueue::Ticket> tickets) {
  for (const HostQueue::Ticket t : tickets) q.Add(t, host);
}

TEST(HostQueue, OldestFirstAtMostPerHostAndASlotFreedByEachEnd) {
  HostQueue q(2, milliseconds(0));
  const auto t0 = Clock::now();
  q.Add(1, "a:80");
  q.Add(2, "a:80");
  q.Add(3, "a:80");
  q.Add(4, "b:80");
  q.Add(5, "a:80");
  EXPECT_EQ(q.Peek(t0), 1u);
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{1, 2, 4}));
  EXPECT_EQ(q.Waiting(), 2u);
  q.Finished("a:80");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{3}));
  // A retry or a redirect comes back with its old ticket: it goes first on its host.
  q.Finished("a:80");
  q.Add(0, "a:80");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{0}));
  EXPECT_TRUE(q.Remove(5));
  EXPECT_FALSE(q.Remove(5));
  // A host whose one ticket is withdrawn before it started is not kept for it.
  q.Add(7, "c:80");
  EXPECT_TRUE(q.Remove(7));
  EXPECT_EQ(q.Waiting(), 0u);
  // Everything ended: no host is remembered.
  for (int i = 0; i < 3; ++i) q.Finished("a:80");
  q.Finished("b:80");
  EXPECT_EQ(q.Hosts(), 0u);
}

TEST(HostQueue, ADelayHoldsEachStartOfAHostAfterItsLast) {
  HostQueue q(6, milliseconds(300));
  const auto t0 = Clock::now();
  for (HostQueue::Ticket t = 1; t <= 3; ++t) q.Add(t, "a:80");
  q.Add(4, "b:80");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{1, 4}));
  ASSERT_TRUE(q.NextDue());
  EXPECT_EQ(*q.NextDue(), t0 + milliseconds(300));
  EXPECT_FALSE(q.Next(t0 + milliseconds(299)));
  EXPECT_EQ(Drain(q, t0 + milliseconds(300)), (std::vector<HostQueue::Ticket>{2}));
  EXPECT_EQ(Drain(q, t0 + milliseconds(600)), (std::vector<HostQueue::Ticket>{3}));
  // A host that ended is remembered until its delay is over, then forgotten.
  for (int i = 0; i < 3; ++i) q.Finished("a:80");
  q.Finished("b:80");
  q.Add(9, "a:80");
  EXPECT_FALSE(q.Next(t0 + milliseconds(899)));
  EXPECT_EQ(Drain(q, t0 + milliseconds(900)), (std::vector<HostQueue::Ticket>{9}));
  q.Finished("a:80");
  EXPECT_FALSE(q.Peek(t0 + milliseconds(5000)));
  EXPECT_EQ(q.Hosts(), 0u);
}

TEST(HostQueue, ANarrowHostRunsOneUntilWidened) {
  HostQueue q(6, milliseconds(0));
  const auto t0 = Clock::now();
  for (HostQueue::Ticket t = 1; t <= 4; ++t) q.Add(t, "tls:443");
  q.Narrow("tls:443");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{1}));
  q.Widen("tls:443");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{2, 3, 4}));
}

TEST(HostQueue, AHostWithItsConnectionsBusyWaitsBehindOthersWithinTheSpare) {
  HostQueue q(6, milliseconds(0), 3);
  const auto t0 = Clock::now();
  Add(q, "a:80", {1, 2, 3});
  Add(q, "b:80", {4, 5, 6, 7});
  Add(q, "c:80", {8});
  // a runs one: its next would open a second connection, so b goes first. Then b
  // is crowded too, and a crowded ticket waits only behind one at most 3 younger: a's 2
  // and 3 go before c's 8, b's 5 goes after it.
  EXPECT_EQ(q.Next(t0)->first, 1u);
  EXPECT_EQ(q.Peek(t0), 4u);
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{4, 2, 3, 8, 5, 6, 7}));
  // Two of its three transfers ended, a has connections to spare: its tickets go in
  // order again.
  for (int i = 0; i < 2; ++i) q.Finished("a:80");
  q.Finished("c:80");
  Add(q, "a:80", {10, 11});
  Add(q, "c:80", {12});
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{10, 11, 12}));
  // A crowded host's ticket never goes before an older one of another host.
  Add(q, "a:80", {21});
  Add(q, "d:80", {20});
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{20, 21}));
}

TEST(HostQueue, AHostWhoseTransfersShareAConnectionNeverWaitsForOne) {
  HostQueue q(6, milliseconds(0), 100);
  const auto t0 = Clock::now();
  Add(q, "h2:443", {1, 2, 3});
  Add(q, "b:80", {4});
  EXPECT_EQ(q.Next(t0)->first, 1u);
  q.Multiplexes("h2:443");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{2, 3, 4}));
}

// A host whose last attempt did not connect has no connection to wait for: the pages of
// one that does not answer are tried side by side once its first attempt failed.
TEST(HostQueue, AHostWhoseLastTransferDidNotConnectNeverWaitsForAConnection) {
  HostQueue q(6, milliseconds(0), 100);
  const auto t0 = Clock::now();
  Add(q, "dead:443", {1, 2, 3});
  Add(q, "b:80", {4});
  EXPECT_EQ(q.Next(t0)->first, 1u);
  EXPECT_EQ(q.Peek(t0), 4u);  // connecting: its next waits behind b's
  q.Connected("dead:443", false);
  q.Finished("dead:443");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{2, 3, 4}));
  // Connected, it waits as any other host.
  q.Connected("dead:443", true);
  Add(q, "dead:443", {5, 6});
  Add(q, "b:80", {7});
  q.Finished("b:80");
  EXPECT_EQ(Drain(q, t0), (std::vector<HostQueue::Ticket>{7, 5, 6}));
}

// A start opens a connection unless its host keeps one free or shares one.
TEST(HostQueue, AStartWouldConnectUnlessItsHostHasAConnectionFreeOrShared) {
  HostQueue q(6, milliseconds(0));
  const auto t0 = Clock::now();
  EXPECT_TRUE(q.WouldConnect("a:80"));  // never seen
  Add(q, "a:80", {1, 2, 3});
  EXPECT_TRUE(q.WouldConnect("a:80"));  // nothing run yet
  EXPECT_EQ(Drain(q, t0).size(), 3u);
  EXPECT_TRUE(q.WouldConnect("a:80"));  // all three busy
  q.Finished("a:80");
  EXPECT_FALSE(q.WouldConnect("a:80"));  // one of three free
  q.Connected("a:80", false);
  EXPECT_TRUE(q.WouldConnect("a:80"));  // what it kept may be gone
  q.Connected("a:80", true);
  EXPECT_FALSE(q.WouldConnect("a:80"));
  Add(q, "h2:443", {4, 5});
  EXPECT_EQ(q.Next(t0)->first, 4u);
  EXPECT_TRUE(q.WouldConnect("h2:443"));
  q.Multiplexes("h2:443");
  EXPECT_FALSE(q.WouldConnect("h2:443"));
}

TEST(HostQueue, WithOneHostOrNoSpareTheOldestGoesFirst) {
  HostQueue alone(2, milliseconds(0), 100);
  const auto t0 = Clock::now();
  for (HostQueue::Ticket t = 1; t <= 3; ++t) alone.Add(t, "a:80");
  EXPECT_EQ(Drain(alone, t0), (std::vector<HostQueue::Ticket>{1, 2}));
  HostQueue strict(2, milliseconds(0));
  Add(strict, "a:80", {1, 2});
  Add(strict, "b:80", {3});
  EXPECT_EQ(Drain(strict, t0), (std::vector<HostQueue::Ticket>{1, 2, 3}));
}

}  // namespace
}  // namespace orvanel
