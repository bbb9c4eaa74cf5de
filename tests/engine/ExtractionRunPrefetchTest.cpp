// The transfers a run starts ahead of the address it shows: each run of a window starts
// them again, and a change of the option or the tag list reads again only the pages that
// were cut short of what the new choice needs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FakeFetcher.h"
#include "Fakes.h"
#include "LoopbackServer.h"
#include "engine/ExtractionRun.h"
#include "fetch/CurlFetcher.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// A small page that has everything every mode looks for.
std::string SmallPage(const std::string& name) {
  return "<html><head><title>" + name +
         "</title><meta name=\"keywords\" content=\"k\"><meta name=\"description\" "
         "content=\"d\"></head><body><h1>" +
         name + "</h1></body></html>";
}

class ExtractionRunPrefetchTest : public ::testing::Test {
 protected:
  ExtractionRunPrefetchTest() {
    results_.AddColumn("Results");
    tags_.AddColumn("Tag(s)");
    tags_.Add("<title></title>");
    addresses_.AddColumn(" Website(s)");
  }
  std::unique_ptr<ExtractionRun> MakeRun(Fetcher& fetcher) {
    return std::make_unique<ExtractionRun>(RunContext{addresses_, results_, tags_, window_, pump_,
                                                      boxes_, fetcher, [this] { return mode_; }});
  }
  // Each address's page is a small one named by its last path segment.
  static void ServeSmallPages(FakeFetcher& fetcher) {
    fetcher.page = [](const std::string& url) -> std::optional<std::string> {
      return SmallPage(url.substr(url.rfind('/') + 1));
    };
  }
  void AddAddresses(int first, int last) {
    for (int i = first; i <= last; ++i) addresses_.Add("http://x.test/" + std::to_string(i));
  }
  ListView addresses_, results_, tags_;
  FakeWindow window_;
  FakePump pump_;
  FakeBoxes boxes_;
  std::optional<Mode> mode_ = Mode::kTitleAndMetaTags;
};

// The second Start of a window fetches ahead as the first did.
TEST_F(ExtractionRunPrefetchTest, EveryRunOfAWindowFetchesAhead) {
  FakeFetcher fetcher;
  ServeSmallPages(fetcher);
  AddAddresses(1, 70);
  auto run = MakeRun(fetcher);
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    const std::size_t before = fetcher.submitted.size();
    std::size_t ahead_at_first_page = 0;
    pump_.on_events = [&] {
      if (!ahead_at_first_page) ahead_at_first_page = fetcher.submitted.size() - before;
    };
    run->Start();
    EXPECT_EQ(ahead_at_first_page, 65u);  // the first address and the 64 after it
    EXPECT_EQ(fetcher.submitted.size() - before, 70u);
    EXPECT_EQ(results_.Count(), 70u);
    EXPECT_EQ(boxes_.Texts().back(), "Done.");
  }
}

// Addresses added while a run goes are not its own: none of them is fetched ahead.
TEST_F(ExtractionRunPrefetchTest, AddressesAddedDuringARunAreNotFetched) {
  FakeFetcher fetcher;
  ServeSmallPages(fetcher);
  AddAddresses(1, 3);
  auto run = MakeRun(fetcher);
  pump_.on_events = [&] {
    if (addresses_.Count() == 3) {
      AddAddresses(4, 8);
    }
  };
  run->Start();
  EXPECT_EQ(fetcher.submitted.size(), 3u);
  EXPECT_EQ(results_.Count(), 3u);
}

// Pages decided with their last bytes are whole: a new choice is decided again from them.
TEST_F(ExtractionRunPrefetchTest, AChangeOfModeReadsNoWholePageAgain) {
  FakeFetcher fetcher;
  fetcher.decided_is_cut = true;
  ServeSmallPages(fetcher);
  AddAddresses(1, 20);
  auto run = MakeRun(fetcher);
  pump_.on_events = [&] {
    if (window_.texts.size() == 2) mode_ = Mode::kEntireHeadTag;  // while the second shows
    if (window_.texts.size() == 10 && tags_.Count() == 1) {       // then tags the pages decide too
      mode_ = Mode::kOnlyListedTags;
      tags_.Add("<h1></h1>");
    }
  };
  run->Start();
  EXPECT_EQ(fetcher.submitted.size(), 20u);
  ASSERT_EQ(results_.Count(), 1u + 8u + 2u * 11u);
  EXPECT_EQ(results_.SubItem(2, 1).substr(0, 6), "<head>");
  EXPECT_EQ(results_.SubItem(results_.Count(), 2), "20");  // the <h1> of the last page
}

