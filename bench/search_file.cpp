// search_file FILE PATTERN...: times the case-insensitive search of each pattern over FILE
// (held in memory), printing the seconds and the throughput.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "engine/TextSearch.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: search_file FILE PATTERN...\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return 1;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (map == MAP_FAILED) return 1;
  const std::string_view text(static_cast<const char*>(map), size);
  for (int i = 2; i < argc; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::size_t at = orvanel::FindNoCase(text, argv[i]);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-40s %s  %.3f s  %.2f GB/s\n", argv[i],
                at == orvanel::kNotFound ? "absent" : "FOUND", s,
                static_cast<double>(size) / s / 1e9);
  }
  return 0;
}
