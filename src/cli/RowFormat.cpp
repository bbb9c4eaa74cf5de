#include "cli/RowFormat.h"

#include "cli/JsonLines.h"
#include "cli/Messages.h"
#include "engine/ResultsTable.h"
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

std::optional<std::string> Unless(bool empty, const std::string& text) {
  if (empty) return std::nullopt;
  return text;
}

void AppendJsonRow(std::string& out, const Options& o, const std::string& address, const Page& page,
                   const RuleRowView& row) {
  JsonObject json =
      JsonObject::Continuing(JsonRowStart(address) + (row.checked ? "true" : "false"));
  const auto keys = CellKeys(o.mode);
  for (std::size_t i = 0; i < keys.size() && i < row.cells.size(); ++i)
    json.Add(keys[i], row.cells[i]);
  if (page.ok) {
    json.AddNull("error").AddNull("reason").AddNull("detail");
  } else {
    json.Add("error", MaskPasswords(page.message, {address, page.address.url}))
        .Add("reason", FetchErrorName(page.reason))
        .Add("detail",
             Unless(page.error.empty(), MaskPasswords(page.error, {address, page.address.url})));
  }
  if (page.status > 0) {
    json.AddNumber("status", page.status);
  } else {
    json.AddNull("status");  // a local file, or no answer at all
  }
  json.Add("final_url", Unless(page.final_url.empty(),
                               MaskPasswords(page.final_url, {address, page.address.url})));
  json.Add("charset", Unless(page.charset.empty(), page.charset));
  json.Add("charset_source",
           page.charset_source ? std::optional<std::string>(CharsetSourceName(*page.charset_source))
                               : std::nullopt);
  json.AddNumber("bytes", static_cast<long long>(page.document_bytes));
  out += json.Finish();
  out += '\n';
}

}  // namespace

std::string JsonRowStart(std::string_view address) {
  std::string start = "{\"url\":";
  AppendJsonString(start, address);
  start += ",\"checked\":";
  return start;
}

std::string TsvHeader(Mode mode) {
  std::vector<std::string> headers;
  for (const auto& column : ColumnLayout(mode)) headers.emplace_back(column.header);
  std::string line;
  AppendHeaderLine(line, headers);
  return line;
}

std::size_t TsvPageCells(Mode mode) {
  return ColumnLayout(mode).size() - (mode == Mode::kOnlyListedTags ? 2 : 1);
}

bool PageCellHoldsTab(Mode mode, const std::vector<RuleRowView>& rows) {
  const std::size_t known = mode == Mode::kOnlyListedTags ? 1 : 0;  // the tag
  for (const auto& row : rows) {
    for (std::size_t i = known; row.checked && i < row.cells.size(); ++i) {
      if (row.cells[i] && row.cells[i]->find('\t') != std::string::npos) return true;
    }
  }
  return false;
}

std::size_t AppendRows(std::string& out, const Options& o, const std::string& address,
                       const Page& page, const std::vector<RuleRowView>& rows) {
  // In jsonl every address has its line: a head that was not found (or a page that was not
  // had) is a row whose head is null. The tsv keeps the desktop's rows.
  if (o.jsonl && rows.empty() && o.mode == Mode::kEntireHeadTag) {
    AppendJsonRow(out, o, address, page, RuleRowView{{std::nullopt}, false});
    return 1;
  }
  for (const auto& row : rows) {
    if (o.jsonl) {
      AppendJsonRow(out, o, address, page, row);
      continue;
    }
    // A head is tens of kilobytes: it is copied once, from the page into the line.
    std::vector<std::string_view> cells{address};
    for (const auto& cell : row.cells) cells.push_back(cell.value_or(std::string_view()));
    AppendRowLine(out, row.checked, cells);
  }
  return rows.size();
}

}  // namespace orvanel
