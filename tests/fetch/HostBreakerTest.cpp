#include <gtest/gtest.h>

#include "fetch/HostBreaker.h"

namespace orvanel {
namespace {

TEST(HostBreaker, GivesUpAfterFailuresToConnectInARow) {
  HostBreaker breaker(3);
  breaker.Record("a:80", FetchError::kRefused, "refused");
  breaker.Record("a:80", FetchError::kConnectTimeout, "no answer");
  EXPECT_FALSE(breaker.GivenUp("a:80"));
  // A page had starts the count again: failures count in a row, not in all.
  breaker.Record("a:80", FetchError::kNone, "");
  breaker.Record("a:80", FetchError::kResolve, "no name");
  breaker.Record("a:80", FetchError::kTls, "bad certificate");
  EXPECT_FALSE(breaker.GivenUp("a:80"));
  breaker.Record("a:80", FetchError::kRefused, "refused again");
  ASSERT_TRUE(breaker.GivenUp("a:80"));
  EXPECT_EQ(*breaker.GivenUp("a:80"),
            "Not tried: 3 failures in a row on a:80; the last: refused again");
  EXPECT_FALSE(breaker.GivenUp("b:80"));
  // Failures of transfers already under way say nothing new: the text stays.
  breaker.Record("a:80", FetchError::kRefused, "refused again");
  EXPECT_EQ(*breaker.GivenUp("a:80"),
            "Not tried: 3 failures in a row on a:80; the last: refused again");
}

// A live host that is slow, or answers with an error page, has connected: that is no
// reason to give it up, and no reason to forgive it either.
TEST(HostBreaker, OnlyFailuresToConnectCount) {
  HostBreaker breaker(2);
  for (FetchError e : {FetchError::kTimeout, FetchError::kHttpStatus, FetchError::kNetwork,
                       FetchError::kTooLarge, FetchError::kRedirects, FetchError::kSkippedHost}) {
    breaker.Record("a:80", e, "");
    breaker.Record("a:80", e, "");
  }
  EXPECT_FALSE(breaker.GivenUp("a:80"));
  breaker.Record("a:80", FetchError::kRefused, "");
  breaker.Record("a:80", FetchError::kTimeout, "");
  breaker.Record("a:80", FetchError::kRefused, "");
  EXPECT_TRUE(breaker.GivenUp("a:80"));
  HostBreaker never(0);
  for (int i = 0; i < 100; ++i) never.Record("a:80", FetchError::kRefused, "");
  EXPECT_FALSE(never.GivenUp("a:80"));
}

// A million dead hosts cost a bounded record: the most recently failing are kept.
TEST(HostBreaker, RemembersABoundedNumberOfHosts) {
  HostBreaker breaker(2, 100);
  for (int i = 0; i < 10'000; ++i)
    breaker.Record("h" + std::to_string(i), FetchError::kRefused, "");
  EXPECT_EQ(breaker.Remembered(), 100u);
  breaker.Record("h9999", FetchError::kRefused, "");
  EXPECT_TRUE(breaker.GivenUp("h9999"));
  EXPECT_FALSE(breaker.GivenUp("h0"));
  // A host failing again is the most recent: it stays while others come.
  breaker.Record("h9950", FetchError::kRefused, "");
  for (int i = 20'000; i < 20'099; ++i)
    breaker.Record("h" + std::to_string(i), FetchError::kRefused, "");
  EXPECT_TRUE(breaker.GivenUp("h9950"));
  EXPECT_FALSE(breaker.GivenUp("h9951"));
}

// A host forgiven and failing again is one host in the record, not two: it neither pushes
// out another host early nor is pushed out itself by its own old entry.
TEST(HostBreaker, AHostForgivenAndFailingAgainIsRememberedOnce) {
  HostBreaker breaker(2, 3);
  breaker.Record("a", FetchError::kRefused, "");
  breaker.Record("a", FetchError::kNone, "");
  for (const char* host : {"a", "b", "c", "a"}) breaker.Record(host, FetchError::kRefused, "");
  ASSERT_TRUE(breaker.GivenUp("a"));
  breaker.Record("d", FetchError::kRefused, "");  // the oldest failing, b, makes room
  EXPECT_EQ(breaker.Remembered(), 3u);
  EXPECT_TRUE(breaker.GivenUp("a"));
  breaker.Record("c", FetchError::kRefused, "");
  EXPECT_TRUE(breaker.GivenUp("c"));
  breaker.Record("b", FetchError::kRefused, "");
  EXPECT_FALSE(breaker.GivenUp("b"));  // forgotten: this is its first failure again
}

}  // namespace
}  // namespace orvanel
