#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "FakeFetcher.h"
#include "Fakes.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "engine/ExtractionRun.h"
#include "engine/ResultsTable.h"
#include "fetch/CurlFetcher.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// Calls `added` whenever rows have been added to the list it watches.
class RowsAdded : public QuietListViewObserver {
 public:
  explicit RowsAdded(std::function<void()> added) : added_(std::move(added)) {}
  void EndInsertRows() override { added_(); }

 private:
  std::function<void()> added_;
};

class ExtractionRunTest : public ::testing::Test {
 protected:
  ExtractionRunTest() {
    fetcher_ = MakeCurlFetcher();
    results_.AddColumn("Results");
    tags_.AddColumn("Tag(s)");
    tags_.Add("<title></title>");
    tags_.Add("keywords");
    addresses_.AddColumn(" Website(s)");
    server_.Route("/a", [](auto&, auto& c) {
      c.Respond(200, "<head><title>A</title><meta name=\"keywords\" content=\"ka\"></head>");
    });
    server_.Route("/b", [](auto&, auto& c) {
      c.Sleep(100);  // slower than the ones after it: order must still hold
      c.Respond(200, "<title>B</title>");
    });
    server_.Route("/c", [](auto&, auto& c) { c.Respond(200, "<head>c</head>"); });
    server_.Route("/gone", [](auto&, auto& c) { c.Respond(404, ""); });
    // A head early on and a description at the very end, after a long body.
    server_.Route("/long", [](auto&, auto& c) {
      c.Respond(200,
                "<head><title>L</title></head>" + std::string(300'000, 'x') +
                    "<meta name=\"description\" content=\"end\">",
                "Content-Type: text/html; charset=utf-8\r\n");
    });
  }

  ExtractionRun MakeRun() { return MakeRun(*fetcher_); }
  ExtractionRun MakeRun(Fetcher& fetcher, std::size_t prefetch = 64) {
    RunContext context{addresses_, results_, tags_,   window_,
                       pump_,      boxes_,   fetcher, [this] { return mode_; }};
    context.prefetch = prefetch;
    return ExtractionRun(std::move(context));
  }

  std::vector<std::vector<std::string>> Rows() const {
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 1; i <= results_.Count(); ++i) {
      std::vector<std::string> row;
      for (std::size_t c = 1; c <= results_.ColumnCount(); ++c) row.push_back(results_.Cell(i, c));
      row.push_back(results_.Checked(i) ? "checked" : "unchecked");
      rows.push_back(row);
    }
    return rows;
  }

  LoopbackServer server_;
  std::unique_ptr<Fetcher> fetcher_;
  ListView addresses_, results_, tags_;
  FakeWindow window_;
  FakePump pump_;
  FakeBoxes boxes_;
  std::optional<Mode> mode_ = Mode::kTitleAndMetaTags;
};

TEST_F(ExtractionRunTest, EmptyListOnlySaysSo) {
  results_.Add("earlier");
  auto run = MakeRun();
  run.Start();
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"No files added."});
  EXPECT_EQ(results_.Count(), 1u);
  EXPECT_EQ(results_.Header(1), "Results");
  EXPECT_TRUE(window_.pointer_history.empty());
  EXPECT_TRUE(window_.values.empty());
  EXPECT_FALSE(run.IsExtracting());
}

