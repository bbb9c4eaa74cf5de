#pragma once

#include <string>
#include <vector>

#include "cli/Options.h"
#include "engine/Retrieval.h"
#include "engine/Rules.h"

namespace orvanel {

// The lines of one address's rows in the chosen format: tsv (the desktop's text file,
// byte for byte) or jsonl (one object per row, with what the transfer knows).
std::string FormatRows(const Options& o, const std::string& address, const Page& page,
                       const std::vector<RuleRow>& rows);

}  // namespace orvanel
