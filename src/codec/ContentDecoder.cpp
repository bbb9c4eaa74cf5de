#include "codec/ContentDecoder.h"

#include <brotli/decode.h>
#include <zlib.h>
// The allocator and size estimates of zstd are in its advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace orvanel {

// One coding, undone a piece at a time, in the manner of zlib's inflate: reads from `in`,
// writes to `out`, moving both along.
class ContentDecoder::Stage {
 public:
  enum class Result { kMore, kEnd, kError };
  virtual ~Stage() = default;
  virtual Result Run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) = 0;
  virtual const char* name() const = 0;
  // The memory this stage may take once it has seen its input's header: its window and
  // state, as the header asks for them (a bound until then).
  virtual std::size_t Needed(std::string_view input) const = 0;
  bool ended = false;
  // Memory its library holds now, counted by the allocator it was given.
  std::size_t allocated = 0;
  // The last run filled its output: more may come without more input.
  bool maybe_more = false;
  // Why the last run failed, when it is more than corrupt data.
  std::string why;
};

namespace {

constexpr std::size_t kMaxStages = 5;
constexpr std::size_t kStageBuffer = 64 * 1024;

using Result = ContentDecoder::Stage::Result;
using Stage = ContentDecoder::Stage;

// Every allocation of the libraries is counted against its stage, so that what a stream
// makes them hold is known (a small header can ask for megabytes of window). Each block
// carries its size in front.
constexpr std::size_t kHeader = alignof(std::max_align_t);
void* Allocate(void* stage, std::size_t size) {
  auto* block = static_cast<char*>(std::malloc(size + kHeader));
  if (!block) return nullptr;
  std::memcpy(block, &size, sizeof size);
  static_cast<Stage*>(stage)->allocated += size;
  return block + kHeader;
}
void Release(void* stage, void* address) {
  if (!address) return;
  char* block = static_cast<char*>(address) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  static_cast<Stage*>(stage)->allocated -= size;
  std::free(block);
}

class Identity final : public ContentDecoder::Stage {
 public:
  Result Run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) override {
    const std::size_t n = std::min(in_left, out_left);
    std::copy(in, in + n, out);
    in += n;
    in_left -= n;
    out += n;
    out_left -= n;
    return Result::kMore;
  }
  const char* name() const override { return "identity"; }
  std::size_t Needed(std::string_view) const override { return 0; }
};

// gzip, or deflate: zlib-wrapped as the standard says, or raw as some servers send it
// (told apart by the first two bytes, which a zlib stream opens with a checked header).
class Inflate final : public ContentDecoder::Stage {
 public:
  explicit Inflate(bool gzip) : gzip_(gzip) {
    if (gzip) Init(15 + 32);
  }
  ~Inflate() override {
    if (started_) inflateEnd(&z_);
  }
  Result Run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) override {
    if (!started_) {
      if (in_left < 2) return Result::kMore;  // the header is not in yet
      const auto cmf = static_cast<unsigned char>(in[0]);
      const auto flg = static_cast<unsigned char>(in[1]);
      const bool zlib = (cmf & 0x0F) == 8 && (cmf * 256 + flg) % 31 == 0;
      Init(zlib ? 15 : -15);
    }
    const std::size_t chunk_in = std::min<std::size_t>(in_left, 1u << 30);
    const std::size_t chunk_out = std::min<std::size_t>(out_left, 1u << 30);
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    z_.avail_in = static_cast<uInt>(chunk_in);
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = static_cast<uInt>(chunk_out);
    const int rc = inflate(&z_, Z_NO_FLUSH);
    const std::size_t used = chunk_in - z_.avail_in;
    const std::size_t made = chunk_out - z_.avail_out;
    in += used;
    in_left -= used;
    out += made;
    out_left -= made;
    if (rc == Z_STREAM_END) return Result::kEnd;
    if (rc == Z_OK || rc == Z_BUF_ERROR) return Result::kMore;
    return Result::kError;
  }
  const char* name() const override { return gzip_ ? "gzip" : "deflate"; }
  // A 32 KiB window and zlib's state, whatever the stream says.
  std::size_t Needed(std::string_view) const override { return 48 * 1024; }

 private:
  void Init(int window_bits) {
    z_ = z_stream{};
    z_.zalloc = [](void* opaque, uInt items, uInt size) {
      return Allocate(opaque, static_cast<std::size_t>(items) * size);
    };
    z_.zfree = [](void* opaque, void* address) { Release(opaque, address); };
    z_.opaque = this;
    inflateInit2(&z_, window_bits);
    started_ = true;
  }
  bool gzip_;
  bool started_ = false;
  z_stream z_{};
};

