#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/Retrieval.h"
#include "engine/Rules.h"
#include "fetch/Fetcher.h"
#include "shell/ErrorReport.h"
#include "shell/ListView.h"
#include "shell/Services.h"

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

// The progress bar's text when no run goes.
inline constexpr const char* kProgressIdleText = "Progress Bar";

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
  // What a page may be cut short for: the rows of this mode and tag list cannot change
  // past the cut.
  struct CutCriteria {
    std::optional<Mode> mode;
    std::vector<std::string> tags;  // for kOnlyListedTags only
    bool ascii_tags = true;
    bool operator==(const CutCriteria&) const = default;
  };
  // Shared with the fetcher's thread: the criteria every running transfer decides by, so
  // that a change during the run applies to transfers under way at once.
  struct LiveCriteria {
    std::mutex mutex;
    std::shared_ptr<const CutCriteria> current;
  };
  // The criteria one transfer was cut by, set on the fetcher's thread.
  struct Decision {
    std::shared_ptr<const CutCriteria> under;
  };
  struct Prefetched {
    std::size_t index = 0;
    std::string address;
    NormalisedAddress normalised;
    Fetcher::Ticket ticket = 0;
    std::shared_ptr<Decision> decision;
    std::optional<FetchResult> result;  // taken early, when the criteria changed
  };

  CutCriteria SelectedCriteria() const;
  // Publishes the selected criteria when they changed, and fetches again, all at once,
  // every page already cut for other criteria that it needs (NeedsRefetch). True when
  // they changed.
  bool RefreshCriteria();
  void Submit(Prefetched& p, bool early_stop);
  // Whether a page taken from the fetcher must be read again for the criteria selected
  // now: only a page cut short for other criteria, and only when what it holds does not
  // decide the rows of these.
  bool NeedsRefetch(const Prefetched& p);
  void SubmitAhead(std::size_t current, std::size_t last);
  Page Retrieve(std::size_t index, const std::string& address);
  void ApplyRules(StepRunner& runner, const std::string& address, const std::string& page);
  void Drain();

  RunContext ctx_;
  bool is_extracting_ = false;
  std::deque<Prefetched> ahead_;
  std::size_t next_to_submit_ = 1;
  std::shared_ptr<LiveCriteria> live_ = std::make_shared<LiveCriteria>();
};

}  // namespace orvanel
