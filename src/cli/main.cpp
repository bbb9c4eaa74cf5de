#include <malloc.h>

#include "cli/ExtractCommand.h"

int main(int argc, char** argv) {
  // Pages come and go by the thousand: memory freed is kept for the next ones (up to
  // 64 MiB of it) rather than given back and faulted in again, zeroed, page by page.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  return orvanel::ExtractMain(argc, argv);
}
