#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "codec/ContentDecoder.h"
#include "fetch/Fetcher.h"
#include "fetch/MemoryBudget.h"

namespace orvanel {

// What becomes of the bytes of one answer's body: undone from its content coding, held
// within the memory budget, shown to the caller's test after every piece and cut where it
// is decided; a body past its cap is refused. Every byte it holds (the document's buffer,
// the decoder's windows) is counted in the budget from the moment it is held until the
// reader is destroyed, or, for the document, until the caller who takes it releases it.
//
// Threads: the fetcher's worker only.
class BodyReader {
 public:
  // After a decision, at most this much more of an HTTP/1 body is read (and dropped) in
  // the hope that the answer ends and its connection can be used again.
  static constexpr std::size_t kDrainBudget = 64 * 1024;
  // ...and for at most this long: the rest is only worth a connection kept.
  static constexpr std::chrono::seconds kDrainTime{1};
  // A decoded document grows by at least this much at a time.
  static constexpr std::size_t kDecodeStep = 16 * 1024;

  struct Answer {
    long status = 0;
    bool multiplexed = false;  // HTTP/2: a stream can be stopped at no cost
    std::string content_type;
    std::string content_encoding;
    long long announced = -1;  // Content-Length, when sent
    bool redirect = false;     // the body of a redirect: read and dropped
  };

  using Decided = std::function<std::size_t(std::string_view, std::string_view, bool)>;
  BodyReader(MemoryBudget& budget, const FetcherOptions& options, const Decided& decided);
  ~BodyReader();
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;

  // The answer's facts, known at its first body byte. False (with error() set) when its
  // content coding is not known.
  bool Begin(Answer answer);
  bool begun() const { return begun_; }

  enum class Verdict { kTaken, kPause, kStop };
  // A piece of the body as it came. kPause: not taken, there is no room now (the oldest
  // wanted document always has room); kStop: nothing more is wanted.
  Verdict Feed(std::string_view data, bool oldest);
  // After the body ended: decodes what still waits, as room allows. True once nothing
  // waits any more.
  bool Settle(bool oldest);

  long status() const { return answer_.status; }
  const std::string& content_type() const { return answer_.content_type; }
  bool cut_early() const { return cut_early_; }
  // Nothing more of the body is kept: the page is decided, or the body is a redirect's.
  bool draining() const { return discarding_; }
  // The length of the beginning that fixes the caller's rows, once decided; 0 before.
  std::size_t decided_at() const { return decided_at_; }
  // The body was read to its end: a document not decided before is judged whole, once.
  void Ended();
  // What that judgement gave: the beginning that reads as the whole; 0 when none.
  std::size_t enough_at() const { return enough_at_; }
  bool too_large() const { return too_large_; }
  const std::string& error() const { return error_; }
  std::uint64_t received() const { return received_; }
  // The room it last found missing in the budget: what it waits for when held back.
  std::size_t wanted() const { return wanted_; }
  // Whether `document` (taken from this reader) is every byte the body brought: not
  // decoded, nothing cut or dropped.
  bool kept_all(const std::string& document) const {
    return !coded_ && received_ == document.size();
  }
  // The document; its memory stays counted in the budget until whoever holds it releases
  // MemoryBudget::HeapBytes of it. The decoder's memory is released here.
  std::string TakeDocument();

 private:
  void Decide();
  bool Grow(std::size_t need, long long announced, bool oldest);
  void Pull(bool oldest);
  void Account();  // brings the decoder's count in the budget up to what it uses
  void Stop() { stopped_ = true; }

  MemoryBudget& budget_;
  const FetcherOptions& options_;
  Decided decided_;
  Answer answer_;
  bool begun_ = false;
  std::unique_ptr<ContentDecoder> decoder_;
  bool coded_ = false;  // the body came in a content coding
  std::string bytes_;
  std::size_t document_held_ = 0;  // counted in the budget for bytes_
  std::size_t decoder_held_ = 0;   // counted for the decoder
  std::uint64_t received_ = 0;     // every byte of the body taken, kept or not
  std::size_t wanted_ = 0;
  std::size_t drain_left_ = 0;  // after a decision, or for a redirect's body
  bool discarding_ = false;
  bool stopped_ = false;
  bool cut_early_ = false;
  std::size_t decided_at_ = 0;
  std::size_t enough_at_ = 0;
  bool too_large_ = false;
  std::string error_;
};

}  // namespace orvanel
