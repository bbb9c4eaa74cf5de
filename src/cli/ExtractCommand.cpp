#include "cli/ExtractCommand.h"

#include <fcntl.h>
#include <getopt.h>
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

#include "cli/JsonLines.h"
#include "engine/ResultsTable.h"
#include "engine/Retrieval.h"
#include "export/TextExport.h"
#include "lists/AddressList.h"
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
  -j, --jobs N           transfers at once (default 16)
      --per-host N       transfers at once to one host (default 6)
      --timeout SECONDS  whole-transfer time-out (default 30)
      --user-agent TEXT  the User-Agent header
      --no-early-stop    read every document whole
      --keep-blank-lines keep empty addresses, as the desktop loader does
  -q, --quiet            no progress line
  -h, --help             this text
  -V, --version          the version

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

// Thrown when standard output is closed under us: the run ends quietly.
struct BrokenPipe {};

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

std::string ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure("cannot read " + path + ": " + std::strerror(errno));
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw Failure("cannot read " + path + ": " + std::strerror(error));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
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
        std::string data;
        try {
          data = ReadWholeFile(optarg);
        } catch (const Failure& f) {
          throw UsageError(f.what());
        }
        AddressLineReader reader([&](std::string_view line) {
          if (!line.empty()) o.tags.push_back(ToUtf8Text(line));
        });
        reader.Feed(data);
        reader.Finish();
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
        o.fetch.max_transfers = static_cast<int>(ParseNumber(optarg, "--jobs", 1, 1024));
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
  if (!tags_given) o.tags = {"<title></title>", "keywords"};
  for (int i = optind; i < argc; ++i) o.files.emplace_back(argv[i]);
  if (o.files.empty()) o.files.emplace_back("-");
  return o;
}

// The addresses of the input files, in order, read as they are needed.
class AddressSource {
 public:
  AddressSource(std::vector<std::string> files, bool keep_blank)
      : files_(std::move(files)), keep_blank_(keep_blank),
        reader_([this](std::string_view item) {
          if (keep_blank_ || !item.empty()) ready_.push_back(ToUtf8Text(item));
        }) {}
  ~AddressSource() { CloseCurrent(); }

  // Opens every named file now, so that a missing one stops the run before any output.
  void CheckFiles() {
    for (const auto& f : files_) {
      if (f == "-") continue;
      const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw Failure("cannot read " + f + ": " + std::strerror(errno));
      ::close(fd);
    }
  }

  // The next address; false when every file is read. Throws Failure on a read error.
  bool Next(std::string& address) {
    while (ready_.empty()) {
      if (fd_ < 0 && !OpenNext()) return false;
      char buffer[65536];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw Failure("cannot read " + files_[index_ - 1] + ": " + std::strerror(errno));
      if (n == 0) {
        reader_.Finish();  // each file ends its own last line
        CloseCurrent();
        continue;
      }
      reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    address = std::move(ready_.front());
    ready_.pop_front();
    ++count_;
    return true;
  }
  bool Exhausted() const { return index_ >= files_.size() && fd_ < 0 && ready_.empty(); }
  std::size_t Count() const { return count_; }

 private:
  bool OpenNext() {
    if (index_ >= files_.size()) return false;
    const std::string& f = files_[index_++];
    if (f == "-") {
      fd_ = 0;
    } else {
      fd_ = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) throw Failure("cannot read " + f + ": " + std::strerror(errno));
    }
    return true;
  }
  void CloseCurrent() {
    if (fd_ > 0) ::close(fd_);
    fd_ = -1;
  }

  std::vector<std::string> files_;
  bool keep_blank_;
  std::size_t index_ = 0;
  int fd_ = -1;
  std::size_t count_ = 0;
  std::deque<std::string> ready_;
  AddressLineReader reader_;
};

// Where the rows go: standard output, or a file replaced whole at the end.
class Output {
 public:
  explicit Output(const std::optional<std::string>& path) {
    if (path) file_ = std::make_unique<AtomicFileWriter>(*path);
  }
  void Write(const std::string& data) {
    if (data.empty()) return;
    if (file_) {
      file_->Write(data);
      return;
    }
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(1, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EPIPE) throw BrokenPipe{};
      if (n < 0) throw Failure(std::string("cannot write the output: ") + std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
  }
  void Commit() {
    if (file_) file_->Commit();
  }

 private:
  std::unique_ptr<AtomicFileWriter> file_;
};

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
    json.AddNumber("bytes", static_cast<long long>(page.bytes));
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

}  // namespace

int ExtractMain(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Options o;
  try {
    o = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "orvanel-extract: %s\nTry 'orvanel-extract --help'.\n", e.what());
    return 2;
  }
  AddressSource source(o.files, o.keep_blank);
  std::unique_ptr<Output> output;
  try {
    source.CheckFiles();
    output = std::make_unique<Output>(o.output);
  } catch (const Failure& f) {
    std::fprintf(stderr, "orvanel-extract: %s\n", f.what());
    return 2;
  }

  auto fetcher = MakeCurlFetcher(o.fetch);
  struct InFlight {
    std::string address;
    NormalisedAddress normalised;
    Fetcher::Ticket ticket;
  };
  std::deque<InFlight> window;
  const std::size_t window_size = static_cast<std::size_t>(o.fetch.max_transfers) * 8 + 64;
  Progress progress(!o.quiet && ::isatty(2));
  std::size_t done = 0;
  std::size_t failed = 0;
  bool input_done = false;

  try {
    auto fill = [&] {
      std::string address;
      while (!input_done && window.size() < window_size) {
        if (!source.Next(address)) {
          input_done = true;
          break;
        }
        InFlight f{address, NormaliseAddress(address), 0};
        f.ticket = fetcher->Submit(MakeFetchRequest(f.normalised, o.mode, o.tags, o.early_stop));
        window.push_back(std::move(f));
      }
    };
    std::string header;
    if (!o.jsonl) {
      std::vector<std::string> headers;
      for (const auto& column : ColumnLayout(o.mode)) headers.emplace_back(column.header);
      AppendHeaderLine(header, headers);
    }
    output->Write(header);
    fill();
    while (!window.empty()) {
      InFlight f = std::move(window.front());
      window.pop_front();
      Page page = MakePage(f.normalised, fetcher->Take(f.ticket));
      fill();
      ++done;
      if (!page.ok) {
        ++failed;
        progress.Clear();
        std::fprintf(stderr, "%s\n", page.message.c_str());
      }
      output->Write(FormatRows(o, f.address, page, ExtractRows(o.mode, page.text, o.tags)));
      progress.Update(done, source.Count(), input_done, failed);
    }
    output->Commit();
  } catch (const BrokenPipe&) {
    // The reader went away (head, a closed pager): nothing more to say to anyone.
    fetcher.reset();
    return 141;
  } catch (const Failure& f) {
    progress.Clear();
    std::fprintf(stderr, "orvanel-extract: %s\n", f.what());
    return 2;
  }
  progress.Clear();
  return failed > 0 ? 1 : 0;
}

}  // namespace orvanel
