#include "cli/RowFormat.h"

#include "cli/JsonLines.h"
#include "export/TextExport.h"

namespace orvanel {
namespace {

std::vector<const char*> CellKeys(Mode mode) {
  switch (mode) {
    case Mode::kEntireHeadTag:
      return {"head"};
    case Mode::kTitleAndMetaTags:
      return {"title", "keywords", "description"};
    case Mode::kOnlyListedTags:
      return {"tag", "result"};
  }
  return {};
}

}  // namespace

std::string FormatRows(const Options& o, const std::string& address, const Page& page,
                       const std::vector<RuleRow>& rows) {
  std::string out;
  // In jsonl every address has its line: a head that was not found (or a page that was not
  // had) is a row whose head is null. The tsv keeps the desktop's rows.
  std::vector<RuleRow> no_head;
  const std::vector<RuleRow>* shown = &rows;
  if (o.jsonl && rows.empty() && o.mode == Mode::kEntireHeadTag) {
    no_head.push_back(RuleRow{{std::nullopt}, false});
    shown = &no_head;
  }
  for (const auto& row : *shown) {
    if (!o.jsonl) {
      std::vector<std::string> cells{address};
      for (const auto& cell : row.cells) cells.push_back(cell.value_or(""));
      AppendRowLine(out, row.checked, cells);
      continue;
    }
    JsonObject json;
    json.Add("url", address).AddBool("checked", row.checked);
    const auto keys = CellKeys(o.mode);
    for (std::size_t i = 0; i < keys.size() && i < row.cells.size(); ++i) json.Add(keys[i], row.cells[i]);
    if (page.ok) {
      json.AddNull("error").AddNull("reason").AddNull("detail");
    } else {
      json.Add("error", page.message)
          .Add("reason", FetchErrorName(page.reason))
          .Add("detail", page.error.empty() ? std::optional<std::string>() : page.error);
    }
    if (page.status > 0) {
      json.AddNumber("status", page.status);
    } else {
      json.AddNull("status");
    }
    json.Add("final_url", page.final_url.empty() ? std::optional<std::string>() : page.final_url);
    json.Add("charset", page.charset.empty() ? std::optional<std::string>() : page.charset);
    json.Add("charset_source", page.charset_source
                                   ? std::optional<std::string>(CharsetSourceName(*page.charset_source))
                                   : std::nullopt);
    json.AddNumber("bytes", static_cast<long long>(page.bytes_read));
    out += json.Finish();
    out += '\n';
  }
  return out;
}

}  // namespace orvanel
