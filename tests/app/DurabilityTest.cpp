// kill -9 in the middle of a text export or a settings save: the file on disk is always
// one whole version, the old one or a new one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSettings>
#include <filesystem>
#include <random>
#include <thread>

#include "Subprocess.h"
#include "TempDir.h"
#include "storage/IniSettingsStore.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

bool IsOneWholeVersion(const std::string& value, std::size_t base) {
  if (value.size() < base || (value.size() - base) % 1000 != 0) return false;
  return value.find_first_not_of(value[0]) == std::string::npos;
}

pid_t StartChild(const std::string& mode, const std::string& path, int& out) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    // Beside this test program.
    const std::string child =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() +
        "/durability_child";
    ::execl(child.c_str(), child.c_str(), mode.c_str(), path.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(fds[1]);
  out = fds[0];
  char line[16] = {};
  [[maybe_unused]] const ssize_t n = ::read(out, line, sizeof line);  // "ready"
  return pid;
}

void KillAtRandomMoments(const std::string& mode,
                         const std::function<void(const std::string&)>& check) {
  TempDir dir;
  const std::string path = dir.path() + (mode == "text" ? "/results.txt" : "/Dravikton.ini");
  std::mt19937 rng(5);
  for (int round = 0; round < 15; ++round) {
    int out = -1;
    const pid_t pid = StartChild(mode, path, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(out);
    check(path);
  }
}

TEST(Durability, TextExportSurvivesKill9) {
  KillAtRandomMoments("text", [](const std::string& path) {
    EXPECT_TRUE(IsOneWholeVersion(ReadAll(path), 200'000)) << ReadAll(path).size();
  });
}

TEST(Durability, SettingsSaveSurvivesKill9) {
  KillAtRandomMoments("settings", [](const std::string& path) {
    QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
    EXPECT_EQ(settings.status(), QSettings::NoError);
    EXPECT_TRUE(IsOneWholeVersion(settings.value("Orvanel/Tags").toString().toStdString(), 20'000));
    // Whatever the killed writer held, the next save goes through at once: granted no wait
    // for a lock, it succeeds only when none is left. It leaves no temporary file behind.
    IniSettingsStore(path, std::chrono::milliseconds(0)).Save("Option", "1");
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
      EXPECT_EQ(entry.path().filename().string().rfind(".Dravikton.ini.", 0), std::string::npos)
          << entry.path();
    }
  });
}

}  // namespace
}  // namespace orvanel
