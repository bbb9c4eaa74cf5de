#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "lists/AddressList.h"

namespace orvanel {

// The longest address line read, in bytes.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// Text read from a list or tag file: a UTF-8 byte-order mark is skipped, a UTF-16 file (by
// its byte-order mark) is turned into UTF-8, lines are split as the desktop loader splits
// them, and a NUL byte or a line longer than kMaxLineBytes is refused with a Failure that
// names the file and the line.
class ListTextDecoder {
 public:
  ListTextDecoder(std::string name, AddressLineReader::Sink sink);
  void Feed(std::string_view bytes);
  void Finish();

 private:
  void FeedText(std::string_view text);
  void DecideForm();
  void Dispatch(std::string_view bytes);
  enum class Form { kUnknown, kBytes, kUtf16Le, kUtf16Be };
  std::string name_;
  AddressLineReader reader_;
  Form form_ = Form::kUnknown;
  std::string head_;  // the first bytes, until the form is known
  std::string carry_;  // an odd byte of UTF-16
  char32_t high_surrogate_ = 0;
};

// The address files of one run. Every file is opened (once) and checked when the object
// is made, before anything is written: it must exist, be readable, and be a regular file
// or a stream (pipe, terminal, socket, character device), not a folder; a regular file is
// also read through once for NUL bytes and overlong lines. Then the addresses are read in
// order as they are needed, never blocking: a stream is read only when the caller has
// seen (with poll) that it can be.
class AddressInput {
 public:
  // "-" is standard input. Throws Failure for the first file that cannot be used.
  AddressInput(const std::vector<std::string>& files, bool keep_blank);
  ~AddressInput();
  AddressInput(const AddressInput&) = delete;
  AddressInput& operator=(const AddressInput&) = delete;

  // The descriptor to wait on before ReadSome, or -1 when ReadSome will not block (a
  // regular file) or everything is read.
  int WaitFd() const;
  // Reads one chunk from the current file and appends its complete addresses to `out`.
  // Throws Failure on a read error or refused text.
  void ReadSome(std::deque<std::string>& out);
  bool Done() const { return current_ >= files_.size(); }

 private:
  struct File {
    std::string name;
    int fd = -1;
    bool regular = false;
  };
  std::vector<File> files_;
  std::size_t current_ = 0;
  bool keep_blank_;
  std::unique_ptr<ListTextDecoder> decoder_;
  std::deque<std::string>* sink_ = nullptr;
};

// Reads a tag file whole (bounded like an address file). Blank lines are skipped.
std::vector<std::string> ReadTagFile(const std::string& path);

}  // namespace orvanel