class Brotli final : public ContentDecoder::Stage {
  static constexpr std::size_t kTables = 256 * 1024;
  static constexpr std::size_t kLargest = (std::size_t{1} << 24) + kTables;

 public:
  Brotli() : state_(BrotliDecoderCreateInstance(&Allocate, &Release, this)) {}
  ~Brotli() override { BrotliDecoderDestroyInstance(state_); }
  Result Run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) override {
    if (!state_) return Result::kError;
    auto* next_in = reinterpret_cast<const uint8_t*>(in);
    auto* next_out = reinterpret_cast<uint8_t*>(out);
    const std::size_t before_in = in_left;
    const std::size_t before_out = out_left;
    const auto rc =
        BrotliDecoderDecompressStream(state_, &in_left, &next_in, &out_left, &next_out, nullptr);
    in += before_in - in_left;
    out += before_out - out_left;
    if (rc == BROTLI_DECODER_RESULT_SUCCESS) return Result::kEnd;
    if (rc == BROTLI_DECODER_RESULT_ERROR) return Result::kError;
    return Result::kMore;
  }
  const char* name() const override { return "br"; }
  // The window the stream's first bits ask for (RFC 7932, 9.1), and the decoder's tables.
  std::size_t Needed(std::string_view input) const override {
    if (input.empty()) return kLargest;
    const auto bits =
        static_cast<unsigned char>(input[0]) |
        (input.size() > 1 ? static_cast<unsigned>(static_cast<unsigned char>(input[1])) << 8 : 0u);
    int window_bits = 16;
    if (bits & 1) {
      const unsigned n = (bits >> 1) & 7;
      if (n != 0) {
        window_bits = 17 + static_cast<int>(n);
      } else {
        const unsigned m = (bits >> 4) & 7;
        if (m == 1 || input.size() < 2) return kLargest;  // large window: refused below anyway
        window_bits = m == 0 ? 17 : 8 + static_cast<int>(m);
      }
    }
    return (std::size_t{1} << window_bits) + kTables;
  }

 private:
  BrotliDecoderState* state_;
};

// zstd frames, one after another until the input ends.
class Zstd final : public ContentDecoder::Stage {
  static constexpr int kWindowLogMax = 23;

 public:
  Zstd() : dctx_(ZSTD_createDCtx_advanced({&Allocate, &Release, this})) {
    // The window a frame may ask for is bounded as browsers bound it (8 MiB).
    if (dctx_) ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, kWindowLogMax);
  }
  ~Zstd() override { ZSTD_freeDCtx(dctx_); }
  Result Run(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) override {
    if (!dctx_) return Result::kError;
    ZSTD_inBuffer input{in, in_left, 0};
    ZSTD_outBuffer output{out, out_left, 0};
    const std::size_t rc = ZSTD_decompressStream(dctx_, &output, &input);
    in += input.pos;
    in_left -= input.pos;
    out += output.pos;
    out_left -= output.pos;
    if (ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge)
      why = "zstd data asks for a window larger than 8 MiB";
    return ZSTD_isError(rc) ? Result::kError : Result::kMore;
  }
  const char* name() const override { return "zstd"; }
  // What the frame's header asks for; the largest window accepted until it is in.
  std::size_t Needed(std::string_view input) const override {
    const std::size_t need = ZSTD_estimateDStreamSize_fromFrame(input.data(), input.size());
    return ZSTD_isError(need) ? ZSTD_estimateDStreamSize(std::size_t{1} << kWindowLogMax) : need;
  }

 private:
  ZSTD_DCtx* dctx_;
};

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

