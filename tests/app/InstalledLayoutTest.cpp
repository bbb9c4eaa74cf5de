// The programs as `cmake --install` lays them out (and the package ships them): each finds
// what it needs from bin/ and share/orvanel/, with no build tree around.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Subprocess.h"
#include "TempDir.h"
#include "XServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// Everything an installed copy under `prefix` needs is there and works.
void CheckInstalledCopy(const std::string& prefix) {
  for (const char* file :
       {"/bin/orvanel", "/bin/orvanel-extract", "/share/man/man1/orvanel-extract.1.gz",
        "/share/man/man1/orvanel.1.gz", "/share/applications/orvanel.desktop",
        "/share/icons/hicolor/scalable/apps/orvanel.svg",
        "/share/metainfo/org.example.orvanel.metainfo.xml"}) {
    EXPECT_TRUE(std::filesystem::exists(prefix + file)) << file;
  }

  // The companion over the installed sample pages.
  std::string list;
  std::size_t samples = 0;
  for (const auto& entry : std::filesystem::directory_iterator(prefix + "/share/orvanel/Samples")) {
    list += entry.path().string() + "\n";
    ++samples;
  }
  ASSERT_GT(samples, 0u);
  const auto extracted = RunProgram({prefix + "/bin/orvanel-extract", "-q", "-f", "jsonl"}, list);
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(static_cast<std::size_t>(std::count(extracted.out.begin(), extracted.out.end(), '\n')),
            samples);

  // The window: up far enough to record the installed sample pages, then asked to close.
  TempDir config;
  const pid_t window = StartInBackground(
      {prefix + "/bin/orvanel"}, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.path(),
                                  "XDG_CACHE_HOME=" + config.path() + "/cache"});
  const std::string ini = config.path() + "/Dravikton.ini";
  const std::string recorded = "Snapshot=" + prefix + "/share/orvanel/Samples/";
  WaitFor([&] { return ReadAll(ini).find("Option=1") != std::string::npos; });
  EXPECT_NE(ReadAll(ini).find(recorded), std::string::npos) << ReadAll(ini);
  ::kill(window, SIGTERM);
  int status = -1;
  WaitFor([&] { return ::waitpid(window, &status, WNOHANG) == window; });
  if (!WIFEXITED(status)) {
    ::kill(window, SIGKILL);
    ::waitpid(window, nullptr, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(InstalledLayout, TheInstalledProgramsFindTheirFiles) {
  TempDir root;
  const std::string prefix = root.path() + "/usr";
  const auto installed =
      RunProgram({ORVANEL_CMAKE_COMMAND, "--install", BinaryDir(), "--prefix", prefix});
  ASSERT_EQ(installed.status, 0) << installed.err;
  CheckInstalledCopy(prefix);
}

// The Debian package, unpacked into an empty root: the same.
TEST(InstalledLayout, TheDebianPackageHoldsAWorkingCopy) {
  if (RunProgram({"/bin/sh", "-c", "command -v dpkg-deb && command -v dpkg-shlibdeps"}).status !=
      0) {
    GTEST_SKIP() << "making and unpacking the package needs dpkg-deb and dpkg-shlibdeps (dpkg-dev)";
  }
  TempDir packages;
  const auto made =
      RunProgram({"/bin/sh", "-c",
                  "cd '" + BinaryDir() + "' && '" ORVANEL_CPACK_COMMAND "' -G DEB -B '" +
                      packages.path() + "'"});
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  std::string deb;
  for (const auto& entry : std::filesystem::directory_iterator(packages.path())) {
    if (entry.path().extension() == ".deb") deb = entry.path().string();
  }
  ASSERT_FALSE(deb.empty()) << made.out;
  TempDir root;
  ASSERT_EQ(RunProgram({"/usr/bin/dpkg-deb", "-x", deb, root.path()}).status, 0);
  CheckInstalledCopy(root.path() + "/usr");
  EXPECT_TRUE(std::filesystem::exists(root.path() + "/usr/share/doc/orvanel/copyright"));
}

}  // namespace
}  // namespace orvanel
