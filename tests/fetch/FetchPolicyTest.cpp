#include <gtest/gtest.h>

#include "fetch/FetchPolicy.h"

namespace orvanel {
namespace {

TEST(RetryAfter, SecondsAndDatesWithoutOverflow) {
  EXPECT_EQ(ParseRetryAfter("0", 0), 0);
  EXPECT_EQ(ParseRetryAfter(" 12 ", 0), 12'000);
  EXPECT_EQ(ParseRetryAfter("99999999999999999999999999", 0), 86'400'000);  // clamped
  EXPECT_EQ(ParseRetryAfter("9223372036854775808", 0), 86'400'000);
  // A day is the most either form asks for.
  EXPECT_EQ(ParseRetryAfter("86400", 0), 86'400'000);
  EXPECT_EQ(ParseRetryAfter("86401", 0), 86'400'000);
  EXPECT_EQ(ParseRetryAfter("Wed, 21 Oct 2015 07:28:10 GMT", 0), 86'400'000);
  EXPECT_EQ(ParseRetryAfter("Wed, 21 Oct 2015 07:28:10 GMT", 1445412480), 10'000);
  EXPECT_EQ(ParseRetryAfter("Wed, 21 Oct 2015 07:28:00 GMT", 1445412490), 0);  // already past
  EXPECT_EQ(ParseRetryAfter("-5", 0), std::nullopt);
  EXPECT_EQ(ParseRetryAfter("soon", 0), std::nullopt);
  EXPECT_EQ(ParseRetryAfter("", 0), std::nullopt);
}

TEST(HttpDate, TheThreeFormsAndNothingElse) {
  // 784111777 is Sun, 06 Nov 1994 08:49:37 GMT.
  EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
  EXPECT_EQ(ParseHttpDate("Sun Nov  6 08:49:37 1994"), 784111777);
  EXPECT_EQ(ParseHttpDate("Thu, 01 Jan 1970 00:00:00 GMT"), 0);
  EXPECT_EQ(ParseHttpDate("Tue, 29 Feb 2028 23:59:59 GMT"), 1835481599);
  // Two-digit years: 70 to 99 are of the 1900s, the others of the 2000s.
  EXPECT_EQ(ParseHttpDate("Tuesday, 29-Feb-28 23:59:59 GMT"), 1835481599);
  EXPECT_EQ(ParseHttpDate("Thursday, 01-Jan-70 00:00:00 GMT"), 0);
  EXPECT_EQ(ParseHttpDate("Thursday, 01-Jan-60 00:00:00 GMT"), 2840140800);
  // A leap second is a time of day.
  EXPECT_EQ(ParseHttpDate("Sat, 31 Dec 2016 23:59:60 GMT"), 1483228800);
  for (const char* bad : {"Sun, 06 Nov 1994 08:49:37", "Sun, 06 Foo 1994 08:49:37 GMT",
                          "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
                          "Sun, 06 Nov 1994 08:60:00 GMT", "Sun, 6 Nov 94 08:49:37 GMT",
                          "yesterday", "Sun, 06 Nov 1994 08:49 GMT",
                          "Sun, 00 Nov 1994 08:49:37 GMT", "Sun. 06 Nov 1994 08:49:37 GMT",
                          "Sun, 006 Nov 1994 08:49:37 GMT", "Sun, 06-Nov-94 08:49:37 GMT",
                          "Sunday, 06/Nov/94 08:49:37 GMT", "Sun Nov 006 08:49:37 1994", ""}) {
    EXPECT_EQ(ParseHttpDate(bad), std::nullopt) << bad;
  }
}

TEST(FetchPolicy, OnlyBusyAnswersAreAskedAgainWithinTheirWindow) {
  FetcherOptions o;  // 2 retries, 2 s default wait, 30 s cap, 30 s time-out, window of 2
  EXPECT_EQ(RetryDelay(503, 1, std::nullopt, 0, 0, o), 2'000);
  EXPECT_EQ(RetryDelay(429, 2, std::string_view("7"), 0, 0, o), 7'000);
  EXPECT_EQ(RetryDelay(503, 3, std::nullopt, 0, 0, o), std::nullopt);  // two retries made
  for (long status : {200L, 301L, 400L, 404L, 500L, 502L})
    EXPECT_EQ(RetryDelay(status, 1, std::nullopt, 0, 0, o), std::nullopt);
  EXPECT_EQ(RetryDelay(503, 1, std::string_view("120"), 0, 0, o), 30'000);            // capped
  EXPECT_EQ(RetryDelay(503, 1, std::string_view("soon"), 0, 0, o), 2'000);            // the default
  EXPECT_EQ(RetryDelay(503, 1, std::string_view("10"), 0, 50'000, o), std::nullopt);  // 60 s
  EXPECT_EQ(RetryDelay(503, 1, std::string_view("10"), 0, 49'000, o), 10'000);
  o.timeout_ms = 5'000;
  EXPECT_EQ(RetryDelay(503, 1, std::string_view("30"), 0, 0, o), std::nullopt);
  EXPECT_TRUE(MayStopEarly(200));
  EXPECT_TRUE(MayStopEarly(304));
  EXPECT_TRUE(MayStopEarly(399));
  EXPECT_FALSE(MayStopEarly(400));
  EXPECT_FALSE(MayStopEarly(503));
}

// A reason is told from facts, never from a timing: a page that times out on a connection
// kept from an earlier page connected (in no time) and is a time-out, not a connect
// time-out that would count against its host.
TEST(FetchPolicy, ReasonsComeFromFacts) {
  EXPECT_EQ(ClassifyFailure({TransferFault::kTimedOut, true, ""}), FetchError::kTimeout);
  EXPECT_EQ(ClassifyFailure({TransferFault::kTimedOut, false, ""}), FetchError::kConnectTimeout);
  EXPECT_EQ(ClassifyFailure({TransferFault::kConnect, false, ""}), FetchError::kRefused);
  EXPECT_EQ(ClassifyFailure({TransferFault::kResolve, false, ""}), FetchError::kResolve);
  EXPECT_EQ(ClassifyFailure({TransferFault::kTls, true, ""}), FetchError::kTls);
  EXPECT_EQ(ClassifyFailure({TransferFault::kHeadersTooLarge, true, ""}), FetchError::kTooLarge);
  EXPECT_EQ(ClassifyFailure({TransferFault::kBodyTooLarge, true, ""}), FetchError::kTooLarge);
  EXPECT_EQ(ClassifyFailure({TransferFault::kUnsupportedScheme, false, ""}), FetchError::kNetwork);
  EXPECT_EQ(ClassifyFailure({TransferFault::kOther, true, ""}), FetchError::kNetwork);
}

// The same answers give the same words: no durations, no byte counts of the moment.
TEST(FetchPolicy, DetailsHoldNothingThatVariesFromRunToRun) {
  EXPECT_EQ(SteadyDetail("Failed to connect to 127.0.0.1 port 9 after 0 ms: Connection refused"),
            "Failed to connect to 127.0.0.1 port 9: Connection refused");
  EXPECT_EQ(SteadyDetail("Operation timed out after 30001 milliseconds with 0 bytes received"),
            "Operation timed out");
  EXPECT_EQ(
      SteadyDetail("Operation timed out after 5 milliseconds with 12 out of 400 bytes received"),
      "Operation timed out");
  EXPECT_EQ(SteadyDetail("Connection timed out after 10001 milliseconds"), "Connection timed out");
  EXPECT_EQ(SteadyDetail("Could not resolve host: example.invalid"),
            "Could not resolve host: example.invalid");
  // Numbers that are facts of the answer stay.
  EXPECT_EQ(SteadyDetail("HTTP status 404"), "HTTP status 404");
  EXPECT_EQ(SteadyDetail("after 12 redirects"), "after 12 redirects");
}

TEST(FetchPolicy, TenRedirectsAreFollowedToHttpAndHttpsOnly) {
  EXPECT_EQ(JudgeRedirect("http", 0, 10), RedirectVerdict::kFollow);
  EXPECT_EQ(JudgeRedirect("HTTPS", 9, 10), RedirectVerdict::kFollow);    // the tenth
  EXPECT_EQ(JudgeRedirect("https", 10, 10), RedirectVerdict::kTooMany);  // an eleventh
  EXPECT_EQ(JudgeRedirect("file", 0, 10), RedirectVerdict::kRefusedScheme);
  EXPECT_EQ(JudgeRedirect("ftp", 0, 10), RedirectVerdict::kRefusedScheme);
  EXPECT_EQ(JudgeRedirect("httpx", 0, 10), RedirectVerdict::kRefusedScheme);
  EXPECT_EQ(JudgeRedirect("http", 0, 0), RedirectVerdict::kTooMany);
}

TEST(FetchPolicy, EveryReasonHasItsWord) {
  EXPECT_EQ(FetchErrorName(FetchError::kNone), nullptr);
  EXPECT_STREQ(FetchErrorName(FetchError::kConnectTimeout), "connect-timeout");
  EXPECT_STREQ(FetchErrorName(FetchError::kSkippedHost), "skipped-host");
  EXPECT_STREQ(FetchErrorName(FetchError::kFile), "no-file");
}

}  // namespace
}  // namespace orvanel
