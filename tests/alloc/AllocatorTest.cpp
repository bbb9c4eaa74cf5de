// The programs allocate through mimalloc: every library's malloc, not only ours, binds to
// it, and it comes before the C library, whose malloc would otherwise serve them all.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace orvanel {
namespace {

using testing::BinaryDir;
using testing::RunProgram;

// The library `library`'s reference to `symbol`, as the dynamic loader resolved it: the
// file that provides it, from LD_DEBUG=bindings output; empty if it never bound.
std::string BoundTo(const std::string& bindings, const std::string& library,
                    const std::string& symbol) {
  std::istringstream lines(bindings);
  for (std::string line; std::getline(lines, line);) {
    const auto from = line.find("binding file ");
    const auto to = line.find(" to ");
    if (from == std::string::npos || to == std::string::npos) continue;
    if (line.find("symbol `" + symbol + "'") == std::string::npos) continue;
    if (line.substr(from, to - from).find(library) == std::string::npos) continue;
    return line.substr(to + 4, line.find(" [", to) - to - 4);
  }
  return {};
}

TEST(Allocator, TheCompanionsLibrariesAllocateThroughMimalloc) {
  const auto run = RunProgram({"/usr/bin/env", "LD_BIND_NOW=1", "LD_DEBUG=bindings",
                               BinaryDir() + "/orvanel-extract", "--version"});
  ASSERT_EQ(run.status, 0) << run.err.substr(0, 2000);
  for (const std::string library :
       {"orvanel-extract", "libcurl.so", "libcrypto.so", "libssl.so", "libstdc++.so"}) {
    for (const std::string symbol : {"malloc", "free"}) {
      const std::string provider = BoundTo(run.err, library, symbol);
      if (provider.empty()) continue;  // this one never calls it directly
      EXPECT_NE(provider.find("libmimalloc.so"), std::string::npos)
          << library << "'s " << symbol << " comes from " << provider;
    }
  }
  // The libraries that allocate per page must be among those seen.
  EXPECT_NE(BoundTo(run.err, "libcurl.so", "malloc"), "");
  EXPECT_NE(BoundTo(run.err, "libcrypto.so", "malloc"), "");
}

#ifdef ORVANEL_GUI_BUILT
// The window's program is only loaded, not started: the loader lists its libraries in the
// order their symbols are looked up in.
TEST(Allocator, TheWindowsProgramLoadsMimallocBeforeTheCLibrary) {
  const auto run =
      RunProgram({"/usr/bin/env", "LD_TRACE_LOADED_OBJECTS=1", BinaryDir() + "/orvanel"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto mimalloc = run.out.find("libmimalloc.so");
  const auto libc = run.out.find("libc.so.6");
  ASSERT_NE(mimalloc, std::string::npos) << run.out;
  ASSERT_NE(libc, std::string::npos) << run.out;
  EXPECT_LT(mimalloc, libc) << run.out;
}
#endif

}  // namespace
}  // namespace orvanel
