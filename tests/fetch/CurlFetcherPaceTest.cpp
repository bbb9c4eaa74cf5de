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

// `pages` pages of as many hosts, `slots` at once, each request held by a gate that
// opens once `expected` have come.
struct HeldRun {
  HeldRun(int expected, int pages, int slots) : gate(expected) {
    server.Route("/held", [this](auto&, auto& c) { gate.Hold(c); });
    const std::string port = std::to_string(server.Port());
    FetcherOptions options;
    options.max_transfers = slots;
    for (int h = 0; h < pages; ++h) {
      options.resolve.push_back("h" + std::to_string(h) + ".test:" + port + ":127.0.0.1");
    }
    fetcher = MakeCurlFetcher(options);
    for (int h = 0; h < pages; ++h) {
      tickets.push_back(
          fetcher->Submit({"http://h" + std::to_string(h) + ".test:" + port + "/held", {}}));
    }
  }

  Gate gate;  // outlives the server, whose handlers wait on it
  LoopbackServer server;
  std::unique_ptr<Fetcher> fetcher;
  std::vector<Fetcher::Ticket> tickets;
};

double ProcessCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// New transfers go in a few at a time, yet every slot is taken before any answer comes:
// each of these requests is answered only once all of them have arrived.
TEST(CurlFetcherPace, EverySlotFillsBeforeAnyAnswerComes) {
  constexpr int kSlots = 64;
  HeldRun run(kSlots, kSlots, kSlots);
  for (const auto ticket : run.tickets) {
    const FetchResult result = run.fetcher->Take(ticket);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, "<title>together</title>");
  }
}

// While every transfer waits for its server, the worker sleeps: it neither spins on the
// transfers still to start nor on those under way.
TEST(CurlFetcherPace, TheWorkerSleepsWhileItsTransfersWaitForTheirServers) {
  constexpr int kSlots = 24, kPages = 40;   // more to start than run at once
  HeldRun run(kPages + 1, kPages, kSlots);  // opened by the test
  ASSERT_TRUE(run.gate.WaitFor(kSlots));
  const double cpu_before = ProcessCpuSeconds();
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpu = ProcessCpuSeconds() - cpu_before;
  const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
  run.gate.Open();
  // A worker that spins takes a core, or its share of one on a busy machine.
  EXPECT_LT(cpu, wall * 0.2) << "the process used " << cpu << " s of CPU in " << wall << " s";
  for (const auto ticket : run.tickets) EXPECT_TRUE(run.fetcher->Take(ticket).ok);
}

}  // namespace
}  // namespace orvanel