TEST_F(ExtractionRunTest, WalksTheListInOrderWithProgressAndMessages) {
  TempDir dir;
  const std::string file = dir.File("local page.htm", "<title>Local</title>");
  for (const auto& a : {server_.Url("/b"), server_.Url("/gone"), file, server_.Url("/a")})
    addresses_.Add(a);
  auto run = MakeRun();
  run.Start();
  EXPECT_EQ(window_.values, (std::vector<double>{25, 50, 75, 100, 0}));
  EXPECT_EQ(window_.texts,
            (std::vector<std::string>{
                "Processing: " + server_.Url("/b"), "Processing: " + server_.Url("/gone"),
                "Processing: local page.htm", "Processing: " + server_.Url("/a"), "Progress Bar"}));
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{
                                "URL " + server_.Url("/gone") + " cannot be extracted.", "Done."}));
  EXPECT_EQ(Rows(),
            (std::vector<std::vector<std::string>>{{server_.Url("/b"), "B", "", "", "checked"},
                                                   {server_.Url("/gone"), "", "", "", "unchecked"},
                                                   {file, "Local", "", "", "checked"},
                                                   {server_.Url("/a"), "A", "ka", "", "checked"}}));
  EXPECT_EQ(results_.Header(4), "Description");
  EXPECT_EQ(window_.pointer, Pointer::kDefault);
  EXPECT_FALSE(run.IsExtracting());
}

TEST_F(ExtractionRunTest, EachModeGivesItsRows) {
  addresses_.Add(server_.Url("/a"));
  addresses_.Add(server_.Url("/gone"));
  mode_ = Mode::kEntireHeadTag;
  auto run = MakeRun();
  run.Start();
  EXPECT_EQ(Rows().size(), 1u);  // the failed page gives no head row
  mode_ = Mode::kOnlyListedTags;
  run.Start();
  EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{
                        {server_.Url("/a"), "<title></title>", "A", "checked"},
                        {server_.Url("/a"), "keywords", "ka", "checked"},
                        {server_.Url("/gone"), "<title></title>", "", "checked"},
                        {server_.Url("/gone"), "keywords", "", "checked"}}));
}

TEST_F(ExtractionRunTest, NoOptionSelectedKeepsColumnsAndAddsNothing) {
  addresses_.Add(server_.Url("/a"));
  results_.Add("old row");
  mode_.reset();
  auto run = MakeRun();
  run.Start();
  EXPECT_EQ(results_.ColumnCount(), 1u);
  EXPECT_EQ(results_.Count(), 0u);
  EXPECT_EQ(boxes_.Texts().back(), "Done.");
}

TEST_F(ExtractionRunTest, CommandsDuringTheRunSeeAndChangeItsState) {
  for (const char* p : {"/a", "/c", "/a"}) addresses_.Add(server_.Url(p));
  auto run = MakeRun();
  bool done = false;
  pump_.on_events = [&] {
    if (done || window_.texts.size() != 2) return;  // while the second address is handled
    done = true;
    run.Start();                        // a second Start returns at once
    addresses_.Add(server_.Url("/c"));  // beyond the bound read at the start
    results_.Clear();                   // Clear Results: the run goes on appending
    EXPECT_TRUE(window_.IsBusy());
  };
  run.Start();
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"Done."});
  ASSERT_EQ(results_.Count(), 2u);
  EXPECT_EQ(results_.Text(1), server_.Url("/c"));
  EXPECT_EQ(addresses_.Count(), 4u);
}

