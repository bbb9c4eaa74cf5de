// In-process benchmarks: the results table, the address-file loader, the exports, and
// decoding and searching a page.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "engine/Charset.h"
#include "engine/ResultsTable.h"
#include "engine/Rules.h"
#include "export/ClipboardExport.h"
#include "export/SpreadsheetExport.h"
#include "export/TextExport.h"
#include "lists/AddressList.h"
#include "lists/Samples.h"
#include "workbook/XlsxWorkbook.h"

namespace orvanel {
namespace {

class NoPump : public EventPump {
 public:
  void ProcessEvents() override {}
  void WaitUntil(const std::function<bool()>&) override {}
  void Wake() override {}
};

class NoBoxes : public MessageBoxes {
 public:
  BoxAnswer Message(const std::string&, BoxStyle, const std::string&) override {
    return BoxAnswer::kOk;
  }
  std::string Input(const std::string&) override { return {}; }
};

class NoWindow : public WindowState {
 public:
  Pointer GetPointer() const override { return Pointer::kDefault; }
  void SetPointer(Pointer) override {}
  void SetProgressValue(double) override {}
  void SetProgressText(const std::string&) override {}
};

// The real workbook, saved but opened by nobody: no program is started while measuring.
class InstalledApp : public SpreadsheetApp {
 public:
  struct Book : Workbook {
    Book(std::unique_ptr<Workbook> real, std::string& last) : real(std::move(real)), last(last) {}
    bool SetCell(std::size_t row, std::size_t column, const std::string& text) override {
      return real->SetCell(row, column, text);
    }
    void Autofit() override { real->Autofit(); }
    bool Show() override {
      const char* path = std::getenv("PATH");
      const std::string saved = path ? path : "";
      ::setenv("PATH", "/nonexistent", 1);
      const bool shown = real->Show();
      ::setenv("PATH", saved.c_str(), 1);
      last = real->Location();
      return shown;
    }
    std::string Location() const override { return real->Location(); }
    std::unique_ptr<Workbook> real;
    std::string& last;
  };
  InstalledApp() : real_(MakeXlsxSpreadsheetApp()) {}
  bool IsInstalled() override { return true; }
  std::unique_ptr<Workbook> NewWorkbook() override {
    return std::make_unique<Book>(real_->NewWorkbook(), last);
  }
  std::string last;

