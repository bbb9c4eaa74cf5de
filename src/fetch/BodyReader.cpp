#include "fetch/BodyReader.h"

#include <algorithm>
#include <new>

#include "fetch/FetchPolicy.h"

namespace orvanel {

BodyReader::BodyReader(MemoryBudget& budget, const FetcherOptions& options, const Decided& decided)
    : budget_(budget), options_(options), decided_(decided) {}

BodyReader::~BodyReader() { budget_.Release(document_held_ + decoder_held_); }

bool BodyReader::Begin(Answer answer) {
  begun_ = true;
  answer_ = std::move(answer);
  if (answer_.redirect) {
    discarding_ = true;
    drain_left_ = answer_.multiplexed ? 0 : kDrainBudget;
    return true;
  }
  if (!answer_.content_encoding.empty()) {
    coded_ = true;
    decoder_ = ContentDecoder::Make(answer_.content_encoding, error_);
    if (!decoder_) {
      Stop();
      return false;
    }
  }
  return true;
}

void BodyReader::Decide() {
  // An error page is never decided early: it is thrown away anyway.
  if (!decided_ || !MayStopEarly(answer_.status) || bytes_.empty()) return;
  const std::size_t needed = decided_(bytes_, answer_.content_type, false);
  if (needed == 0) return;
  cut_early_ = true;
  decided_at_ = std::min(needed, bytes_.size());
  discarding_ = true;
  // Over HTTP/1 a short rest is read, so that the connection stays usable for the next
  // page; a long one is not worth waiting for. An HTTP/2 stream is stopped at once.
  drain_left_ = answer_.multiplexed ? 0 : kDrainBudget;
}

void BodyReader::Ended() {
  // A redirect's body is dropped unkept: it has no bytes to judge.
  if (!decided_ || cut_early_ || stopped_ || enough_at_ > 0 || !MayStopEarly(answer_.status) ||
      bytes_.empty())
    return;
  enough_at_ = std::min(decided_(bytes_, answer_.content_type, true), bytes_.size());
}

// Room for `need` bytes in the document's buffer, grown as the budget's rule says and
// counted; false when there is no room now.
bool BodyReader::Grow(std::size_t need, long long announced, bool oldest) {
  if (need <= bytes_.capacity()) return true;
  const std::size_t to = MemoryBudget::NextCapacity(
      bytes_.capacity(), need, announced, static_cast<bool>(decided_), options_.max_bytes + 1);
  const std::size_t growth = to - MemoryBudget::HeapBytes(bytes_);
  if (!budget_.HasRoom(growth, oldest)) {
    wanted_ = growth;
    return false;
  }
  try {
    // A fresh buffer of exactly this size: growing a string in place may double it, past
    // what the budget was asked for.
    std::string grown;
    grown.reserve(to);
    grown.append(bytes_);
    bytes_.swap(grown);
  } catch (const std::bad_alloc&) {
    // No memory for this page: it fails, the run goes on.
    too_large_ = true;
    Stop();
    return false;
  }
  const std::size_t held = MemoryBudget::HeapBytes(bytes_);
  budget_.Hold(held - document_held_);
  document_held_ = held;
  return true;
}

void BodyReader::Account() {
  const std::size_t used = decoder_->MemoryUsed();
  if (used > decoder_held_) {
    budget_.Hold(used - decoder_held_);
    decoder_held_ = used;
  }
}

void BodyReader::Pull(bool oldest) {
  while (!stopped_ && !discarding_ && decoder_->HasPending()) {
    // The decoder's windows are counted before the decoder makes them.
    const std::size_t needed = decoder_->MemoryNeeded();
    if (needed > decoder_held_) {
      if (!budget_.HasRoom(needed - decoder_held_, oldest)) {
        wanted_ = needed - decoder_held_;
        return;
      }
      budget_.Hold(needed - decoder_held_);
      decoder_held_ = needed;
    }
    if (bytes_.size() == bytes_.capacity() &&
        !Grow(std::min(bytes_.size() + kDecodeStep, options_.max_bytes + 1), -1, oldest))
      return;
    const std::size_t before = bytes_.size();
    const std::size_t room = std::min(bytes_.capacity(), options_.max_bytes + 1) - before;
    const bool ok = decoder_->Pull(room, bytes_);
    Account();
    if (!ok) {
      error_ = decoder_->error();
      Stop();
      return;
    }
    if (bytes_.size() > options_.max_bytes) {
      too_large_ = true;
      Stop();
      return;
    }
    Decide();
    if (bytes_.size() == before && room > 0) return;  // it waits for more of the body
  }
}

BodyReader::Verdict BodyReader::Feed(std::string_view data, bool oldest) {
  if (stopped_) return Verdict::kStop;
  if (discarding_) {
    if (data.size() > drain_left_) return Verdict::kStop;
    drain_left_ -= data.size();
    received_ += data.size();
    return Verdict::kTaken;
  }
  if (decoder_) {
    // What came before is decoded first; while it waits for room, nothing more is taken.
    if (decoder_->HasPending()) Pull(oldest);
    if (stopped_) return Verdict::kStop;
    if (discarding_) return Feed(data, oldest);
    if (decoder_->HasPending()) return Verdict::kPause;
    decoder_->Feed(data);
    received_ += data.size();
    Pull(oldest);
    return stopped_ ? Verdict::kStop : Verdict::kTaken;
  }
  const std::size_t need = bytes_.size() + data.size();
  if (need > options_.max_bytes) {
    received_ += data.size();
    too_large_ = true;
    Stop();
    return Verdict::kStop;
  }
  if (!Grow(need, answer_.announced, oldest)) return stopped_ ? Verdict::kStop : Verdict::kPause;
  received_ += data.size();
  bytes_.append(data);
  Decide();
  return Verdict::kTaken;
}

bool BodyReader::Settle(bool oldest) {
  if (decoder_ && !stopped_ && !discarding_) Pull(oldest);
  return stopped_ || discarding_ || !decoder_ || !decoder_->HasPending();
}

std::string BodyReader::TakeDocument() {
  budget_.Release(decoder_held_);
  decoder_held_ = 0;
  decoder_.reset();
  // The buffer's memory now goes with the document.
  document_held_ = 0;
  return std::move(bytes_);
}

}  // namespace orvanel
