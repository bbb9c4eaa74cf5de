#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace orvanel {

// Where the program's settings live in the per-user store: the application name (the
// settings file is named after it) and the section.
inline constexpr const char* kSettingsApplication = "Dravikton";
inline constexpr const char* kSettingsSection = "Orvanel";

// The keys, the complete list. "Option" holds the selected extraction option as one digit,
// "Tags" the saved form of the tag list, "Snapshot" the record of the sample files.
inline constexpr const char* kOptionKey = "Option";
inline constexpr const char* kTagsKey = "Tags";
inline constexpr const char* kSnapshotKey = "Snapshot";

// The per-user settings store, under kSettingsApplication and kSettingsSection.
// Nothing is cached: every Get reads the store, every Save is on disk when it returns.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The stored text, or `fallback` when the key is absent. A stored empty text is returned
  // as the empty text.
  virtual std::string Get(const std::string& key, const std::string& fallback) = 0;
  // Throws Failure when the store cannot be written.
  virtual void Save(const std::string& key, const std::string& value) = 0;
};

// The clipboard's two operations. Each may fail transiently; callers retry.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  virtual bool Clear() = 0;
  virtual bool SetText(const std::string& text) = 0;
};

// Hands a file or folder to the desktop to open with its default application.
class Shell {
 public:
  virtual ~Shell() = default;
  // The answer is the desktop's; callers are free to ignore it.
  virtual bool Open(const std::string& path) = 0;
};

// The window's event loop, seen from a long command.
class EventPump {
 public:
  virtual ~EventPump() = default;
  // Processes pending window events once.
  virtual void ProcessEvents() = 0;
  // Processes events until `ready` is true, sleeping while nothing happens. Another thread
  // calls Wake after it changed what `ready` looks at.
  virtual void WaitUntil(const std::function<bool()>& ready) = 0;
  // Thread-safe.
  virtual void Wake() = 0;
};

enum class Pointer { kDefault, kBusy, kHand };

// The parts of the main window that commands change besides the lists.
class WindowState {
 public:
  virtual ~WindowState() = default;
  virtual Pointer GetPointer() const = 0;
  virtual void SetPointer(Pointer pointer) = 0;
  virtual void SetProgressValue(double percent) = 0;
  virtual void SetProgressText(const std::string& text) = 0;
  bool IsBusy() const { return GetPointer() == Pointer::kBusy; }
};

// While a run goes, the window is drawn, and the results table scrolled to its last row,
// at most this often: the run passes through the event loop once or twice per address,
// and drawing the lists at each pass cost ten times the run's own work.
inline constexpr int kRunRedrawIntervalMs = 150;

// Yields to the event loop at most every `interval`, so that a long command keeps the
// window responsive without paying for an event-loop pass per line, row or cell.
class TimedYield {
 public:
  explicit TimedYield(EventPump& pump,
                      std::chrono::milliseconds interval = std::chrono::milliseconds(15))
      : pump_(pump), interval_(interval), last_(std::chrono::steady_clock::now()) {}
  // True when a yield is due; the caller may flush pending work before calling Yield().
  bool Due() const { return std::chrono::steady_clock::now() - last_ >= interval_; }
  void Yield() {
    pump_.ProcessEvents();
    last_ = std::chrono::steady_clock::now();
  }
  void MaybeYield() {
    if (Due()) Yield();
  }

 private:
  EventPump& pump_;
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace orvanel
