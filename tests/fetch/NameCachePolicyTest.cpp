#include "fetch/NameCachePolicy.h"

#include <gtest/gtest.h>

namespace orvanel {
namespace {

using std::chrono::seconds;

TEST(NameCachePolicy, KeepsNamesAMinuteUnlessARunMeetsTooManyNewHosts) {
  NameCachePolicy policy(3);
  const auto t0 = NameCachePolicy::Clock::now();
  EXPECT_EQ(policy.SecondsFor("a", t0), 60);
  EXPECT_EQ(policy.SecondsFor("a", t0), 60);  // the same host again is not new
  EXPECT_EQ(policy.SecondsFor("b", t0), 60);
  EXPECT_EQ(policy.SecondsFor("c", t0 + seconds(10)), 0);  // the third new host in a minute
  EXPECT_EQ(policy.SecondsFor("a", t0 + seconds(59)), 0);
  // A new minute, a new count.
  EXPECT_EQ(policy.SecondsFor("d", t0 + seconds(61)), 60);
}

}  // namespace
}  // namespace orvanel
