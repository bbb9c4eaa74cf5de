#include <time.h>

#include <condition_variable>
#include <mutex>

#include "CurlFetcherFixture.h"

namespace orvanel {
namespace {

// Holds every request until `expected` have come (or the test lets them go, or one has
// waited 30 s), then answers each with whether all the others had come.
class Gate {
 public:
  explicit Gate(int expected) : expected_(expected) {}

  void Hold(LoopbackServer::Connection& c) {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(30),
                      [&] { return open_ || arrived_ >= expected_; });
    const bool together = arrived_ >= expected_;
    open_ = true;  // one gave up waiting: the others need not
    changed_.notify_all();
    lock.unlock();
    c.Respond(200, together ? "<title>together</title>" : "<title>alone</title>");
  }
  // Waits (bounded) until `count` requests are held.
  bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return arrived_ >= count; });
  }
  void Open() {
    const std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  const int expected_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool open_ = false;
};

FetcherOptions ManyHosts(int hosts, int port) {
  FetcherOptions options;
  for (int h = 0; h < hosts; ++h) {
    options.resolve.push_back("h" + std::to_string(h) + ".test:" + std::to_string(port) +
                              ":127.0.0.1");
  }
  return options;
}

std::string HostPage(int h, int port) {
  return "http://h" + std::to_string(h) + ".test:" + std::to_string(port) + "/held";
}

double ProcessCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// New transfers go in a few at a time, yet every slot is taken before any answer comes:
// each of these requests is answered only once all of them have arrived.
TEST(CurlFetcherPace, EverySlotFillsBeforeAnyAnswerComes) {
  constexpr int kSlots = 64;
  Gate gate(kSlots);
  LoopbackServer server;
  server.Route("/held", [&](auto&, auto& c) { gate.Hold(c); });
  FetcherOptions options = ManyHosts(kSlots, server.Port());
  options.max_transfers = kSlots;
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int h = 0; h < kSlots; ++h)
    tickets.push_back(fetcher->Submit({HostPage(h, server.Port()), {}}));
  for (const auto ticket : tickets) {
    const FetchResult result = fetcher->Take(ticket);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, "<title>together</title>");
  }
}

// While every transfer waits for its server, the worker sleeps: it neither spins on the
// transfers still to start nor on those under way.
TEST(CurlFetcherPace, TheWorkerSleepsWhileItsTransfersWaitForTheirServers) {
  constexpr int kSlots = 24, kPages = 40;  // more to start than run at once
  Gate gate(kPages + 1);                   // opened by the test
  LoopbackServer server;
  server.Route("/held", [&](auto&, auto& c) { gate.Hold(c); });
  FetcherOptions options = ManyHosts(kPages, server.Port());
  options.max_transfers = kSlots;
  auto fetcher = MakeCurlFetcher(options);
  std::vector<Fetcher::Ticket> tickets;
  for (int h = 0; h < kPages; ++h)
    tickets.push_back(fetcher->Submit({HostPage(h, server.Port()), {}}));
  ASSERT_TRUE(gate.WaitFor(kSlots));
  const double cpu_before = ProcessCpuSeconds();
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpu = ProcessCpuSeconds() - cpu_before;
  const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
  gate.Open();
  // A worker that spins takes a core, or its share of one on a busy machine.
  EXPECT_LT(cpu, wall * 0.2) << "the process used " << cpu << " s of CPU in " << wall << " s";
  for (const auto ticket : tickets) EXPECT_TRUE(fetcher->Take(ticket).ok);
}

}  // namespace
}  // namespace orvanel
