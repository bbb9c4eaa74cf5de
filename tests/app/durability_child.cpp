// Writes a file over and over until killed: "text PATH" through the text export's atomic
// writer, "settings PATH" through the settings store. Each version is one letter repeated,
// so a reader can tell a whole version from a torn one.
#include <cstdio>
#include <cstring>
#include <string>

#include "storage/AtomicFile.h"
#include "storage/IniSettingsStore.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const bool text = std::strcmp(argv[1], "text") == 0;
  orvanel::IniSettingsStore store(argv[2]);
  for (unsigned i = 0;; ++i) {
    const std::size_t base = text ? 200'000 : 20'000;
    const std::string version(base + (i % 7) * 1000, static_cast<char>('a' + i % 26));
    if (text) {
      orvanel::WriteFileAtomically(argv[2], version);
    } else {
      store.Save("Tags", version);
    }
    if (i == 0) {
      std::puts("ready");
      std::fflush(stdout);
    }
  }
}