 private:
  std::unique_ptr<SpreadsheetApp> real_;
};

long RssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void BM_AppendAndClearMillionRows(benchmark::State& state) {
  ListView table;
  SetColumnLayout(table, Mode::kEntireHeadTag);
  NoBoxes boxes;
  for (auto _ : state) {
    const long before = RssKiB();
    for (int i = 0; i < 1'000'000; ++i) {
      const auto item = table.Add("https://www.example.com/catalogue/page-" + std::to_string(i));
      table.SetSubItem(item, 1, "<head><title>Page</title></head>");
      table.SetChecked(item, true);
    }
    state.counters["text_MB"] = static_cast<double>(table.TextBytes()) / 1e6;
    state.counters["rss_MB"] = static_cast<double>(RssKiB()) / 1024.0;
    state.counters["rss_at_start_MB"] = static_cast<double>(before) / 1024.0;
    ClearResults(table, boxes);
  }
}
BENCHMARK(BM_AppendAndClearMillionRows)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_LoadMillionLineFile(benchmark::State& state) {
  const std::string path = "/tmp/orvanel-bench-list.txt";
  {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 1'000'000; ++i) out << "https://site" << i << ".example.com/index.html\r\n";
  }
  NoBoxes boxes;
  NoPump pump;
  for (auto _ : state) {
    ListView list;
    list.AddColumn(" Website(s)");
    const long before = RssKiB();
    FileToList(list, path, boxes, pump);
    state.counters["items"] = static_cast<double>(list.Count());
    state.counters["rss_MB"] = static_cast<double>(RssKiB()) / 1024.0;
    state.counters["rss_at_start_MB"] = static_cast<double>(before) / 1024.0;
  }
  ::unlink(path.c_str());
}
BENCHMARK(BM_LoadMillionLineFile)->Unit(benchmark::kMillisecond)->Iterations(1);

// 100,000 rows of mode TitleAndMetaTags with realistic cell lengths.
void FillResults(ListView& table) {
  SetColumnLayout(table, Mode::kTitleAndMetaTags);
  std::mt19937 rng(3);
  for (int i = 0; i < 100'000; ++i) {
    const auto item = table.Add("https://www.example-shop.com/products/item-" + std::to_string(i));
    table.SetSubItem(item, 1,
                     "Example Shop \xE2\x80\x93 Product " + std::to_string(i) + " in stock");
    table.SetSubItem(item, 2, "shop, products, garden, tools, outdoor, item " + std::to_string(i));
    table.SetSubItem(item, 3, std::string(80 + rng() % 80, 'd') + " = description");
    table.SetChecked(item, rng() % 10 != 0);
  }
}

void BM_TextExport100k(benchmark::State& state) {
  ListView table;
  FillResults(table);
  NoPump pump;
  for (auto _ : state) SaveListViewAsTextFile(table, "/tmp/orvanel-bench-results.txt", pump);
  ::unlink("/tmp/orvanel-bench-results.txt");
}
BENCHMARK(BM_TextExport100k)->Unit(benchmark::kMillisecond);

void BM_ClipboardText100k(benchmark::State& state) {
  ListView table;
  FillResults(table);
  NoPump pump;
  for (auto _ : state) benchmark::DoNotOptimize(BuildClipboardText(table, pump));
}
BENCHMARK(BM_ClipboardText100k)->Unit(benchmark::kMillisecond);

void BM_Workbook100k(benchmark::State& state) {
  ListView table;
  FillResults(table);
  NoPump pump;
  NoBoxes boxes;
  NoWindow window;
  InstalledApp app;
  for (auto _ : state) {
    SaveResultsAsExcelFile(table, app, window, boxes, pump);
    std::remove(app.last.c_str());
    ::rmdir(app.last.substr(0, app.last.rfind('/')).c_str());
  }
}
BENCHMARK(BM_Workbook100k)->Unit(benchmark::kMillisecond);

// Load Sample/Example Files with a recorded list of `state.range(0)` existing files, half
// of them already in the address list: linear in both.
void BM_LoadSamples(benchmark::State& state) {
  const std::string folder = "/tmp/orvanel-bench-samples";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/page.htm") << "<title>x</title>";
  class Settings : public SettingsStore {
   public:
    std::string Get(const std::string&, const std::string&) override { return snapshot; }
    void Save(const std::string&, const std::string&) override {}
    std::string snapshot;
  } settings;
  const auto count = static_cast<std::size_t>(state.range(0));
  // Distinct texts naming one existing file.
  for (std::size_t i = 0; i < count; ++i) {
    settings.snapshot += (i ? "|" : "") + folder + std::string(1 + i % 50, '/') + "." +
                         std::string(i / 50, '/') + "page.htm";
  }
  class NoShell : public Shell {
   public:
    bool Open(const std::string&) override { return true; }
  } shell;
  NoBoxes boxes;
  for (auto _ : state) {
    state.PauseTiming();
    ListView list;
    list.AddColumn(" Website(s)");
    std::size_t start = 0;
    for (std::size_t i = 0; i < count / 2; ++i) {
      const std::size_t bar = settings.snapshot.find('|', start);
      list.Add(settings.snapshot.substr(start, bar - start));
      start = bar + 1;
    }
    state.ResumeTiming();
    AddSampleFilesToList(list, settings, boxes, shell, folder);
    benchmark::DoNotOptimize(list.Count());
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_LoadSamples)->Arg(5'000)->Arg(20'000)->Unit(benchmark::kMillisecond);

// A page as the benchmark server's pages are, 70 KiB of markup and words with an accented
// letter every fifty bytes or so, declared UTF-8, without a keywords tag: the whole page is
// decoded and searched, as for about half the pages of a title-meta run.
std::string MixedPage() {
  const char* words[] = {"bakery", "bread",  "market", "street", "garden", "crème",
                         "brûlée", "über",   "café",   "naïve",  "déjà",   "season",
                         "winter", "recipe", "coffee", "morning"};
  std::mt19937 rng(5);
  std::string page =
      "<html><head><meta charset=\"utf-8\"><title>Bakery</title>"
      "<meta name=\"description\" content=\"Fresh bread\"></head><body>";
  while (page.size() < 70 * 1024) {
    page += "<p>";
    for (int i = 0; i < 12; ++i) {
      page += words[rng() % std::size(words)];
      page += ' ';
    }
    page += "</p>\n";
  }
  return page + "</body></html>";
}

void BM_DecodeAndExtractMixedPage(benchmark::State& state) {
  const std::string page = MixedPage();
  for (auto _ : state) {
    DecodedDocument doc = DecodeOwnedDocument(std::string(page), "text/html");
    auto rows = ExtractRows(Mode::kTitleAndMetaTags, doc.text, {});
    benchmark::DoNotOptimize(rows);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_DecodeAndExtractMixedPage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvanel

BENCHMARK_MAIN();
