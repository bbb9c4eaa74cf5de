#include "cli/Input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Failure.h"
#include "storage/FileRead.h"
#include "text/Utf8.h"

namespace orvanel {

ListTextDecoder::ListTextDecoder(std::string name, AddressLineReader::Sink sink)
    : name_(std::move(name)), reader_(std::move(sink), kMaxLineBytes, true) {}

void ListTextDecoder::FeedText(std::string_view text) {
  try {
    reader_.Feed(text);
  } catch (const Failure& f) {
    throw Failure(name_ + ": " + f.what());
  }
}

void ListTextDecoder::DecideForm() {
  std::string_view head = head_;
  std::size_t mark = 0;
  if (head.substr(0, 3) == "\xEF\xBB\xBF") {
    form_ = Form::kBytes;
    mark = 3;
  } else if (head.substr(0, 2) == "\xFF\xFE") {
    form_ = Form::kUtf16Le;
    mark = 2;
  } else if (head.substr(0, 2) == "\xFE\xFF") {
    form_ = Form::kUtf16Be;
    mark = 2;
  } else {
    form_ = Form::kBytes;
  }
  const std::string rest = head_.substr(mark);
  head_.clear();
  Dispatch(rest);
}

void ListTextDecoder::Feed(std::string_view bytes) {
  if (form_ != Form::kUnknown) return Dispatch(bytes);
  head_.append(bytes);
  if (head_.size() >= 3) DecideForm();  // a shorter file is decided at Finish
}

void ListTextDecoder::Dispatch(std::string_view bytes) {
  if (form_ == Form::kBytes) return FeedText(bytes);
  // UTF-16: pairs of bytes, surrogate pairs joined; a lone surrogate becomes U+FFFD.
  std::string text;
  std::string data = carry_;
  data.append(bytes);
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2) {
    const auto b0 = static_cast<unsigned char>(data[i]);
    const auto b1 = static_cast<unsigned char>(data[i + 1]);
    const char32_t unit = form_ == Form::kUtf16Le ? (b1 << 8 | b0) : (b0 << 8 | b1);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (high_surrogate_) AppendUtf8(text, 0xFFFD);
      high_surrogate_ = unit;
      continue;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      AppendUtf8(text, high_surrogate_
                           ? 0x10000 + ((high_surrogate_ - 0xD800) << 10) + (unit - 0xDC00)
                           : 0xFFFD);
      high_surrogate_ = 0;
      continue;
    }
    if (high_surrogate_) AppendUtf8(text, 0xFFFD);
    high_surrogate_ = 0;
    AppendUtf8(text, unit);
  }
  carry_ = data.substr(i);
  FeedText(text);
}

void ListTextDecoder::Finish() {
  if (form_ == Form::kUnknown) DecideForm();
  if (high_surrogate_ || !carry_.empty()) FeedText(kReplacementCharacter);
  high_surrogate_ = 0;
  carry_.clear();
  try {
    reader_.Finish();
  } catch (const Failure& f) {
    throw Failure(name_ + ": " + f.what());
  }
}

namespace {

std::string Describe(const std::string& name, int error) {
  return "cannot read " + name + ": " + std::strerror(error);
}

// Reads a regular file through from where it stands, then puts its offset back there.
template <typename F>
void ReadThrough(int fd, const std::string& name, F&& chunk) {
  const off_t start = std::max<off_t>(0, ::lseek(fd, 0, SEEK_CUR));
  const int error = ReadChunks(fd, chunk);
  ::lseek(fd, start, SEEK_SET);
  if (error != 0) throw Failure(Describe(name, error));
}

}  // namespace

AddressInput::AddressInput(const std::vector<std::string>& files, bool keep_blank)
    : keep_blank_(keep_blank) {
  try {
    for (const auto& name : files) {
      // Each file is opened here, once, and closed with the others from here on.
      File& f = files_.emplace_back();
      f.name = name == "-" ? "standard input" : name;
      f.fd = name == "-" ? 0 : OpenForReading(name.c_str());
      if (f.fd < 0) throw Failure(Describe(name, errno));
      struct stat st {};
      if (::fstat(f.fd, &st) != 0) throw Failure(Describe(f.name, errno));
      if (S_ISDIR(st.st_mode)) throw Failure("cannot read " + f.name + ": it is a folder");
      if (S_ISBLK(st.st_mode)) throw Failure("cannot read " + f.name + ": it is a block device");
      f.regular = S_ISREG(st.st_mode);
      if (f.regular) {
        // Refused text stops the run before anything is written.
        ListTextDecoder check(f.name, [](std::string_view) {});
        ReadThrough(f.fd, f.name, [&](std::string_view chunk) { check.Feed(chunk); });
        check.Finish();
      }
    }
  } catch (...) {
    for (const auto& f : files_) {
      if (f.fd > 2) ::close(f.fd);
    }
    throw;
  }
}

AddressInput::~AddressInput() {
  for (const auto& f : files_) {
    if (f.fd > 2) ::close(f.fd);
  }
}

int AddressInput::WaitFd() const {
  if (Done() || files_[current_].regular) return -1;
  return files_[current_].fd;
}

void AddressInput::ReadSome(std::deque<std::string>& out) {
  if (Done()) return;
  File& f = files_[current_];
  if (!decoder_) {
    decoder_ = std::make_unique<ListTextDecoder>(f.name, [this](std::string_view item) {
      if (keep_blank_ || !item.empty()) sink_->push_back(ToUtf8Text(item));
    });
  }
  sink_ = &out;
  char buffer[65536];
  ssize_t n;
  do {
    n = ::read(f.fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n < 0) throw Failure(Describe(f.name, errno));
  if (n > 0) {
    decoder_->Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    return;
  }
  decoder_->Finish();  // each file ends its own last line
  decoder_.reset();
  if (f.fd > 2) ::close(f.fd);
  f.fd = -1;
  ++current_;
}

std::vector<std::string> ReadTagFile(const std::string& path) {
  std::vector<std::string> tags;
  AddressInput input({path}, false);
  std::deque<std::string> lines;
  while (!input.Done()) input.ReadSome(lines);
  tags.assign(lines.begin(), lines.end());
  return tags;
}

}  // namespace orvanel