// A page cut before what the new choice looks for is read again, once, and whole.
TEST_F(ExtractionRunPrefetchTest, APageCutBeforeWhatANewTagNeedsIsReadAgain) {
  FakeFetcher fetcher;
  fetcher.page = [](const std::string& url) -> std::optional<std::string> {
    return SmallPage("p") + std::string(500, ' ') + "<p>" + url.substr(url.rfind('/') + 1) + "</p>";
  };
  mode_ = Mode::kOnlyListedTags;
  AddAddresses(1, 5);
  auto run = MakeRun(fetcher);
  pump_.on_events = [&] {
    if (window_.texts.size() == 2 && tags_.Count() == 1) tags_.Add("<p></p>");
  };
  run->Start();
  // The first page was read for the old list only; the four after it twice.
  EXPECT_EQ(fetcher.submitted.size(), 9u);
  ASSERT_EQ(results_.Count(), 1u + 4u * 2u);
  EXPECT_EQ(results_.SubItem(9, 2), "5");
}

// A user who keeps changing the tag list while a page arrives: the page is read again for
// the new list once, then whole.
TEST_F(ExtractionRunPrefetchTest, APageReadAgainAndCutShortOnceMoreIsReadWholeTheThirdTime) {
  FakeFetcher fetcher;
  const std::vector<std::string> late = {"<p></p>", "<h2></h2>", "<h3></h3>", "<h4></h4>",
                                         "<h5></h5>"};
  // Each request of the page changes the list before the run sees the answer.
  fetcher.page = [&](const std::string&) -> std::optional<std::string> {
    if (tags_.Count() <= late.size()) tags_.Add(late[tags_.Count() - 1]);
    std::string page = SmallPage("t");
    for (const char* tag : {"p", "h2", "h3", "h4", "h5"})
      page += std::string(300, ' ') + "<" + tag + ">" + tag + "</" + tag + ">";
    return page;
  };
  mode_ = Mode::kOnlyListedTags;
  addresses_.Add("http://x.test/1");
  auto run = MakeRun(fetcher);
  run->Start();
  EXPECT_EQ(fetcher.RequestsFor("http://x.test/1"), 3u);
  ASSERT_EQ(results_.Count(), 4u);  // the list as the third answer came
  EXPECT_EQ(results_.SubItem(4, 2), "h3");
}

// The same against a real server: a change of the option during a run over small pages
// sends no request twice.
TEST_F(ExtractionRunPrefetchTest, AChangeOfOptionSendsNoSecondRequestForSmallPages) {
  LoopbackServer server;
  server.Route("/p", [](auto& request, auto& c) {
    c.Respond(200, SmallPage(request.path.substr(request.path.find('?') + 1)),
              "Content-Type: text/html; charset=utf-8\r\n");
  });
  for (int i = 1; i <= 50; ++i) addresses_.Add(server.Url("/p?" + std::to_string(i)));
  auto fetcher = MakeCurlFetcher();
  auto run = MakeRun(*fetcher);
  pump_.on_events = [&] {
    if (window_.texts.size() != 2 || mode_ == Mode::kEntireHeadTag) return;
    // Let every page arrive first, so that all of them are held when the option changes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (server.Requests() < 50 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    mode_ = Mode::kEntireHeadTag;
  };
  run->Start();
  EXPECT_EQ(server.Requests(), 50);
  ASSERT_EQ(results_.Count(), 50u);
  EXPECT_EQ(results_.SubItem(50, 1).substr(0, 13), "<head><title>");
}

}  // namespace
}  // namespace orvanel
