#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/Retrieval.h"
#include "engine/Rules.h"
#include "platform/ErrorReport.h"
#include "platform/Fetcher.h"
#include "platform/ListView.h"
#include "platform/Services.h"

namespace orvanel {

// What the extraction run works with: the main window's lists, options and progress bar,
// its event loop and boxes, and the fetcher.
struct RunContext {
  ListView& addresses;
  ListView& results;
  ListView& tags;
  WindowState& window;
  EventPump& pump;
  MessageBoxes& boxes;
  Fetcher& fetcher;
  // The mode of the first selected option button, or nullopt when none is selected.
  std::function<std::optional<Mode>()> selected_mode;
  // Transfers of the addresses after the current one run ahead, this many at most.
  std::size_t prefetch = 64;
  bool early_stop = true;
};

// The entries of the tag list in list order.
std::vector<std::string> TagEntries(const ListView& tags);

// Start Extraction. Walks the address list from top to bottom: progress, one yield, the
// page, the rules of the mode selected at that moment; then "Done.". While it runs, the
// transfers of the next addresses are already under way, but everything the user sees
// (rows, progress, messages) still follows the address order.
class ExtractionRun {
 public:
  explicit ExtractionRun(RunContext context) : ctx_(std::move(context)) {}

  // PushButton17_Click. A second call while a run is in progress returns at once.
  void Start();
  bool IsExtracting() const { return is_extracting_; }

 private:
  struct Prefetched {
    std::size_t index = 0;
    std::string address;
    NormalisedAddress normalised;
    std::optional<Mode> mode;
    std::vector<std::string> tags;
    Fetcher::Ticket ticket = 0;
  };

  void SubmitAhead(std::size_t current, std::size_t last);
  Page Retrieve(std::size_t index, const std::string& address);
  void ApplyRules(StepRunner& runner, const std::string& address, const std::string& page);
  void Drain();

  RunContext ctx_;
  bool is_extracting_ = false;
  std::deque<Prefetched> ahead_;
  std::size_t next_to_submit_ = 1;
};

}  // namespace orvanel
