#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lists/AddressList.h"
#include "lists/ListText.h"

namespace orvanel {

// The longest address line read, in bytes.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// The lines of a list or tag file as the companion takes them: a NUL byte or a line longer
// than kMaxLineBytes is refused with a Failure that names the line.
inline AddressLineReader ListReader(AddressLineReader::Sink sink) {
  return AddressLineReader(std::move(sink), kMaxLineBytes, true, FinalLineEnd::kEndsTheLastLine);
}

// A file as the kernel knows it, to tell whether two names are one file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The address files of one run. Every file is opened (once) and checked when the object
// is made, before anything is written: it must exist, be readable, and be a regular file
// or a stream (pipe, terminal, socket, character device), not a folder; a regular file is
// also read through once for NUL bytes and overlong lines. Then the addresses are read in
// order as they are needed, never blocking: a stream is read only when the caller has
// seen (with poll) that it can be.
class AddressInput {
 public:
  // "-" is `standard_input`. Throws Failure for the first file that cannot be used.
  AddressInput(const std::vector<std::string>& files, bool keep_blank, int standard_input = 0);
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
  // The files that could be written to (regular files and named pipes), to refuse an
  // output that is one of them.
  std::vector<FileIdentity> WritableIdentities() const;

 private:
  struct File {
    std::string name;
    int fd = -1;
    bool owned = false;
    bool regular = false;
    bool fifo = false;
    FileIdentity identity;
  };
  void CloseAll();
  std::vector<File> files_;
  std::size_t current_ = 0;
  bool keep_blank_;
  std::unique_ptr<ListTextDecoder> decoder_;
  std::deque<std::string>* sink_ = nullptr;
};

// Reads a tag file whole (bounded like an address file). Blank lines are skipped.
std::vector<std::string> ReadTagFile(const std::string& path);

}  // namespace orvanel