TEST_F(ExtractionRunTest, AChangedModeAppliesFromTheNextAddressWithWholePages) {
  for (int i = 0; i < 3; ++i) addresses_.Add(server_.Url("/long"));
  mode_ = Mode::kEntireHeadTag;
  auto run = MakeRun();
  int pass = 0;
  pump_.on_events = [&] {
    if (++pass == 1) {
      // Let the transfers of the next addresses finish (cut early for the head) first.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  };
  // Switch after the first address's rows are in.
  RowsAdded switcher([this] { mode_ = Mode::kTitleAndMetaTags; });
  results_.SetObserver(&switcher);
  run.Start();
  results_.SetObserver(nullptr);
  ASSERT_EQ(results_.Count(), 3u);
  EXPECT_EQ(results_.SubItem(1, 1).substr(0, 6), "<head>");
  EXPECT_EQ(results_.SubItem(2, 1), "L");
  // The columns stay those of the head mode, so the description found at the end of the
  // page (read again whole) has no column: each address reports it at step 236.
  int reports = 0;
  for (const auto& text : boxes_.Texts()) {
    reports += text.find("PushButton17_Click at line 236") != std::string::npos;
  }
  EXPECT_EQ(reports, 2);
}

// Pages whose head comes at once and whose description only after a pause: cut early for
// the title, read whole for the description.
TEST_F(ExtractionRunTest, ATagListChangedDuringTheRunFetchesCutPagesAgainConcurrently) {
  std::mutex mutex;
  std::map<std::string, int> requests;
  std::atomic<int> whole_now{0};
  std::atomic<int> whole_peak{0};
  server_.Route("/slow", [&](const LoopbackServer::Request& request, auto& c) {
    int n = 0;
    {
      std::lock_guard lock(mutex);
      n = ++requests[request.path];
    }
    const std::string head = "<html><head><title>T</title></head>" + std::string(100'000, 'x');
    const std::string tail = "<meta name=\"description\" content=\"end\">";
    c.Write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
            std::to_string(head.size() + tail.size()) + "\r\n\r\n" + head);
    if (n > 1) {
      const int now = ++whole_now;
      for (int peak = whole_peak; now > peak && !whole_peak.compare_exchange_weak(peak, now);) {
      }
    }
    c.Sleep(700);
    // Counted out before the last bytes: once they are in, the test may end and take its
    // counters with it.
    if (n > 1) --whole_now;
    c.Write(tail);
  });
  tags_.Clear();
  tags_.Add("<title></title>");
  mode_ = Mode::kOnlyListedTags;
  for (int i = 1; i <= 8; ++i) addresses_.Add(server_.Url("/slow?page=" + std::to_string(i)));
  auto run = MakeRun();
  bool changed = false;
  pump_.on_events = [&] {
    if (changed || window_.texts.size() != 2) return;
    changed = true;
    // While the second address is shown every page is cut for the title; then the user
    // adds a tag.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    tags_.Add("description");
  };
  run.Start();
  ASSERT_EQ(results_.Count(), 15u);
  EXPECT_EQ(results_.SubItem(1, 2), "T");
  for (std::size_t row = 2; row <= 15; row += 2) {
    EXPECT_EQ(results_.SubItem(row, 2), "T");
    EXPECT_EQ(results_.SubItem(row + 1, 2), "end");
  }
  EXPECT_EQ(requests.size(), 8u);
  for (const auto& [path, count] : requests) {
    EXPECT_EQ(count, path == "/slow?page=1" ? 1 : 2) << path;
  }
  // The pages were read again side by side, not one after the other.
  EXPECT_GE(whole_peak.load(), 4);
}

TEST_F(ExtractionRunTest, TheWindowNeverWaitsForATransferItNoLongerNeeds) {
  FakeFetcher fetcher;
  fetcher.page = [](const std::string& url) -> std::optional<std::string> {
    if (url.find("stalls") != std::string::npos) return std::nullopt;  // never ends
    return "<title>" + url.substr(url.rfind('/') + 1) + "</title>";
  };
  for (const char* a :
       {"http://x.test/one", "http://x.test/two", "http://x.test/stalls", "http://x.test/four"}) {
    addresses_.Add(a);
  }
  auto run = MakeRun(fetcher);
  bool removed = false;
  pump_.on_events = [&] {
    if (removed || window_.texts.size() != 2) return;
    removed = true;
    addresses_.Remove(3);  // the list changes under the run, after its transfer started
  };
  run.Start();
  ASSERT_EQ(fetcher.abandoned.size(), 1u);
  EXPECT_EQ(fetcher.submitted[fetcher.abandoned[0] - 1].url, "http://x.test/stalls");
  ASSERT_GE(results_.Count(), 3u);
  EXPECT_EQ(results_.Text(3), "http://x.test/four");
  EXPECT_EQ(results_.SubItem(3, 1), "four");
  EXPECT_EQ(boxes_.Texts().back(), "Done.");
}

// A wait broken off by an error is reported at its step; the transfer waited for is let go,
// not left running for a page nobody takes.
TEST_F(ExtractionRunTest, AWaitEndedByAnErrorLeavesNoTransferBehind) {
  FakeFetcher fetcher;
  fetcher.page = [](const std::string& url) -> std::optional<std::string> {
    if (url.find("stalls") != std::string::npos) return std::nullopt;  // never ends
    return "<title>" + url.substr(url.rfind('/') + 1) + "</title>";
  };
  for (const char* a : {"http://x.test/one", "http://x.test/stalls", "http://x.test/three"}) {
    addresses_.Add(a);
  }
  auto run = MakeRun(fetcher, 0);
  int passes_on_second = 0;
  pump_.on_events = [&] {
    // The first pass is the run's own, before the wait; the second is within it.
    if (window_.texts.size() == 2 && ++passes_on_second == 2) throw Failure("Interrupted");
  };
  run.Start();
  ASSERT_EQ(fetcher.abandoned.size(), 1u);
  EXPECT_EQ(fetcher.submitted[fetcher.abandoned[0] - 1].url, "http://x.test/stalls");
  EXPECT_EQ(results_.SubItem(results_.Count(), 1), "three");
  ASSERT_EQ(boxes_.Texts().size(), 2u);
  EXPECT_NE(boxes_.Texts()[0].find("Interrupted"), std::string::npos) << boxes_.Texts()[0];
  EXPECT_EQ(boxes_.Texts().back(), "Done.");
}

TEST_F(ExtractionRunTest, APageThatCannotBeReadGivesNothingFoundNotThePreviousPage) {
  FakeFetcher fetcher;
  fetcher.page = [](const std::string& url) -> std::optional<std::string> {
    return "<title>" + url.substr(url.rfind('/') + 1) + "</title>";
  };
  fetcher.refuse_url = "http://x.test/two";
  addresses_.Add("http://x.test/one");
  addresses_.Add("http://x.test/two");
  auto run = MakeRun(fetcher, 0);
  run.Start();
  ASSERT_EQ(results_.Count(), 2u);
  EXPECT_EQ(results_.SubItem(1, 1), "one");
  EXPECT_EQ(results_.SubItem(2, 1), "");
  EXPECT_FALSE(results_.Checked(2));
  ASSERT_EQ(boxes_.Texts().size(), 2u);
  EXPECT_NE(boxes_.Texts()[0].find("PushButton17_Click at line 176"), std::string::npos);
}

// Each address is asked for once, in list order, with the next ones already on their way
// before the current one's rows are made.
TEST_F(ExtractionRunTest, EachAddressIsRequestedOnceAheadAndInOrder) {
  FakeFetcher fetcher;
  fetcher.page = [](const std::string& url) -> std::optional<std::string> {
    return "<title>" + url.substr(url.rfind('/') + 1) + "</title>";
  };
  std::vector<std::string> urls;
  for (int i = 1; i <= 70; ++i) urls.push_back("http://x.test/" + std::to_string(i));
  for (const auto& u : urls) addresses_.Add(u);
  std::size_t submitted_at_first_rows = 0;
  RowsAdded watch([&] {
    if (!submitted_at_first_rows) submitted_at_first_rows = fetcher.submitted.size();
  });
  results_.SetObserver(&watch);
  auto run = MakeRun(fetcher, 64);
  run.Start();
  results_.SetObserver(nullptr);
  ASSERT_EQ(fetcher.submitted.size(), urls.size());
  for (std::size_t i = 0; i < urls.size(); ++i) EXPECT_EQ(fetcher.submitted[i].url, urls[i]);
  EXPECT_EQ(submitted_at_first_rows, 65u);  // the first address and the 64 after it
  EXPECT_EQ(results_.Count(), 70u);
  EXPECT_TRUE(fetcher.abandoned.empty());
}

}  // namespace
}  // namespace orvanel
