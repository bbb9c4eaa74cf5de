#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>

#include "fetch/TicketBook.h"

namespace orvanel {
namespace {

FetchResult Page(const std::string& text) {
  FetchResult r;
  r.ok = true;
  r.bytes = text;
  return r;
}

TEST(TicketBook, ResultsGoToTheirTakersAndAbandonedOnesAreDropped) {
  TicketBook book(10);
  const auto a = book.Submit({"http://a/", {}}, {});
  const auto b = book.Submit({"http://b/", {}}, {});
  const auto c = book.Submit({"http://c/", {}}, {});
  EXPECT_EQ(book.OldestWanted(), a);
  ASSERT_EQ(book.TakeSubmitted().size(), 3u);
  EXPECT_TRUE(book.TakeSubmitted().empty());

  auto taken = std::async(std::launch::async, [&] { return book.Take(b); });
  EXPECT_FALSE(book.Ready(b));
  EXPECT_FALSE(book.File(b, Page("B")));  // waits for its taker
  EXPECT_EQ(taken.get().bytes, "B");
  EXPECT_THROW(book.Take(b), std::invalid_argument);  // taken already

  // Abandoned before its result: the worker is told, and the result comes back to it.
  EXPECT_FALSE(book.Abandon(a));
  EXPECT_EQ(book.OldestWanted(), c);
  EXPECT_EQ(book.TakeAbandoned(), std::vector<TicketBook::Ticket>{a});
  const auto dropped = book.File(a, Page("A"));
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->bytes, "A");
  // Abandoned after its result: the result comes back to the caller.
  EXPECT_FALSE(book.File(c, Page("C")));
  const auto mine = book.Abandon(c);
  ASSERT_TRUE(mine);
  EXPECT_EQ(mine->bytes, "C");
  EXPECT_EQ(book.OldestWanted(), 0u);
  EXPECT_THROW(book.Abandon(c), std::invalid_argument);
  EXPECT_THROW(book.Abandon(42), std::invalid_argument);
}

TEST(TicketBook, NoMoreThanMaxOutstandingAndOneNotifyPerBatch) {
  TicketBook book(2);
  std::atomic<int> notified{0};
  book.SetNotify([&] { ++notified; });
  const auto a = book.Submit({"http://a/", {}}, {});
  const auto b = book.Submit({"http://b/", {}}, {});
  EXPECT_THROW(book.Submit({"http://c/", {}}, {}), std::length_error);
  book.TakeSubmitted();
  book.NotifyIfFiled();
  EXPECT_EQ(notified, 0);
  book.File(a, Page("A"));
  book.File(b, Page("B"));
  book.NotifyIfFiled();
  book.NotifyIfFiled();
  EXPECT_EQ(notified, 1);
  book.Take(a);
  EXPECT_NO_THROW(book.Submit({"http://c/", {}}, {}));  // a place was freed
  // An abandoned ticket holds its place until the worker has dropped it.
  book.Abandon(book.TakeSubmitted().front().ticket);
  EXPECT_THROW(book.Submit({"http://d/", {}}, {}), std::length_error);
  for (const auto t : book.TakeAbandoned()) book.Dropped(t);
  TicketBook::Ticket d = 0;
  EXPECT_NO_THROW(d = book.Submit({"http://d/", {}}, {}));
  // ... or until its result comes, which goes back to the worker.
  book.Abandon(d);
  EXPECT_THROW(book.Submit({"http://e/", {}}, {}), std::length_error);
  EXPECT_TRUE(book.File(d, Page("D")));
  EXPECT_NO_THROW(book.Submit({"http://e/", {}}, {}));
}

TEST(TicketBook, EachPlaceIsFreedOnceWhicheverWayItsTicketEnds) {
  TicketBook book(2);
  const auto a = book.Submit({"http://a/", {}}, {});
  book.Submit({"http://b/", {}}, {});
  book.TakeSubmitted();
  // Abandoned after its result was filed: the caller's drop frees the place.
  book.File(a, Page("A"));
  ASSERT_TRUE(book.Abandon(a));
  const auto c = book.Submit({"http://c/", {}}, {});
  EXPECT_THROW(book.Submit({"http://x/", {}}, {}), std::length_error);
  // Abandoned while its transfer ends: the result comes back as filed, and the worker's
  // later drop of the same ticket frees nothing more.
  book.Abandon(c);
  ASSERT_TRUE(book.File(c, Page("C")));
  for (const auto t : book.TakeAbandoned()) book.Dropped(t);
  book.Submit({"http://d/", {}}, {});
  EXPECT_THROW(book.Submit({"http://x/", {}}, {}), std::length_error);
}

TEST(TicketBook, ATicketHasOneTakerAtATime) {
  TicketBook book(4);
  const auto a = book.Submit({"http://a/", {}}, {});
  book.TakeSubmitted();
  auto first = std::async(std::launch::async, [&] { return book.Take(a); });
  auto second = std::async(std::launch::async, [&] { return book.Take(a); });
  // The later of the two is refused at once; the other waits for the result.
  const auto ready = [](auto& f) {
    return f.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
  };
  bool refused = false;
  for (int i = 0; i < 3000 && !refused; ++i) refused = ready(first) || ready(second);
  EXPECT_TRUE(refused);
  auto& waiting = ready(first) ? second : first;
  auto& done = ready(first) ? first : second;
  book.File(a, Page("A"));
  if (!refused) book.File(a, Page("A"));  // frees a second waiter left by a fault
  EXPECT_THROW(done.get(), std::invalid_argument);
  EXPECT_EQ(waiting.get().bytes, "A");
}

}  // namespace
}  // namespace orvanel
