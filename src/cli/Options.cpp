#include "cli/Options.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Failure.h"
#include "cli/Input.h"
#include "lists/TagList.h"
#include "text/Utf8.h"

namespace orvanel {
namespace {

constexpr const char* kUsage = R"(Usage: orvanel-extract [options] [FILE ...]

Reads web addresses (or local file paths), one per line, from each FILE in turn, or from
standard input when no FILE is given or a FILE is "-". Fetches every page and writes the
rows that the Orvanel desktop program would show, in address order, as they are ready.

Options:
  -m, --mode MODE        head, title-meta (default) or tags
  -t, --tag ENTRY        a tag entry for mode tags, e.g. "<h1></h1>" or "description";
                         repeat for more (default: "<title></title>" and "keywords")
      --tags-file F      tag entries, one per line (blank lines skipped)
  -f, --format FORMAT    tsv (default; the desktop's text file, byte for byte) or jsonl
  -o, --output FILE      write to FILE (replaced whole at the end) instead of standard output
  -j, --jobs N           transfers at once (default 16, at most 4096)
      --per-host N       transfers at once to one host (default 6)
      --timeout SECONDS  whole-transfer time-out (default 30)
      --connect-timeout SECONDS
                         time-out for making a connection (default 10)
      --host-errors N    after N failures in a row to connect to one host (name, refused,
                         connect time-out, TLS), its other addresses fail at once with
                         reason skipped-host; a page had resets the count (default 10;
                         0 tries every address)
      --user-agent TEXT  the User-Agent header
      --no-early-stop    read every document whole
      --keep-blank-lines keep empty addresses, as the desktop loader does
      --no-local-files   fetch every address over the network, never a local file
                         (use it for lists from sources you do not trust)
      --resolve H:P:A    connect to address A for host H and port P (repeatable)
  -H, --header TEXT      send the header "Name: value" with every request (repeatable)
      --cacert FILE      trust the certificates in FILE instead of the system's store
  -k, --insecure         check no certificate at all: UNSAFE, anyone on the way can
                         answer for any site; for test servers only
      --memory MIB       bytes of pages held at once, in MiB (default 512)
      --failures FILE    write the addresses that failed to FILE, one per line, as listed
      --resume           with -o FILE: go on after the last address whose rows FILE holds
                         whole (they must be the input's first addresses, in order), and
                         append to FILE as rows are ready, synced every second
  -q, --quiet            no progress line
  -h, --help             this text
  -V, --version          the version

Lines of FILE: UTF-8 (a byte-order mark is skipped), UTF-16 with a byte-order mark, or
any 8-bit text; a NUL byte or a line over 65,536 bytes stops the run.

In jsonl, a row that could not be had tells why: "reason" is dns, refused,
connect-timeout, timeout, tls, redirects, http, too-large, network, no-file or
skipped-host, and "detail" the underlying error. Unless -q, a summary line ends the run
on standard error.

Exit status: 0 every address was fetched, 1 at least one could not be, 2 usage error, an
input file that cannot be used, or a --resume file that does not belong to the list.

Examples:
  orvanel-extract sites.txt > titles.tsv
  orvanel-extract -m head -f jsonl -o heads.jsonl sites.txt
  orvanel-extract -m tags -t "<h1></h1>" -t description sites.txt
  cat part-*.txt | orvanel-extract -j 32 --per-host 4 -q
  parallel --pipe -N 10000 --sshloginfile hosts orvanel-extract -q -f jsonl < big.txt > out.jsonl
)";

long ParseNumber(const char* text, const char* option, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
    throw UsageError(std::string("invalid value for ") + option + ": '" + text + "' (" +
                     std::to_string(low) + " to " + std::to_string(high) + ")");
  }
  return value;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
  Options o;
  static const option kLong[] = {{"mode", required_argument, nullptr, 'm'},
                                 {"tag", required_argument, nullptr, 't'},
                                 {"tags-file", required_argument, nullptr, 1},
                                 {"format", required_argument, nullptr, 'f'},
                                 {"output", required_argument, nullptr, 'o'},
                                 {"jobs", required_argument, nullptr, 'j'},
                                 {"per-host", required_argument, nullptr, 2},
                                 {"timeout", required_argument, nullptr, 3},
                                 {"user-agent", required_argument, nullptr, 4},
                                 {"no-early-stop", no_argument, nullptr, 5},
                                 {"keep-blank-lines", no_argument, nullptr, 6},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"no-local-files", no_argument, nullptr, 7},
                                 {"resolve", required_argument, nullptr, 8},
                                 {"memory", required_argument, nullptr, 9},
                                 {"failures", required_argument, nullptr, 10},
                                 {"host-errors", required_argument, nullptr, 11},
                                 {"resume", no_argument, nullptr, 13},
                                 {"cacert", required_argument, nullptr, 14},
                                 {"insecure", no_argument, nullptr, 'k'},
                                 {"header", required_argument, nullptr, 'H'},
                                 {"connect-timeout", required_argument, nullptr, 12},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  bool tags_given = false;
  for (;;) {
    const int c = ::getopt_long(argc, argv, ":m:t:f:o:j:kH:qhV", kLong, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'm': {
        const std::string m = optarg;
        if (m == "head") {
          o.mode = Mode::kEntireHeadTag;
        } else if (m == "title-meta") {
          o.mode = Mode::kTitleAndMetaTags;
        } else if (m == "tags") {
          o.mode = Mode::kOnlyListedTags;
        } else {
          throw UsageError("unknown mode '" + m + "' (head, title-meta or tags)");
        }
        break;
      }
      case 't':
        o.tags.push_back(ToUtf8Text(optarg));
        tags_given = true;
        break;
      case 1: {
        std::vector<std::string> from_file;
        try {
          from_file = ReadTagFile(optarg);
        } catch (const Failure& f) {
          throw UsageError(f.what());
        }
        if (from_file.empty()) throw UsageError(std::string("no tag entries in ") + optarg);
        o.tags.insert(o.tags.end(), from_file.begin(), from_file.end());
        tags_given = true;
        break;
      }
      case 'f': {
        const std::string f = optarg;
        if (f != "tsv" && f != "jsonl")
          throw UsageError("unknown format '" + f + "' (tsv or jsonl)");
        o.jsonl = f == "jsonl";
        break;
      }
      case 'o':
        if (!*optarg) throw UsageError("empty output file name");
        o.output = optarg;
        break;
      case 'j':
        o.fetch.max_transfers = static_cast<int>(ParseNumber(optarg, "--jobs", 1, 4096));
        break;
      case 2:
        o.fetch.max_per_host = static_cast<int>(ParseNumber(optarg, "--per-host", 1, 1024));
        break;
      case 3:
        o.fetch.timeout_ms = ParseNumber(optarg, "--timeout", 1, 86400) * 1000;
        break;
      case 4:
        o.fetch.user_agent = optarg;
        break;
      case 5:
        o.early_stop = false;
        break;
      case 6:
        o.keep_blank = true;
        break;
      case 7:
        o.fetch.allow_local_files = false;
        break;
      case 8: {
        const std::string entry = optarg;
        const auto first = entry.find(':');
        const auto second = first == std::string::npos ? first : entry.find(':', first + 1);
        if (first == 0 || second == std::string::npos || second + 1 >= entry.size()) {
          throw UsageError("invalid value for --resolve: '" + entry + "' (HOST:PORT:ADDRESS)");
        }
        ParseNumber(entry.substr(first + 1, second - first - 1).c_str(), "--resolve port", 1,
                    65535);
        o.fetch.resolve.push_back(entry);
        break;
      }
      case 14: {
        const int fd = ::open(optarg, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
          throw UsageError(std::string("cannot read ") + optarg + ": " + std::strerror(errno));
        ::close(fd);
        o.fetch.ca_file = optarg;
        break;
      }
      case 'k':
        o.fetch.insecure = true;
        break;
      case 'H': {
        const std::string header = optarg;
        const auto colon = header.find(':');
        if (colon == std::string::npos || colon == 0 ||
            header.find_first_of("\r\n") != std::string::npos) {
          throw UsageError("invalid header '" + header + "' (Name: value)");
        }
        o.fetch.headers.push_back(header);
        break;
      }
      case 13:
        o.resume = true;
        break;
      case 11:
        o.fetch.host_errors = static_cast<int>(ParseNumber(optarg, "--host-errors", 0, 1'000'000));
        break;
      case 12:
        o.fetch.connect_timeout_ms = ParseNumber(optarg, "--connect-timeout", 1, 3600) * 1000;
        break;
      case 10:
        if (!*optarg) throw UsageError("empty file name for --failures");
        o.failures = optarg;
        break;
      case 9:
        o.fetch.memory_budget =
            static_cast<std::size_t>(ParseNumber(optarg, "--memory", 16, 1 << 20)) << 20;
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::exit(0);
      case 'V':
        std::printf("orvanel-extract %s\n", ORVANEL_VERSION);
        std::exit(0);
      case ':':
        throw UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
      default:
        throw UsageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (!tags_given) o.tags = DefaultTags();
  if (o.resume && !o.output) throw UsageError("--resume needs --output FILE");
  if (o.resume && !o.jsonl && o.mode == Mode::kEntireHeadTag) {
    throw UsageError(
        "--resume in mode head needs -f jsonl (a tsv has no row for a page without a head)");
  }
  for (int i = optind; i < argc; ++i) o.files.emplace_back(argv[i]);
  if (o.files.empty()) o.files.emplace_back("-");
  return o;
}

}  // namespace orvanel
