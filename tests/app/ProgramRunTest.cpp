// The program as users start it, on a real X server (Xvfb) and driven through real X input
// (xdotool), fetching from a loopback server: an address typed into Add URL's box, or a
// list loaded through the file dialog, is fetched by Start Extraction, the run ends with
// its "Done." box, and the results reach the X clipboard, read back here as another program
// would, the file named in the save dialog, or the workbook the spreadsheet program opens.
// Every wait is for the program itself, bounded generously, so that a busy machine only
// makes it slower.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QClipboard>
#include <QGuiApplication>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "XServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// The boxes bear the program's name as the main window does; the window is the one of the
// form's size.
std::set<std::string> Boxes(const XServer& x) {
  std::set<std::string> boxes;
  for (const std::string& id : x.FindWindows("^Orvanel$")) {
    if (x.XDoTool({"getwindowgeometry", id}).find("1064x456") == std::string::npos) {
      boxes.insert(id);
    }
  }
  return boxes;
}

// Gives window `id` the keyboard (there is no window manager to do it), types `text` and
// presses Return. The keys go through the X server's own input (XTEST), as a keyboard's
// would: keys sent to a window directly leave Return held down once a box closes on its
// press, and the server's repeat of it then answers the next box unseen.
void TypeAndReturn(const XServer& x, const std::string& id, const std::string& text) {
  x.XDoTool({"windowfocus", id});
  if (!text.empty()) x.XDoTool({"type", text});
  x.XDoTool({"key", "Return"});
}

// Waits for a box and answers it with `text` and Return. False when no box came.
bool AnswerBox(const XServer& x, const std::function<bool()>& running,
               const std::string& text = {}) {
  std::set<std::string> boxes;
  if (!WaitFor([&] { return !(boxes = Boxes(x)).empty() || !running(); }) || boxes.empty()) {
    return false;
  }
  const std::string id = *boxes.begin();
  TypeAndReturn(x, id, text);
  return WaitFor([&] { return Boxes(x).count(id) == 0; });
}

