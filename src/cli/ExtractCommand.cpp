#include "cli/ExtractCommand.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Input.h"
#include "cli/JsonLines.h"
#include "cli/Output.h"
#include "engine/ResultsTable.h"
#include "engine/Retrieval.h"
#include "export/TextExport.h"
#include "lists/AddressList.h"
#include "lists/TagList.h"
#include "platform/AtomicFile.h"
#include "platform/Failure.h"
#include "platform/Utf8.h"

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
      --user-agent TEXT  the User-Agent header
      --no-early-stop    read every document whole
      --keep-blank-lines keep empty addresses, as the desktop loader does
      --no-local-files   fetch every address over the network, never a local file
                         (use it for lists from sources you do not trust)
      --resolve H:P:A    connect to address A for host H and port P (repeatable)
      --memory MIB       bytes of pages held at once, in MiB (default 512)
  -q, --quiet            no progress line
  -h, --help             this text
  -V, --version          the version

Lines of FILE: UTF-8 (a byte-order mark is skipped), UTF-16 with a byte-order mark, or
any 8-bit text; a NUL byte or a line over 65,536 bytes stops the run.

Exit status: 0 every address was fetched, 1 at least one could not be, 2 usage error or
an input file that cannot be read.

Examples:
  orvanel-extract sites.txt > titles.tsv
  orvanel-extract -m head -f jsonl -o heads.jsonl sites.txt
  orvanel-extract -m tags -t "<h1></h1>" -t description sites.txt
  cat part-*.txt | orvanel-extract -j 32 --per-host 4 -q
  parallel --pipe -N 10000 --sshloginfile hosts orvanel-extract -q -f jsonl < big.txt > out.jsonl
)";

