#include "engine/ExtractionRun.h"

#include <gtest/gtest.h>

#include "Fakes.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "engine/ResultsTable.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

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
      c.Respond(200, "<head><title>L</title></head>" + std::string(300'000, 'x') +
                         "<meta name=\"description\" content=\"end\">",
                "Content-Type: text/html; charset=utf-8\r\n");
    });
  }

  ExtractionRun MakeRun() {
    return ExtractionRun(RunContext{addresses_, results_, tags_, window_, pump_, boxes_, *fetcher_,
                                    [this] { return mode_; }});
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
  for (const auto& a : {server_.Url("/b"), server_.Url("/gone"), file, server_.Url("/a")}) addresses_.Add(a);
  auto run = MakeRun();
  run.Start();
  EXPECT_EQ(window_.values, (std::vector<double>{25, 50, 75, 100, 0}));
  EXPECT_EQ(window_.texts, (std::vector<std::string>{
                               "Processing: " + server_.Url("/b"), "Processing: " + server_.Url("/gone"),
                               "Processing: local page.htm", "Processing: " + server_.Url("/a"),
                               "Progress Bar"}));
  EXPECT_EQ(boxes_.Texts(), (std::vector<std::string>{
                                "URL " + server_.Url("/gone") + " cannot be extracted.", "Done."}));
  EXPECT_EQ(Rows(), (std::vector<std::vector<std::string>>{
                        {server_.Url("/b"), "B", "", "", "checked"},
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
    run.Start();  // a second Start returns at once
    addresses_.Add(server_.Url("/c"));  // beyond the bound read at the start
    results_.Clear();  // Clear Results: the run goes on appending
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
  struct Switcher : ListViewObserver {
    std::optional<Mode>* mode;
    void BeginInsertRows(std::size_t, std::size_t) override {}
    void EndInsertRows() override { *mode = Mode::kTitleAndMetaTags; }
    void BeginRemoveRows(std::size_t, std::size_t) override {}
    void EndRemoveRows() override {}
    void BeginReset() override {}
    void EndReset() override {}
    void ColumnsChanged() override {}
    void CellChanged(std::size_t, std::size_t) override {}
    void Reveal(std::size_t) override {}
  } switcher;
  switcher.mode = &mode_;
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

}  // namespace
}  // namespace orvanel