// The program started by the test, stopped (and waited for) when the test ends however it
// ends. running() tells, without reaping it, whether it still runs.
class Program {
 public:
  explicit Program(pid_t pid) : pid_(pid) {}
  ~Program() {
    if (pid_ > 0) StopProcess(pid_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  bool running() const {
    siginfo_t info{};
    return pid_ > 0 &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  // Asks the program to end as the desktop does (SIGTERM) and waits for it: its wait
  // status, or nothing when it did not end by itself (it is then killed).
  std::optional<int> End() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!ended) return std::nullopt;
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

// The page at /page?N, whose answer comes a little late, as a distant server's may: it
// reaches a window that is already waiting for it.
std::string Page(const std::string& n) {
  return "<html><head><title>Tolvenar harbour " + n +
         "</title><meta name=\"description\" content=\"Quays of Tolvenar " + n +
         "\"></head><body></body>";
}

class ProgramRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    x_ = new XServer;
    if (!x_->ok()) return;
    // The clipboard is read through an X connection of this test's own.
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", QByteArray::fromStdString(x_->display()));
    static int argc = 1;
    static char name[] = "ProgramRunTest";
    static char* argv[] = {name, nullptr};
    reader_ = new QGuiApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete reader_;
    delete x_;
  }

  void SetUp() override {
    if (!x_->ok()) GTEST_SKIP() << "needs Xvfb and xdotool (scripts/orvanel.sh installs them)";
    server_.Route("/page", [](auto& request, auto& c) {
      if (!c.Sleep(300)) return;
      const std::string n = request.path.substr(request.path.find('?') + 1);
      c.Respond(200, Page(n), "Content-Type: text/html; charset=utf-8\r\n");
    });
    // The only spreadsheet program the window finds is one that keeps a copy of what it is
    // given to open, so that no program of this machine's desktop comes up.
    std::filesystem::create_directory(home_.path() + "/bin");
    const std::string opener = home_.File(
        "bin/gnumeric", "#!/bin/sh\n/bin/cp \"$1\" \"" + Opened() + ".part\" && /bin/mv \"" +
                            Opened() + ".part\" \"" + Opened() + "\"\n");
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
    program_.emplace(StartInBackground(
        {BinaryDir() + "/orvanel"},
        {"DISPLAY=" + x_->display(), "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + home_.path(),
         "XDG_CACHE_HOME=" + home_.path() + "/cache", "PATH=" + home_.path() + "/bin"}));
    std::optional<std::string> window;
    ASSERT_TRUE(
        WaitFor([&] { return (window = x_->FindWindow("^Orvanel$")).has_value() || !Running(); }));
    ASSERT_TRUE(window) << "the program ended";
    ASSERT_TRUE(
        WaitFor([&] { return (at_ = x_->Geometry(*window))["WIDTH"] == 1064 || !Running(); }));
    ASSERT_EQ(at_["WIDTH"], 1064);
  }
  // A program still running at the end of a test ends cleanly when asked, saving its tags on
  // the way: a fault there (a crash, or one the sanitizers find and end it for) fails the
  // test.
  void TearDown() override {
    if (Running()) {
      const auto status = program_->End();
      ASSERT_TRUE(status) << "the program did not end when asked";
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    }
    program_.reset();
  }

  std::string Opened() const { return home_.path() + "/opened.xlsx"; }
  bool Running() const { return program_ && program_->running(); }
  // A click in the middle of a button, placed in the form's twips.
  void Click(int left, int top, int width, int height) const {
    x_->XDoTool({"mousemove", std::to_string(at_.at("X") + (left + width / 2) / 15),
                 std::to_string(at_.at("Y") + (top + height / 2) / 15), "click", "1"});
  }
  bool Answer(const std::string& text = {}) const {
    return AnswerBox(
        *x_, [this] { return Running(); }, text);
  }
  // Types `path` into the file dialog titled `title` and accepts it.
  bool ChooseFile(const std::string& title, const std::string& path) const {
    std::optional<std::string> dialog;
    if (!WaitFor([&] { return (dialog = x_->FindWindow("^" + title + "$")) || !Running(); }) ||
        !dialog) {
      return false;
    }
    TypeAndReturn(*x_, *dialog, path);
    // The dialog goes; a second window of its title is a box of its own, refusing the name.
    std::size_t shown = 1;
    return WaitFor([&] { return (shown = x_->FindWindows("^" + title + "$").size()) != 1; }) &&
           shown == 0;
  }

  static XServer* x_;
  static QGuiApplication* reader_;
  LoopbackServer server_;
  TempDir home_;
  std::optional<Program> program_;
  std::map<std::string, int> at_;
};

XServer* ProgramRun::x_ = nullptr;
QGuiApplication* ProgramRun::reader_ = nullptr;

TEST_F(ProgramRun, AnAddressTypedInIsFetchedAndItsHeadCopiedToTheClipboard) {
  Click(120, 1905, 3840, 405);  // Add URL
  ASSERT_TRUE(Answer(server_.Url("/page?1"))) << "Add URL asked nothing";
  Click(8040, 120, 7800, 405);  // Start Extraction
  // The run ends with its box only once every transfer's end has reached the window.
  ASSERT_TRUE(Answer()) << "the run never ended";
  EXPECT_EQ(server_.Requests(), 1);

  Click(8040, 5775, 3840, 405);  // Copy Results To Clipboard
  // The text is on the clipboard before the box saying so comes up.
  std::set<std::string> boxes;
  ASSERT_TRUE(WaitFor([&] { return !(boxes = Boxes(*x_)).empty() || !Running(); }));
  ASSERT_FALSE(boxes.empty()) << "the program ended";
  const std::string copied = QGuiApplication::clipboard()->text().toStdString();
  EXPECT_NE(copied.find(server_.Url("/page?1")), std::string::npos) << copied;
  EXPECT_NE(copied.find("<title>Tolvenar harbour 1</title>"), std::string::npos) << copied;
  EXPECT_NE(copied.find("Quays of Tolvenar 1"), std::string::npos) << copied;
  EXPECT_TRUE(Answer());
}

// A typed name of no file gets the program's own box, past a dialog that takes any name,
// and adds nothing: Start Extraction then finds the list empty.
TEST_F(ProgramRun, ANameOfNoFileIsToldInTheProgramsBoxAndAddsNothing) {
  Click(4080, 1905, 3840, 405);  // Load List Of URLs From Text File
  ASSERT_TRUE(ChooseFile("Add File\\(s\\) - Use Ctrl & Shift to select multiple files",
                         home_.path() + "/missing.txt"))
      << "the dialog kept a name of no file";
  ASSERT_TRUE(Answer()) << "no box told of the missing file";
  Click(8040, 120, 7800, 405);  // Start Extraction
  ASSERT_TRUE(Answer()) << "no box told of the empty list";
  EXPECT_EQ(server_.Requests(), 0);
}

// The way most runs go: a list of many addresses from a file, fetched many at once, and
// the results saved where the user said, one row per address in the list's order.
TEST_F(ProgramRun, AListLoadedFromAFileIsFetchedAndSavedAsText) {
  constexpr int kAddresses = 40;
  std::string list;
  for (int i = 1; i <= kAddresses; ++i) list += server_.Url("/page?" + std::to_string(i)) + "\n";
  const std::string list_file = home_.File("list.txt", list);
  const std::string saved = home_.path() + "/results.txt";

  Click(4080, 1905, 3840, 405);  // Load List Of URLs From Text File
  ASSERT_TRUE(ChooseFile("Add File\\(s\\) - Use Ctrl & Shift to select multiple files", list_file))
      << "no open dialog";
  Click(8040, 120, 7800, 405);  // Start Extraction
  ASSERT_TRUE(Answer()) << "the run never ended";
  EXPECT_EQ(server_.Requests(), kAddresses);

  Click(8040, 5250, 3840, 405);  // Save Results As Text File
  ASSERT_TRUE(ChooseFile("Save", saved)) << "no save dialog";
  std::string text;
  ASSERT_TRUE(WaitFor([&] {
    text = ReadAll(saved);
    return std::count(text.begin(), text.end(), '\n') >= kAddresses || !Boxes(*x_).empty() ||
           !Running();
  })) << text;
  std::istringstream rows(text);
  std::string row;
  int n = 0;
  while (std::getline(rows, row)) {
    if (row.rfind(server_.Url("/page?"), 0) != 0) continue;  // the header
    ++n;
    const std::string k = std::to_string(n);
    EXPECT_EQ(row.substr(0, row.find('\t')), server_.Url("/page?" + k));
    EXPECT_NE(row.find("<title>Tolvenar harbour " + k + "</title>"), std::string::npos) << row;
  }
  EXPECT_EQ(n, kAddresses) << text;
}

TEST_F(ProgramRun, TheResultsOpenAsAWorkbookInTheSpreadsheetProgram) {
  const std::string unzip = Which("unzip");
  if (unzip.empty()) GTEST_SKIP() << "reading the workbook back needs unzip";
  Click(120, 1905, 3840, 405);  // Add URL
  ASSERT_TRUE(Answer(server_.Url("/page?7"))) << "Add URL asked nothing";
  Click(8040, 120, 7800, 405);  // Start Extraction
  ASSERT_TRUE(Answer()) << "the run never ended";

  Click(12000, 5250, 3840, 405);  // Save Results As Excel File
  // A box instead tells that the workbook could not be made or shown.
  ASSERT_TRUE(WaitFor(
      [&] { return std::filesystem::exists(Opened()) || !Boxes(*x_).empty() || !Running(); }));
  ASSERT_TRUE(std::filesystem::exists(Opened())) << "the spreadsheet program was not started";
  const std::string strings = RunProgram({unzip, "-p", Opened(), "xl/sharedStrings.xml"}).out;
  EXPECT_NE(strings.find(server_.Url("/page?7")), std::string::npos) << strings;
  EXPECT_NE(strings.find("&lt;title&gt;Tolvenar harbour 7&lt;/title&gt;"), std::string::npos)
      << strings;
}

}  // namespace
}  // namespace orvanel
