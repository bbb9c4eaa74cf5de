#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/Options.h"
#include "engine/Retrieval.h"
#include "engine/Rules.h"

namespace orvanel {

// Appends to `out` the lines of one address's rows in the chosen format: tsv (the
// desktop's text file, byte for byte) or jsonl (one object per row, with what the transfer
// knows). Passwords of addresses are masked in what the transfer reports (error, detail,
// final_url); the address itself stays as listed. Returns the number of rows appended.
std::size_t AppendRows(std::string& out, const Options& o, const std::string& address,
                       const Page& page, const std::vector<RuleRowView>& rows);

// What --resume reads back, said once for the writer above and the reader.
//
// Every jsonl row starts with its address and then its check mark, exactly so:
// {"url":"ADDRESS","checked":
std::string JsonRowStart(std::string_view address);
// The member of a jsonl row that says why its page failed; it is null for a page that was
// had. Strings are escaped, so this text appears nowhere else in a row.
inline constexpr std::string_view kJsonReasonMember = ",\"reason\":";
// The header line of a tsv.
std::string TsvHeader(Mode mode);
// Cells of a checked tsv row after the address (and, in mode tags, the tag): the ones
// that come from the page.
std::size_t TsvPageCells(Mode mode);
// Whether a page's cell holds a TAB: a tsv row the resume reader could not count.
bool PageCellHoldsTab(Mode mode, const std::vector<RuleRowView>& rows);

}  // namespace orvanel
