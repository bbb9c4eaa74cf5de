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

void ExtractionRun::SubmitAhead(std::size_t current, std::size_t last) {
  if (next_to_submit_ < current) next_to_submit_ = current;
  const std::size_t limit = std::min(last, current + ctx_.prefetch);
  while (next_to_submit_ <= limit) {
    Prefetched p;
    p.index = next_to_submit_++;
    if (p.index > ctx_.addresses.Count()) break;
    p.address = ctx_.addresses.Text(p.index);
    p.normalised = NormaliseAddress(p.address);
    p.mode = ctx_.selected_mode();
    if (p.mode == Mode::kOnlyListedTags) p.tags = TagEntries(ctx_.tags);
    const Mode mode = p.mode.value_or(Mode::kEntireHeadTag);
    p.ticket = ctx_.fetcher.Submit(
        MakeFetchRequest(p.normalised, mode, p.tags, ctx_.early_stop && p.mode.has_value()));
    ahead_.push_back(std::move(p));
  }
}

Page ExtractionRun::Retrieve(std::size_t index, const std::string& address) {
  // Results of addresses that were skipped (their step failed) are never used.
  while (!ahead_.empty() && ahead_.front().index < index) {
    ctx_.fetcher.Take(ahead_.front().ticket);
    ahead_.pop_front();
  }
  std::optional<Prefetched> mine;
  if (!ahead_.empty() && ahead_.front().index == index && ahead_.front().address == address) {
    mine = std::move(ahead_.front());
    ahead_.pop_front();
  } else {
    if (!ahead_.empty() && ahead_.front().index == index) {
      ctx_.fetcher.Take(ahead_.front().ticket);
      ahead_.pop_front();
    }
    Prefetched p;
    p.index = index;
    p.address = address;
    p.normalised = NormaliseAddress(address);
    p.mode = ctx_.selected_mode();
    if (p.mode == Mode::kOnlyListedTags) p.tags = TagEntries(ctx_.tags);
    p.ticket = ctx_.fetcher.Submit(MakeFetchRequest(
        p.normalised, p.mode.value_or(Mode::kEntireHeadTag), p.tags, ctx_.early_stop && p.mode));
    mine = std::move(p);
  }
  Fetcher& fetcher = ctx_.fetcher;
  const auto ticket = mine->ticket;
  ctx_.pump.WaitUntil([&] { return fetcher.Ready(ticket); });
  FetchResult result = fetcher.Take(ticket);

  // A page cut short for another mode or tag list than the one now selected is read again
  // whole, so that the rows are those of the complete document.
  const auto mode_now = ctx_.selected_mode();
  if (result.cut_early &&
      (mode_now != mine->mode ||
       (mode_now == Mode::kOnlyListedTags && TagEntries(ctx_.tags) != mine->tags))) {
    const auto again = fetcher.Submit(MakeFetchRequest(mine->normalised, Mode::kEntireHeadTag, {}, false));
    ctx_.pump.WaitUntil([&] { return fetcher.Ready(again); });
    result = fetcher.Take(again);
  }
  return MakePage(mine->normalised, std::move(result));
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
  for (auto& p : ahead_) ctx_.fetcher.Take(p.ticket);
  ahead_.clear();
  next_to_submit_ = 1;
}

void ExtractionRun::Start() {
  if (is_extracting_) return;  // step 100
  StepRunner runner(ctx_.boxes, "PushButton17_Click");
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
      runner.Step(168, [&] { ctx_.window.SetProgressText("Processing: " + FileNameFromPath(address)); });
      runner.Step(170, [&] { ctx_.pump.ProcessEvents(); });
      runner.Step(172, [&] { ctx_.window.SetPointer(Pointer::kBusy); });
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
    runner.Step(290, [&] { ctx_.window.SetProgressText("Progress Bar"); });
    runner.Step(292, [&] { ctx_.boxes.Message("Done.", BoxStyle::kOk); });
  }
  runner.Step(296, [&] { is_extracting_ = false; });
}

}  // namespace orvanel
