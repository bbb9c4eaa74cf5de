#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"

namespace orvanel {

// What the line end at the very end of an address file gives.
enum class FinalLineEnd {
  // Nothing: the file's last line end only ends its last line ("a\n" is one item, as
  // "a\r\n" is). What the window's loader does.
  kEndsTheLastLine,
  // After a lone LF, one more, empty item ("a\n" is "a" and ""): the piece after the last
  // LF of a line is kept even when empty, whatever comes after it.
  kGivesAnEmptyItem,
};

// Cuts the bytes of an address file into items: CR, CR LF and a lone LF each end an
// item; nothing is trimmed or skipped, and a blank line gives an empty item. Feed it
// chunks of any size.
class AddressLineReader {
 public:
  using Sink = std::function<void(std::string_view item)>;
  // With `max_line`, a line longer than that many bytes throws Failure naming its number;
  // with `refuse_nul`, so does a NUL byte (the input is not text).
  explicit AddressLineReader(Sink sink, std::size_t max_line = static_cast<std::size_t>(-1),
                             bool refuse_nul = false,
                             FinalLineEnd final_line_end = FinalLineEnd::kGivesAnEmptyItem)
      : sink_(std::move(sink)),
        max_line_(max_line),
        refuse_nul_(refuse_nul),
        final_line_end_(final_line_end) {}
  void Feed(std::string_view bytes);
  void Finish();

 private:
  void Emit();
  [[noreturn]] void Refuse(const std::string& what) const;

  Sink sink_;
  std::size_t max_line_;
  bool refuse_nul_;
  FinalLineEnd final_line_end_;
  std::size_t lines_ = 0;
  std::string piece_;
  bool line_started_ = false;  // a piece after a lone LF, kept even when empty
  bool after_cr_ = false;
};

// Appends the lines of the file at `path` to `list` (see AddressLineReader; the file's
// last line end gives no item of its own, FinalLineEnd::kEndsTheLastLine). The file
// is read as bytes: valid UTF-8 stays, anything else is read as windows-1252. Items
// appear as they are read, and the window gets its events at least every 20 ms.
// "File not found" when the path names nothing. Throws Failure when the file cannot be
// read or is not text (it holds NUL bytes); the items appended before stay.
void FileToList(ListView& list, const std::string& path, MessageBoxes& boxes, EventPump& pump);

// Add URL (PushButton3).
void AddUrl(ListView& list, MessageBoxes& boxes);

// Load List Of URLs From Text File (PushButton5).
void LoadListFromTextFile(ListView& list, MessageBoxes& boxes, FileDialog& dialog, EventPump& pump);

// Clear List (PushButton16): nothing while the window is busy.
void ClearList(ListView& list, const WindowState& window, MessageBoxes& boxes);

inline constexpr const char* kLoadListTitle =
    "Add File(s) - Use Ctrl & Shift to select multiple files";

}  // namespace orvanel
