#include "engine/ExtractionRun.h"

#include <cmath>

#include "engine/Address.h"
#include "engine/ResultsTable.h"

namespace orvanel {

std::vector<std::string> TagEntries(const ListView& tags) {
  std::vector<std::string> entries;
  const std::size_t count = tags.Count();
  entries.reserve(count);
  for (std::size_t j = 1; j <= count; ++j) entries.push_back(tags.Text(j));
  return entries;
}

ExtractionRun::CutCriteria ExtractionRun::SelectedCriteria() const {
  CutCriteria criteria;
  criteria.mode = ctx_.selected_mode();
  if (criteria.mode == Mode::kOnlyListedTags) {
    criteria.tags = TagEntries(ctx_.tags);
    criteria.ascii_tags = TagsAreAscii(*criteria.mode, criteria.tags);
  }
  return criteria;
}

bool ExtractionRun::RefreshCriteria() {
  CutCriteria selected = SelectedCriteria();
  if (live_->current && *live_->current == selected) return false;
  {
    std::lock_guard lock(live_->mutex);
    live_->current = std::make_shared<const CutCriteria>(std::move(selected));
  }
  // Transfers still running now decide by the new criteria. Those already cut by the old
  // ones are fetched again, concurrently, before the run reaches them.
  for (auto& p : ahead_) {
    if (!p.result && ctx_.fetcher.Ready(p.ticket)) p.result = ctx_.fetcher.Take(p.ticket);
    if (NeedsRefetch(p)) Submit(p, true);
  }
  return true;
}

void ExtractionRun::Submit(Prefetched& p, bool early_stop) {
  p.result.reset();
  p.decision.reset();
  FetchRequest request;
  request.url = p.normalised.url;
  if (early_stop && ctx_.early_stop) {
    p.decision = std::make_shared<Decision>();
    // The criteria may change while the page arrives: the decision then starts over.
    request.decided =
        [live = live_, decision = p.decision, under = std::shared_ptr<const CutCriteria>(),
         decide = std::optional<EarlyDecision>()](
            std::string_view bytes, std::string_view content_type, bool whole) mutable {
          // The table keeps a page read whole as it came: nothing to judge at its end.
          if (whole) return std::size_t{0};
          std::shared_ptr<const CutCriteria> criteria;
          {
            std::lock_guard lock(live->mutex);
            criteria = live->current;
          }
          if (!criteria || !criteria->mode) return std::size_t{0};
          if (criteria != under) {
            under = criteria;
            decide.emplace(*criteria->mode, criteria->tags);
          }
          const std::size_t needed = (*decide)(bytes, content_type, false);
          if (needed == 0) return needed;
          std::lock_guard lock(live->mutex);
          decision->under = std::move(criteria);
          return needed;
        };
  }
  p.ticket = ctx_.fetcher.Submit(std::move(request));
}

bool ExtractionRun::NeedsRefetch(const Prefetched& p) {
  if (!p.result || !p.result->cut_early) return false;
  std::shared_ptr<const CutCriteria> current;
  std::shared_ptr<const CutCriteria> under;
  {
    std::lock_guard lock(live_->mutex);
    current = live_->current;
    under = p.decision ? p.decision->under : nullptr;
  }
  // Without a mode the page gives no rows; cut for the criteria selected now, it has all
  // they need.
  if (!current || !current->mode || (under && *under == *current)) return false;
  // Decided again from what is held: a page that came whole, or was cut after all that
  // the criteria selected now look at, needs no second transfer.
  return !RowsAreDecided(*current->mode, current->tags, current->ascii_tags, p.result->bytes,
                         p.result->content_type);
}

void ExtractionRun::SubmitAhead(std::size_t current, std::size_t last) {
  RefreshCriteria();
  if (next_to_submit_ < current) next_to_submit_ = current;
  const std::size_t limit = std::min(last, current + ctx_.prefetch);
  while (next_to_submit_ <= limit) {
    Prefetched p;
    p.index = next_to_submit_++;
    if (p.index > ctx_.addresses.Count()) break;
    p.address = ctx_.addresses.Text(p.index);
    p.normalised = NormaliseAddress(p.address);
    Submit(p, true);
    ahead_.push_back(std::move(p));
  }
}

Page ExtractionRun::Retrieve(std::size_t index, const std::string& address) {
  // Transfers of addresses that were skipped (their step failed) or that changed are not
  // waited for.
  while (!ahead_.empty() && (ahead_.front().index < index || (ahead_.front().index == index &&
                                                              ahead_.front().address != address))) {
    if (!ahead_.front().result) ctx_.fetcher.Abandon(ahead_.front().ticket);
    ahead_.pop_front();
  }
  Prefetched mine;
  if (!ahead_.empty() && ahead_.front().index == index) {
    mine = std::move(ahead_.front());
    ahead_.pop_front();
  } else {
    mine.index = index;
    mine.address = address;
    mine.normalised = NormaliseAddress(address);
    Submit(mine, true);
  }
  Fetcher& fetcher = ctx_.fetcher;
  try {
    // A page cut short for other criteria than the ones selected now is read again; should
    // the user keep changing them, the third read is whole.
    for (int reads = 1;; ++reads) {
      if (!mine.result) {
        ctx_.pump.WaitUntil([&] {
          RefreshCriteria();
          return fetcher.Ready(mine.ticket);
        });
        mine.result = fetcher.Take(mine.ticket);
      }
      RefreshCriteria();
      if (!NeedsRefetch(mine)) break;
      Submit(mine, reads < 2);
    }
  } catch (...) {
    if (!mine.result) fetcher.Abandon(mine.ticket);
    throw;
  }
  return MakePage(mine.normalised, std::move(*mine.result));
}

void ExtractionRun::ApplyRules(StepRunner& runner, const std::string& address,
                               const std::string& page) {
  std::optional<Mode> mode;
  runner.Step(182, [&] { mode = ctx_.selected_mode(); });
  if (!mode) return;
  std::vector<std::string> tags;
  if (*mode == Mode::kOnlyListedTags) runner.Step(240, [&] { tags = TagEntries(ctx_.tags); });
  AppendRuleRows(ctx_.results, runner, *mode, address, ExtractRows(*mode, page, tags));
}

void ExtractionRun::Drain() {
  for (auto& p : ahead_) {
    if (!p.result) ctx_.fetcher.Abandon(p.ticket);
  }
  ahead_.clear();
  next_to_submit_ = 1;
  std::lock_guard lock(live_->mutex);
  live_->current.reset();
}

void ExtractionRun::Start() {
  if (is_extracting_) return;  // step 100
  StepRunner runner(ctx_.boxes, Command::kStartExtraction);
  runner.Step(102, [&] { is_extracting_ = true; });
  if (runner.Test(104, [&] { return ctx_.addresses.Count() == 0; })) {
    runner.Step(294, [&] { ctx_.boxes.Message("No files added.", BoxStyle::kOk); });
  } else {
    runner.Step(106, [&] { ctx_.window.SetPointer(Pointer::kBusy); });
    runner.Step(112, [&] {
      if (const auto mode = ctx_.selected_mode()) SetColumnLayout(ctx_.results, *mode);
    });
    runner.Step(160, [&] { ctx_.results.Clear(); });
    std::size_t n = 0;
    runner.Step(162, [&] { n = ctx_.addresses.Count(); });
    std::string address;
    std::string page;
    for (std::size_t i = 1; i <= n; ++i) {
      runner.Step(164, [&] { address = ctx_.addresses.Text(i); });
      runner.Step(166, [&] {
        const double m = static_cast<double>(ctx_.addresses.Count());
        const double value = static_cast<double>(i) / m * 100.0;
        if (!std::isfinite(value) || value < 0.0 || value > 100.0) {
          throw Failure("Invalid property value");
        }
        ctx_.window.SetProgressValue(value);
      });
      runner.Step(168,
                  [&] { ctx_.window.SetProgressText("Processing: " + FileNameFromPath(address)); });
      runner.Step(170, [&] { ctx_.pump.ProcessEvents(); });
      runner.Step(172, [&] { ctx_.window.SetPointer(Pointer::kBusy); });
      // A page that cannot be read gives nothing found, never the previous page's text.
      page.clear();
      runner.Step(176, [&] {
        SubmitAhead(i, n);
        Page fetched = Retrieve(i, address);
        if (!fetched.ok) ctx_.boxes.Message(fetched.message, BoxStyle::kOk);
        page = std::move(fetched.text);
      });
      ApplyRules(runner, address, page);
    }
    Drain();
    runner.Step(286, [&] { ctx_.window.SetPointer(Pointer::kDefault); });
    runner.Step(288, [&] { ctx_.window.SetProgressValue(0); });
    runner.Step(290, [&] { ctx_.window.SetProgressText(kProgressIdleText); });
    runner.Step(292, [&] { ctx_.boxes.Message("Done.", BoxStyle::kOk); });
  }
  runner.Step(296, [&] { is_extracting_ = false; });
}

}  // namespace orvanel
