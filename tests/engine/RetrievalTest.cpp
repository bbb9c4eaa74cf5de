// A finished transfer made into a page: what a failure says, and how much of a document
// is decoded.
#include <gtest/gtest.h>

#include "engine/Retrieval.h"

namespace orvanel {
namespace {

TEST(MakePage, AFailureAlwaysHasAReasonAndTheMessageOfTheList) {
  const NormalisedAddress address = NormaliseAddress("example.test/a");
  FetchResult unnamed;
  unnamed.error_text = "connection reset";
  const Page page = MakePage(address, unnamed);
  EXPECT_FALSE(page.ok);
  EXPECT_EQ(page.reason, FetchError::kNetwork);
  EXPECT_EQ(page.message, CannotBeExtractedMessage(address.url));
  EXPECT_EQ(page.error, "connection reset");
  FetchResult named;
  named.error = FetchError::kTimeout;
  EXPECT_EQ(MakePage(address, named).reason, FetchError::kTimeout);
}

// Only the tags of a tags run can hold other than ASCII.
TEST(TagsAreAscii, OnlyATagsRunCanHaveTagsOtherThanAscii) {
  EXPECT_TRUE(TagsAreAscii(Mode::kOnlyListedTags, {"<h1></h1>", "description"}));
  EXPECT_FALSE(TagsAreAscii(Mode::kOnlyListedTags, {"<h1></h1>", "<\xC4\x80></\xC4\x80>"}));
  EXPECT_FALSE(TagsAreAscii(Mode::kOnlyListedTags, {"caf\xC3\xA9"}));
  EXPECT_TRUE(TagsAreAscii(Mode::kTitleAndMetaTags, {"caf\xC3\xA9"}));
}

// A window keeps the whole document; a caller that only wants its rows may have it decoded
// only as far as they go; read steadily, a page stopped early counts as far as its decision.
TEST(MakePage, TheDocumentIsDecodedAsFarAsTheCallerAsks) {
  const NormalisedAddress address = NormaliseAddress("http://example.test/");
  const std::string head = "<head><title>t</title></head>";
  const std::string rest = "<body>" + std::string(5000, 'b') + "</body>";
  FetchResult whole;
  whole.ok = true;
  whole.bytes = head + rest;
  whole.enough_at = head.size();
  EXPECT_EQ(MakePage(address, whole).text, head + rest);
  const Page brief = MakePage(address, whole, /*steady=*/false, /*brief=*/true);
  EXPECT_EQ(brief.text.substr(0, head.size()), head);
  EXPECT_EQ(brief.document_bytes, head.size() + rest.size());

  FetchResult cut = whole;
  cut.cut_early = true;
  cut.enough_at = 0;
  cut.decided_at = head.size() + 6;  // what had come past the decision depends on timing
  EXPECT_EQ(MakePage(address, cut).document_bytes, head.size() + rest.size());
  const Page steady = MakePage(address, cut, /*steady=*/true);
  EXPECT_EQ(steady.document_bytes, head.size() + 6);
  EXPECT_EQ(steady.text, head + "<body>");
  EXPECT_TRUE(steady.cut_early);
}

}  // namespace
}  // namespace orvanel