std::unique_ptr<ContentDecoder::Stage> MakeStage(std::string_view coding) {
  if (SameNoCase(coding, "gzip") || SameNoCase(coding, "x-gzip"))
    return std::make_unique<Inflate>(true);
  if (SameNoCase(coding, "deflate")) return std::make_unique<Inflate>(false);
  if (SameNoCase(coding, "br")) return std::make_unique<Brotli>();
  if (SameNoCase(coding, "zstd")) return std::make_unique<Zstd>();
  if (SameNoCase(coding, "identity")) return std::make_unique<Identity>();
  return nullptr;
}

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::Make(std::string_view content_encoding,
                                                     std::string& error) {
  std::unique_ptr<ContentDecoder> decoder(new ContentDecoder);
  std::vector<std::string_view> codings;
  while (!content_encoding.empty()) {
    const std::size_t comma = content_encoding.find(',');
    const std::string_view coding = Trimmed(content_encoding.substr(0, comma));
    if (!coding.empty()) codings.push_back(coding);
    if (comma == std::string_view::npos) break;
    content_encoding.remove_prefix(comma + 1);
  }
  if (codings.size() > kMaxStages) {
    error = "More than " + std::to_string(kMaxStages) + " content codings stacked";
    return nullptr;
  }
  // The coding listed last was applied last: it is undone first.
  for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
    auto stage = MakeStage(*it);
    if (!stage) {
      error = "Unknown content coding \"" + std::string(*it) + "\"";
      return nullptr;
    }
    decoder->stages_.push_back(std::move(stage));
  }
  if (decoder->stages_.empty()) decoder->stages_.push_back(std::make_unique<Identity>());
  decoder->inputs_.resize(decoder->stages_.size());
  return decoder;
}

ContentDecoder::~ContentDecoder() = default;

void ContentDecoder::Feed(std::string_view input) {
  Buffer& first = inputs_.front();
  if (first.at == first.bytes.size()) {
    first.bytes.clear();
    first.at = 0;
  }
  first.bytes.append(input);
}

std::size_t ContentDecoder::MemoryUsed() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    total += stages_[i]->allocated + inputs_[i].bytes.capacity();
  }
  return total;
}

std::size_t ContentDecoder::MemoryNeeded() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    const Buffer& in = inputs_[i];
    const std::size_t stage =
        stages_[i]->ended ? stages_[i]->allocated
                          : std::max(stages_[i]->allocated,
                                     stages_[i]->Needed(std::string_view(in.bytes).substr(in.at)));
    total += stage + std::max(in.bytes.capacity(), i == 0 ? 0 : kStageBuffer);
  }
  return total;
}

bool ContentDecoder::HasPending() const {
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    if (stages_[i]->ended) continue;
    if (inputs_[i].left() > 0 || stages_[i]->maybe_more) return true;
  }
  return false;
}

// Runs `stage` from `from` into `out` (at most `room` bytes appended); false on corrupt
// data. `progress` tells whether it took or gave anything.
bool ContentDecoder::RunStage(Stage& stage, Buffer& from, std::string& out, std::size_t room,
                              bool& progress) {
  const std::size_t start = out.size();
  out.resize(start + room);
  const char* in = from.bytes.data() + from.at;
  const std::size_t before = from.left();
  std::size_t in_left = before;
  char* at = out.data() + start;
  std::size_t out_left = room;
  const Stage::Result rc = stage.Run(in, in_left, at, out_left);
  from.at = from.bytes.size() - in_left;
  out.resize(start + room - out_left);
  progress = in_left != before || out_left != room;
  stage.maybe_more = out_left == 0;
  if (rc == Stage::Result::kError) {
    error_ = stage.why.empty() ? std::string("Corrupt ") + stage.name() + " data" : stage.why;
    return false;
  }
  if (rc == Stage::Result::kEnd) {
    stage.ended = true;
    stage.maybe_more = false;
  }
  return true;
}

bool ContentDecoder::Refill(std::size_t i, bool& moved) {
  // Stage i - 1 decodes into the input of stage i, which holds at most a buffer's worth.
  if (i == 0) return true;  // the first stage is fed by the caller
  Buffer& target = inputs_[i];
  if (target.left() >= kStageBuffer / 2) return true;
  target.bytes.erase(0, target.at);
  target.at = 0;
  if (!Refill(i - 1, moved)) return false;
  Stage& source = *stages_[i - 1];
  if (source.ended) return true;
  bool progress = false;
  if (!RunStage(source, inputs_[i - 1], target.bytes, kStageBuffer - target.left(), progress))
    return false;
  moved |= progress;
  return true;
}

bool ContentDecoder::Pull(std::size_t max_out, std::string& out) {
  if (!error_.empty()) return false;
  const std::size_t last = stages_.size() - 1;
  Stage& stage = *stages_[last];
  while (max_out > 0 && !stage.ended) {
    bool moved = false;
    if (!Refill(last, moved)) return false;
    const std::size_t before = out.size();
    bool progress = false;
    if (!RunStage(stage, inputs_[last], out, std::min(max_out, kStageBuffer), progress))
      return false;
    max_out -= out.size() - before;
    // Nothing moved anywhere: every stage waits for bytes not fed yet.
    if (!progress && !moved) break;
  }
  return true;
}

}  // namespace orvanel
