#include <string>
#include <string_view>

#include "cli/ExitStatus.h"
#include "cli/Input.h"
#include "cli/OptionTable.h"
#include "cli/Options.h"

namespace orvanel {
namespace {

constexpr std::size_t kHelpColumn = 25;  // where the explanations start
constexpr std::size_t kWidth = 90;

// Appends `text` word by word, lines starting at `indent` and ending before kWidth.
void AppendWrapped(std::string& out, std::string_view text, std::size_t column,
                   std::size_t indent) {
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    if (column > indent && column + 1 + word.size() > kWidth) {
      out += '\n';
      out.append(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
  }
  out += '\n';
}

std::string Status(ExitStatus status) { return std::to_string(ToInt(status)); }

}  // namespace

std::string UsageText() {
  std::string text =
      "Usage: orvanel-extract [options] [FILE ...]\n"
      "\n"
      "Reads web addresses (or local file paths), one per line, from each FILE in turn, or from\n"
      "standard input when no FILE is given or a FILE is \"-\". Fetches every page and writes the\n"
      "rows that the Orvanel desktop program would show, in address order, as they are ready.\n"
      "\n"
      "Options:\n";
  for (const auto& entry : KnownOptions()) {
    std::string left = "  ";
    left += entry.code < 256 ? std::string("-") + static_cast<char>(entry.code) + ", " : "    ";
    left += std::string("--") + entry.name;
    if (entry.value) left += std::string(" ") + entry.value;
    text += left;
    if (left.size() + 1 > kHelpColumn) {
      text += '\n';
      left.clear();
    }
    text.append(kHelpColumn - left.size(), ' ');
    AppendWrapped(text, entry.help, kHelpColumn, kHelpColumn);
  }
  text += "\n";
  AppendWrapped(text,
                "Lines of FILE: UTF-8 (a byte-order mark is skipped), UTF-16 with a byte-order "
                "mark, or any 8-bit text; a NUL byte or a line over " +
                    std::to_string(kMaxLineBytes) + " bytes stops the run.",
                0, 0);
  text += "\n";
  AppendWrapped(
      text,
      "In jsonl, a row that could not be had tells why: \"reason\" is dns, refused, "
      "connect-timeout, timeout, tls, redirects, http, too-large, network, address, "
      "no-file or skipped-host, and \"detail\" the underlying error. Unless -q, a summary line "
      "ends the run on standard error.",
      0, 0);
  text += "\nExit status:\n";
  const std::pair<ExitStatus, const char*> statuses[] = {
      {ExitStatus::kDone, "the run finished: every address has its rows, none failed"},
      {ExitStatus::kSomeFailed,
       "the run finished: every address has its rows, some failed (0 with --finished-ok)"},
      {ExitStatus::kRefused,
       "nothing was written: a usage error, an input file that cannot be used, a --resume "
       "file that does not belong to the list, an output or failures file in use by another "
       "run, or an output that is one of the inputs"},
      {ExitStatus::kUnfinished,
       "the run did not finish: rows could not be written (disk full, I/O error) or the "
       "input could not be read to its end; with --resume the file holds whole rows, "
       "without it the -o file is untouched"},
      {ExitStatus::kBrokenPipe, "the reader of the output went away (broken pipe)"},
  };
  for (const auto& [status, meaning] : statuses) {
    std::string left = "  " + Status(status);
    left.append(7 - left.size(), ' ');
    text += left;
    AppendWrapped(text, meaning, 7, 7);
  }
  AppendWrapped(text, "SIGINT, SIGTERM and SIGHUP end it as that signal (the shell sees 128+N).", 0,
                0);
  text +=
      "\n"
      "Examples:\n"
      "  orvanel-extract sites.txt > titles.tsv\n"
      "  orvanel-extract -m head -f jsonl -o heads.jsonl sites.txt\n"
      "  orvanel-extract -m tags -t \"<h1></h1>\" -t description sites.txt\n"
      "  orvanel-extract --resume -f jsonl -o results.jsonl --failures failed.txt sites.txt\n"
      "  cat part-*.txt | orvanel-extract -j 32 --per-host 4 --delay 200 -q\n"
      "  parallel --pipe -N 10000 --keep-order -j 4 orvanel-extract -q -f jsonl \\\n"
      "      < big.txt > out.jsonl\n";
  return text;
}

}  // namespace orvanel
