#pragma once

#include <string>
#include <string_view>

namespace orvanel {

// Replaces `path` with `contents` so that the file is always either the old one or the
// new one, whole: the text goes to a temporary file in the same folder, is flushed to disk
// and renamed over the target. On failure the target is untouched, the temporary file is
// removed, and Failure is thrown with a description naming the file. The new file has
// `mode` when it is given, else the mode of the file it replaces, else the one the umask
// leaves of 0666, as for any new file.
void WriteFileAtomically(const std::string& path, std::string_view contents, int mode = -1);

// Whether `name` (a plain file name) is one the temporary files of a write to a file
// named `target_name` are given: "." + target_name + "." and six letters or digits.
bool IsTemporaryNameOf(std::string_view name, std::string_view target_name);

// Streams into a temporary file beside `path` and renames it into place at Commit().
// Destroying it without Commit removes the temporary file and leaves `path` untouched.
//
// With TempFile::kHidden the temporary file has no name until Commit gives it one just
// before the rename (O_TMPFILE), so that a process killed outright (SIGKILL, a lost
// machine) leaves nothing behind either; where the file system cannot do that, it is
// named as usual.
enum class TempFile { kNamed, kHidden };

class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::string path, int mode = -1,
                            TempFile temp = TempFile::kNamed);  // throws Failure
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  void Write(std::string_view data);  // throws Failure
  void Commit();                      // throws Failure
  // The temporary file, until Commit; empty while it is hidden.
  const std::string& temp_path() const { return temp_path_; }

 private:
  void NameHiddenFile();
  std::string path_;
  std::string temp_path_;
  std::string hidden_prefix_;  // of the name a hidden file takes at Commit
  int fd_ = -1;
  int exact_mode_ = -1;  // the mode the file must have exactly, if any
};

}  // namespace orvanel
