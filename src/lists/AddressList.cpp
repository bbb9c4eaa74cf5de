#include "lists/AddressList.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/Address.h"
#include "lists/InputToList.h"
#include "lists/ListText.h"
#include "shell/ErrorReport.h"
#include "storage/FileRead.h"
#include "storage/UniqueFd.h"
#include "text/Utf8.h"

namespace orvanel {

void AddressLineReader::Emit() {
  sink_(piece_);
  piece_.clear();
  ++lines_;
}

void AddressLineReader::Refuse(const std::string& what) const {
  throw Failure("line " + std::to_string(lines_ + 1) + " " + what);
}

void AddressLineReader::Feed(std::string_view bytes) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      if (after_cr_) {  // the LF of a CR LF pair
        after_cr_ = false;
        start = i + 1;
        continue;
      }
      piece_.append(bytes.substr(start, i - start));
      Emit();
      line_started_ = true;
      start = i + 1;
    } else if (c == '\r') {
      piece_.append(bytes.substr(start, i - start));
      Emit();
      line_started_ = false;
      after_cr_ = true;
      start = i + 1;
    } else {
      if (c == '\0' && refuse_nul_) Refuse("holds a NUL byte: this is not a text file");
      if (piece_.size() + (i + 1 - start) > max_line_) {
        Refuse("is longer than " + std::to_string(max_line_) + " bytes");
      }
      after_cr_ = false;
      line_started_ = true;
    }
  }
  if (start < bytes.size()) piece_.append(bytes.substr(start));
}

void AddressLineReader::Finish() {
  const bool keep_empty = line_started_ && final_line_end_ == FinalLineEnd::kGivesAnEmptyItem;
  if (keep_empty || !piece_.empty()) Emit();
  piece_.clear();
  line_started_ = false;
  after_cr_ = false;
}

void FileToList(ListView& list, const std::string& path, MessageBoxes& boxes, EventPump& pump) {
  if (!PathExists(path)) {
    boxes.Message("File not found", BoxStyle::kOk);
    return;
  }
  const UniqueFd file(OpenForReading(path.c_str()));
  if (file.get() < 0) throw ReadFailure(path, errno);

  TimedYield yield(pump);
  std::vector<std::string> batch;
  auto flush = [&] {
    list.AddMany(std::move(batch));
    batch.clear();
  };
  // Read as the companion reads a list: a byte-order mark (UTF-8 or UTF-16) is no part
  // of the first address, and a UTF-16 file gives its text.
  ListTextDecoder decoder(
      {}, AddressLineReader(
              [&](std::string_view item) {
                batch.push_back(ToUtf8Text(item));
                if (yield.Due()) {
                  flush();
                  yield.Yield();
                }
              },
              static_cast<std::size_t>(-1), /*refuse_nul=*/true, FinalLineEnd::kEndsTheLastLine));
  int error = 0;
  try {
    error = ReadChunks(file.get(), [&](std::string_view chunk) {
      decoder.Feed(chunk);
      if (yield.Due()) {
        flush();
        yield.Yield();
      }
    });
    if (error == 0) decoder.Finish();
  } catch (const Failure&) {
    // The decoder's only refusal: a NUL byte. The lines before it stay.
    flush();
    throw ReadFailure(path, "it is not a text file (it holds NUL bytes)");
  }
  flush();
  if (error != 0) throw ReadFailure(path, error);
}

void AddUrl(ListView& list, MessageBoxes& boxes) {
  AddAnswerToList(list, boxes, Command::kAddUrl, "Enter website address to add: ");
}

void LoadListFromTextFile(ListView& list, MessageBoxes& boxes, FileDialog& dialog,
                          EventPump& pump) {
  StepRunner runner(boxes, Command::kLoadUrlList);
  // Steps 100 to 106 prepare the dialog: an empty name, the flags, the title, the filter.
  std::string name;
  runner.Step(108, [&] { name = dialog.OpenFileName(kLoadListTitle, kTextFileFilter); });
  bool cancelled = false;
  runner.Step(110, [&] { cancelled = name.empty(); });
  if (cancelled) return;
  std::vector<std::string> pieces;
  runner.Step(112, [&] {
    std::size_t start = 0;
    for (;;) {
      const std::size_t nul = name.find('\0', start);
      pieces.push_back(
          name.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
      if (nul == std::string::npos) break;
      start = nul + 1;
    }
  });
  if (runner.Test(114, [&] { return pieces.size() > 1; })) {
    runner.Step(120, [&] { boxes.Message("Please select just one file.", BoxStyle::kOk); });
    return;
  }
  std::string path;
  runner.Step(116, [&] { path = pieces.at(0); });
  runner.Step(118, [&] { FileToList(list, path, boxes, pump); });
}

void ClearList(ListView& list, const WindowState& window, MessageBoxes& boxes) {
  StepRunner runner(boxes, Command::kClearUrlList);
  runner.Step(100, [&] {
    if (!window.IsBusy()) list.Clear();
  });
}

}  // namespace orvanel