struct Options {
  Mode mode = Mode::kTitleAndMetaTags;
  std::vector<std::string> tags;
  bool jsonl = false;
  std::optional<std::string> output;
  FetcherOptions fetch;
  bool early_stop = true;
  bool keep_blank = false;
  bool quiet = false;
  std::vector<std::string> files;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

Options ParseOptions(int argc, char** argv) {
  Options o;
  static const option kLong[] = {
      {"mode", required_argument, nullptr, 'm'},   {"tag", required_argument, nullptr, 't'},
      {"tags-file", required_argument, nullptr, 1}, {"format", required_argument, nullptr, 'f'},
      {"output", required_argument, nullptr, 'o'}, {"jobs", required_argument, nullptr, 'j'},
      {"per-host", required_argument, nullptr, 2},  {"timeout", required_argument, nullptr, 3},
      {"user-agent", required_argument, nullptr, 4}, {"no-early-stop", no_argument, nullptr, 5},
      {"keep-blank-lines", no_argument, nullptr, 6}, {"quiet", no_argument, nullptr, 'q'},
      {"no-local-files", no_argument, nullptr, 7},  {"resolve", required_argument, nullptr, 8},
      {"memory", required_argument, nullptr, 9},
      {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  bool tags_given = false;
  for (;;) {
    const int c = ::getopt_long(argc, argv, ":m:t:f:o:j:qhV", kLong, nullptr);
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
        if (f != "tsv" && f != "jsonl") throw UsageError("unknown format '" + f + "' (tsv or jsonl)");
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
        ParseNumber(entry.substr(first + 1, second - first - 1).c_str(), "--resolve port", 1, 65535);
        o.fetch.resolve.push_back(entry);
        break;
      }
      case 9:
        o.fetch.memory_budget = static_cast<std::size_t>(ParseNumber(optarg, "--memory", 16, 1 << 20)) << 20;
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
  for (int i = optind; i < argc; ++i) o.files.emplace_back(argv[i]);
  if (o.files.empty()) o.files.emplace_back("-");
  return o;
}

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

std::string FormatRows(const Options& o, const std::string& address, const Page& page,
                       const std::vector<RuleRow>& rows) {
  std::string out;
  for (const auto& row : rows) {
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
      json.AddNull("error");
    } else {
      json.Add("error", page.message);
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

class Progress {
 public:
  explicit Progress(bool shown) : shown_(shown), start_(Clock::now()), last_(start_) {}
  void Update(std::size_t done, std::size_t known, bool all_known, std::size_t failed) {
    if (!shown_) return;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::string left = "?";
    if (all_known && rate > 0) left = std::to_string(static_cast<long>((known - done) / rate)) + "s";
    std::fprintf(stderr, "\r\033[K%zu/%zu%s  %.1f/s  %zu failed  %s left", done, known,
                 all_known ? "" : "+", rate, failed, left.c_str());
    drawn_ = true;
  }
  void Clear() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool shown_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_;
};

// Addresses and messages may hold any bytes: control characters are shown escaped, so
// that nothing a list says can drive the terminal.
std::string Printable(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// The soft limit on open files is raised to the hard one; -j is cut to what then fits
// (each transfer may hold a socket and a name look-up's pair of descriptors).
int FitJobsToFileLimit(int jobs) {
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return jobs;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  constexpr rlim_t kReserve = 64;
  const rlim_t needed = static_cast<rlim_t>(jobs) * 3 + kReserve;
  if (limit.rlim_cur == RLIM_INFINITY || needed <= limit.rlim_cur) return jobs;
  const int fits = static_cast<int>(limit.rlim_cur > kReserve + 3 ? (limit.rlim_cur - kReserve) / 3 : 1);
  std::fprintf(stderr,
               "orvanel-extract: -j %d needs about %llu open files, but only %llu are allowed "
               "(ulimit -n); using -j %d\n",
               jobs, static_cast<unsigned long long>(needed), static_cast<unsigned long long>(limit.rlim_cur),
               fits);
  return fits;
}

int Run(const Options& o) {
  AddressInput input(o.files, o.keep_blank);  // every input checked before any output
  RowOutput output(o.output);

  // The fetcher says when a transfer ends; the input says when it has more. One poll
  // waits for either, so rows are written as soon as they are ready.
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) throw Failure(std::string("cannot make an event descriptor: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{wake};
  auto fetcher = MakeCurlFetcher(o.fetch);
  fetcher->SetNotify([wake] {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
  });

  struct InFlight {
    std::string address;
    NormalisedAddress normalised;
    Fetcher::Ticket ticket;
  };
  std::deque<InFlight> window;
  std::deque<std::string> read;  // addresses read, not yet submitted
  const std::size_t window_size = static_cast<std::size_t>(o.fetch.max_transfers) * 8 + 64;
  Progress progress(!o.quiet && ::isatty(2));
  std::size_t done = 0;
  std::size_t failed = 0;
  std::size_t known = 0;

  std::string header;
  if (!o.jsonl) {
    std::vector<std::string> headers;
    for (const auto& column : ColumnLayout(o.mode)) headers.emplace_back(column.header);
    AppendHeaderLine(header, headers);
  }
  output.Write(header);

  try {
    for (;;) {
      // Read what the input has now, without waiting for it.
      while (!input.Done() && read.size() + window.size() < window_size) {
        const int fd = input.WaitFd();
        if (fd >= 0) {
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 0) <= 0) break;
        }
        const std::size_t before = read.size();
        input.ReadSome(read);
        known += read.size() - before;
      }
      while (!read.empty() && window.size() < window_size) {
        InFlight f{std::move(read.front()), {}, 0};
        read.pop_front();
        f.normalised = NormaliseAddress(f.address, o.fetch.allow_local_files);
        f.ticket = fetcher->Submit(MakeFetchRequest(f.normalised, o.mode, o.tags, o.early_stop));
        window.push_back(std::move(f));
      }
      // Write every row that is ready, in address order.
      while (!window.empty() && fetcher->Ready(window.front().ticket)) {
        InFlight f = std::move(window.front());
        window.pop_front();
        Page page = MakePage(f.normalised, fetcher->Take(f.ticket));
        ++done;
        if (!page.ok) {
          ++failed;
          progress.Clear();
          std::fprintf(stderr, "%s\n", Printable(page.message).c_str());
        }
        output.Write(FormatRows(o, f.address, page, ExtractRows(o.mode, page.text, o.tags)));
        progress.Update(done, known, input.Done() && read.empty(), failed);
      }
      if (window.empty() && read.empty() && input.Done()) break;
      // Wait for a transfer to end, or for more input when there is room for it.
      pollfd fds[2] = {{wake, POLLIN, 0}, {-1, POLLIN, 0}};
      const bool room = read.size() + window.size() < window_size;
      if (room && !input.Done()) fds[1].fd = input.WaitFd();
      if (room && !input.Done() && fds[1].fd < 0) continue;  // a regular file: read on
      if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
        throw Failure(std::string("cannot wait: ") + std::strerror(errno));
      }
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake, &count, sizeof count);
    }
    output.Commit();
  } catch (const BrokenPipe&) {
    // The reader went away (head, a closed pager): nothing more to say to anyone.
    fetcher.reset();
    return 141;
  }
  progress.Clear();
  return failed > 0 ? 1 : 0;
}

}  // namespace

int ExtractMain(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  std::signal(SIGPIPE, SIG_IGN);
  InstallOutputSignalHandlers();
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "orvanel-extract: %s\nTry 'orvanel-extract --help'.\n", Printable(e.what()).c_str());
    return 2;
  }
  o.fetch.max_transfers = FitJobsToFileLimit(o.fetch.max_transfers);
  try {
    return Run(o);
  } catch (const std::exception& e) {
    // Everything is unwound by now: no temporary output file is left.
    std::fprintf(stderr, "orvanel-extract: %s\n", Printable(e.what()).c_str());
    return 2;
  }
}

}  // namespace orvanel
