#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvanel {

// Undoes the content codings of a response body: "gzip" (and "x-gzip"), "deflate" (with
// or without its zlib wrapper), "br", "zstd" and "identity", several at once when the
// header lists them ("gzip, br": the last listed is undone first).
//
// Output comes only when asked for and never more than asked: the compressed bytes wait
// inside until then, so a few kilobytes that decode to gigabytes cost nothing until the
// caller has room for what they hold.
//
// Threads: one object is used by one thread at a time.
class ContentDecoder {
 public:
  // A decoder for the codings of a Content-Encoding value; nullptr with `error` set when a
  // coding is unknown or more than five are stacked.
  static std::unique_ptr<ContentDecoder> Make(std::string_view content_encoding,
                                              std::string& error);
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // Keeps `input`, the next compressed bytes of the body, until they are decoded.
  void Feed(std::string_view input);
  // Appends at most `max_out` decoded bytes to `out`. False when the data is corrupt
  // (error() says why); nothing more comes then.
  bool Pull(std::size_t max_out, std::string& out);
  // Whether bytes fed are still waiting to be decoded.
  bool HasPending() const;
  // Memory held now by the decoding (windows, state, buffers), counted as allocated.
  std::size_t MemoryUsed() const;
  // Memory the decoding may hold once it goes on with what it was fed: what the streams'
  // headers ask for (at most 8 MiB of window for zstd, 16 MiB for br), or that bound while
  // a header is not in yet.
  std::size_t MemoryNeeded() const;
  const std::string& error() const { return error_; }

  class Stage;

 private:
  ContentDecoder() = default;
  struct Buffer {
    std::string bytes;
    std::size_t at = 0;  // bytes before this are consumed
    std::size_t left() const { return bytes.size() - at; }
  };
  // Tops up the input of stage `i` from the stages before it; false on corrupt data.
  // `moved` is set when any of them took or gave bytes.
  bool Refill(std::size_t i, bool& moved);
  bool RunStage(Stage& stage, Buffer& from, std::string& out, std::size_t room, bool& progress);
  std::vector<std::unique_ptr<Stage>> stages_;  // in the order they are undone
  std::vector<Buffer> inputs_;                  // one per stage
  std::string error_;
};

}  // namespace orvanel
