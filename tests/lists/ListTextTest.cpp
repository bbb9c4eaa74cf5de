#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Failure.h"
#include "lists/ListText.h"

namespace orvanel {
namespace {

// The items of `bytes` read as a list file, fed `step` bytes at a time.
std::vector<std::string> Items(const std::string& bytes, std::size_t step) {
  std::vector<std::string> items;
  ListTextDecoder decoder(
      "list.txt", AddressLineReader([&](std::string_view item) { items.emplace_back(item); }));
  for (std::size_t at = 0; at < bytes.size(); at += step)
    decoder.Feed(std::string_view(bytes).substr(at, step));
  decoder.Finish();
  return items;
}

// The form of a file is told by its first bytes, however the reads cut them.
TEST(ListTextDecoder, ByteOrderMarksAreReadWhateverTheChunks) {
  const struct {
    std::string bytes;
    std::vector<std::string> items;
  } cases[] = {
      {"\xEF\xBB\xBF"
       "a\r\nb",
       {"a", "b"}},
      {std::string("\xFF\xFE"
                   "a\0\r\0\n\0\xE9\0",
                   10),
       {"a", "\xC3\xA9"}},
      {std::string("\xFE\xFF\0a\0\r\0\n\0\xE9", 10), {"a", "\xC3\xA9"}},
      {"a", {"a"}},  // shorter than any mark: decided at the end
      {"ab", {"ab"}},
      {"\xEF\xBB", {"\xEF\xBB"}},  // the start of a mark is text
  };
  for (const auto& c : cases) {
    for (std::size_t step : {1, 2, 3, 64})
      EXPECT_EQ(Items(c.bytes, step), c.items) << c.bytes << " in steps of " << step;
  }
}

// A file the reader refuses is named in the message, while it is fed and at its end.
TEST(ListTextDecoder, ARefusalNamesTheFile) {
  const auto refusal = [](const std::string& name, const std::string& bytes) -> std::string {
    ListTextDecoder decoder(name, AddressLineReader([](std::string_view) {}, 8, true));
    try {
      decoder.Feed(bytes);
      decoder.Finish();
    } catch (const Failure& f) {
      return f.what();
    }
    return "";
  };
  const std::string nul = refusal("list.txt", std::string("a\r\nb\0c\r\n", 8));
  EXPECT_EQ(nul.rfind("list.txt: ", 0), 0u) << nul;
  const std::string long_line = refusal("list.txt", "a\r\n0123456789");
  EXPECT_EQ(long_line.rfind("list.txt: ", 0), 0u) << long_line;
  const std::string unnamed = refusal("", std::string("a\0", 2));
  EXPECT_FALSE(unnamed.empty());
  EXPECT_NE(unnamed.rfind(": ", 0), 0u) << unnamed;
}

}  // namespace
}  // namespace orvanel
