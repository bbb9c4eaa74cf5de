#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvanel {

// Where an interrupted run stands, read from the output file it left: the rows of whole
// addresses are kept, anything after them (a partial line, some of an address's rows) is
// cut off. The rows must follow the input's addresses in order; each address is known by
// the start of its first row (see RowKey).
//
// Every address has exactly `rows_per_address` rows: one in mode title-meta and, in
// jsonl, in mode head; one per tag in mode tags. (A tsv in mode head has no row for a page
// without a head section, so it cannot be resumed.) A tsv begins with its header line.
struct ResumePoint {
  std::uint64_t keep_bytes = 0;         // the file is cut back to this length
  std::vector<std::uint64_t> keys;       // per whole address: RowKey, or 0 when unknowable
  std::vector<std::uint64_t> first_line; // per whole address: its first row's line number
};

// Reads the file at `fd` from its start. Throws Failure when it cannot be read.
ResumePoint ReadResumePoint(int fd, const std::string& name, bool jsonl, std::size_t rows_per_address);

// The key of `address` as its first row starts: jsonl `{"url":"…"`, tsv `address` followed
// by a TAB (a checked row; an unchecked tsv row is empty and gives key 0).
std::uint64_t RowKey(bool jsonl, const std::string& address);

}  // namespace orvanel
