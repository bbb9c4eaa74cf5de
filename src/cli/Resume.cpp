#include "cli/Resume.h"

#include <unistd.h>

#include <cerrno>

#include "cli/ExitStatus.h"
#include "cli/JsonLines.h"
#include "cli/Messages.h"
#include "cli/RowFormat.h"

namespace orvanel {

ResumeReader::ResumeReader(int fd, std::string name, bool jsonl, Mode mode,
                           std::vector<std::string> tags)
    : fd_(fd), name_(std::move(name)), jsonl_(jsonl), mode_(mode), tags_(std::move(tags)) {
  if (::lseek(fd_, 0, SEEK_SET) < 0) throw Refusal(CannotRead(name_));
  if (!jsonl_) ReadHeader();
}

void ResumeReader::Refuse(const std::string& what) const {
  throw Refusal(name_ + " " + what + std::string(kNothingChanged));
}

bool ResumeReader::Fill() {
  if (end_) return false;
  buffer_.erase(0, at_);
  at_ = 0;
  char chunk[65536];
  ssize_t n;
  do {
    n = ::read(fd_, chunk, sizeof chunk);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw Refusal(CannotRead(name_));
  if (n == 0) {
    end_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

int ResumeReader::Peek() {
  if (at_ == buffer_.size() && !Fill()) return -1;
  return static_cast<unsigned char>(buffer_[at_]);
}

int ResumeReader::Next() {
  const int c = Peek();
  if (c < 0) return c;
  ++at_;
  ++offset_;
  if (c == '\n') ++line_;
  return c;
}

ResumeReader::Match ResumeReader::Expect(std::string_view text) {
  for (const char wanted : text) {
    const int c = Peek();
    if (c < 0) return Match::kEnd;
    if (c != static_cast<unsigned char>(wanted)) return Match::kOther;
    Next();
  }
  return Match::kWhole;
}

void ResumeReader::ReadHeader() {
  switch (Expect(TsvHeader(mode_))) {
    case Match::kWhole:
      keep_bytes_ = offset_;
      return;
    case Match::kEnd:  // empty, or a header cut short: written again
      return;
    case Match::kOther:
      Refuse("line 1 is not the header line of this mode's tsv");
  }
}

bool ResumeReader::Take(const std::string& address) {
  const std::size_t rows = mode_ == Mode::kOnlyListedTags ? tags_.size() : 1;
  last_failed_ = false;
  for (std::size_t row = 0; row < rows; ++row) {
    if (!TakeRow(address, row)) {
      CheckSomeRowNamed();  // the file ends here: what it holds must be this list's
      return false;
    }
  }
  keep_bytes_ = offset_;
  ++addresses_;
  return true;
}

void ResumeReader::Finish() {
  if (Peek() >= 0) {
    Refuse("line " + std::to_string(line_) + " is more than the rows of the input's " +
           std::to_string(addresses_) + " addresses");
  }
  CheckSomeRowNamed();
}

void ResumeReader::CheckSomeRowNamed() const {
  if (jsonl_ || addresses_ == 0 || some_row_named_) return;
  Refuse("holds the rows of " + std::to_string(addresses_) +
         " addresses, and none names its address (a page that failed or has no title gives "
         "an empty row): they cannot be told to be this list's; remove the file to start "
         "again");
}

bool ResumeReader::TakeRow(const std::string& address, std::size_t row) {
  if (Peek() < 0) return false;
  return jsonl_ ? TakeJsonRow(address, row) : TakeTsvRow(address, row);
}

bool ResumeReader::TakeJsonRow(const std::string& address, std::size_t row) {
  const std::uint64_t line = line_;
  const auto not_the_row = [&] {
    Refuse("line " + std::to_string(line) + " is not the row of address " +
           std::to_string(addresses_ + 1) + " of the input");
  };
  if (!Follows(JsonRowStart(address), not_the_row)) return false;
  // Its first cell tells the mode, and in a tag list's rows, the tag.
  const int checked = Peek();
  if (checked < 0 || !Follows(checked == 't' ? "true" : "false", not_the_row)) return false;
  const auto not_this_mode = [&] {
    Refuse("line " + std::to_string(line) + " is not a row of this mode" +
           (mode_ == Mode::kOnlyListedTags ? " and tag list" : "") + " (-m, -t)");
  };
  if (!Follows(JsonCellsStart(row), not_this_mode)) return false;
  // On to the line's end, noting the reason member on the way.
  std::size_t matched = 0;
  bool reason_found = false;
  int previous = -1;
  for (;;) {
    const int c = Next();
    if (c < 0) return false;  // cut short
    if (c == '\n') break;
    if (!reason_found) {
      if (c == static_cast<unsigned char>(kJsonReasonMember[matched])) {
        if (++matched == kJsonReasonMember.size()) {
          reason_found = true;
          const int value = Peek();
          if (value >= 0 && value != 'n') last_failed_ = true;  // a reason, not null
        }
      } else {
        matched = c == static_cast<unsigned char>(kJsonReasonMember[0]) ? 1 : 0;
      }
    }
    previous = c;
  }
  if (previous != '}' || !reason_found) {
    Refuse("line " + std::to_string(line) + " is not a whole row as orvanel-extract writes it");
  }
  return true;
}

std::string ResumeReader::JsonCellsStart(std::size_t row) const {
  switch (mode_) {
    case Mode::kEntireHeadTag:
      return ",\"head\":";
    case Mode::kTitleAndMetaTags:
      return ",\"title\":";
    case Mode::kOnlyListedTags:
      break;
  }
  std::string start = ",\"tag\":";
  AppendJsonString(start, tags_[row]);
  return start + ",\"result\":";
}

bool ResumeReader::TakeTsvRow(const std::string& address, std::size_t row) {
  const std::uint64_t line = line_;
  if (Peek() == '\r') {  // an unchecked row: an empty line
    return Follows("\r\n",
                   [&] { Refuse("line " + std::to_string(line) + " is not a row of this list"); });
  }
  std::string start = address + "\t";
  if (mode_ == Mode::kOnlyListedTags) start += tags_[row] + "\t";
  const auto not_the_row = [&] {
    Refuse("line " + std::to_string(line) + " is not the row of address " +
           std::to_string(addresses_ + 1) + " of the input");
  };
  if (!Follows(start, not_the_row)) return false;
  // The page's cells, each followed by its TAB; they may hold line breaks.
  for (std::size_t tabs = TsvPageCells(mode_); tabs > 0;) {
    const int c = Next();
    if (c < 0) return false;
    if (c == '\t') --tabs;
  }
  if (!Follows("\r\n", [&] {
        Refuse("line " + std::to_string(line) + ": the row of address " +
               std::to_string(addresses_ + 1) +
               " does not end after its last cell (a cell holding a TAB cannot be counted)");
      }))
    return false;
  some_row_named_ = true;
  return true;
}

}  // namespace orvanel
