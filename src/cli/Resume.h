#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Rules.h"

namespace orvanel {

// Reads back the output file an interrupted run left, address by address along the input,
// to find where the new run goes on.
//
// Every address has exactly one row per tag in mode tags and one row otherwise (a tsv in
// mode head, which has no row for a page without a head, is not resumed). A tsv begins
// with its header line. Each row must be the address's own, known by how it starts (see
// JsonRowStart; in a tsv, a checked row starts with the address and a TAB, an unchecked
// one is an empty line); rows are counted as they were written, whatever line breaks
// their cells hold (a jsonl row is one line; a tsv row ends with the CR LF after its last
// cell's TAB). Anything after the last whole address (a row cut by a kill, some of an
// address's rows) is cut off when it is the start of what the next address's rows would
// be. Everything else refuses the file (Refusal), untouched.
class ResumeReader {
 public:
  // Reads the file at `fd` from its start. `tags` are those of mode tags.
  ResumeReader(int fd, std::string name, bool jsonl, Mode mode, std::vector<std::string> tags);

  // The next address of the input. True when the file holds its rows whole: the run goes on
  // to the next address. False when the file ends before them: from here the run writes,
  // from keep_bytes() on, and this address is fetched. Throws Refusal or Failure (the
  // file cannot be read).
  bool Take(const std::string& address);
  // The input has ended. Throws Refusal when the file holds more than its rows.
  void Finish();

  // The length of the file's whole addresses (and header): it is cut back to this.
  std::uint64_t keep_bytes() const { return keep_bytes_; }
  // Whether the page of the address last taken had failed (jsonl only; false in a tsv,
  // whose rows do not say).
  bool last_failed() const { return last_failed_; }
  // Addresses whose rows the file holds, so far.
  std::size_t addresses() const { return addresses_; }

 private:
  enum class Match { kWhole, kEnd, kOther };
  int Next();  // the next byte, or -1 at the end of the file
  int Peek();
  bool Fill();
  Match Expect(std::string_view text);
  // Reads `text` where the file stands: true when it is there, false when the file ends
  // first (a row cut short by an interruption); anything else is `refuse`d.
  template <typename Refuse>
  bool Follows(std::string_view text, Refuse&& refuse) {
    switch (Expect(text)) {
      case Match::kWhole:
        return true;
      case Match::kEnd:
        return false;
      case Match::kOther:
        break;
    }
    refuse();
    return false;
  }
  bool TakeRow(const std::string& address, std::size_t row);  // false: the file ends
  bool TakeJsonRow(const std::string& address, std::size_t row);
  // What a jsonl row of this mode holds after "checked": its first cell's name, and the tag.
  std::string JsonCellsStart(std::size_t row) const;
  bool TakeTsvRow(const std::string& address, std::size_t row);
  void ReadHeader();
  void CheckSomeRowNamed() const;
  [[noreturn]] void Refuse(const std::string& what) const;

  int fd_;
  std::string name_;
  bool jsonl_;
  Mode mode_;
  std::vector<std::string> tags_;
  std::string buffer_;
  std::size_t at_ = 0;        // in buffer_
  std::uint64_t offset_ = 0;  // of buffer_[at_] in the file
  std::uint64_t line_ = 1;    // of the byte at offset_
  bool end_ = false;
  std::uint64_t keep_bytes_ = 0;
  std::size_t addresses_ = 0;
  bool last_failed_ = false;
  bool some_row_named_ = false;  // a tsv row that names its address was seen
};

}  // namespace orvanel
