#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Failure.h"
#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"

namespace orvanel::testing {

// A view of a list that lets every change pass; a test overrides what it watches.
class QuietListViewObserver : public ListViewObserver {
 public:
  void BeginInsertRows(std::size_t, std::size_t) override {}
  void EndInsertRows() override {}
  void BeginRemoveRows(std::size_t, std::size_t) override {}
  void EndRemoveRows() override {}
  void BeginReset() override {}
  void EndReset() override {}
  void ColumnsChanged() override {}
  void CellChanged(std::size_t, std::size_t) override {}
  void Reveal(std::size_t) override {}
};

// Message and input boxes that record what they were asked and answer from a script.
class FakeBoxes : public MessageBoxes {
 public:
  struct Shown {
    std::string text;
    BoxStyle style;
    std::string title;
  };
  BoxAnswer Message(const std::string& text, BoxStyle style, const std::string& title) override {
    shown.push_back({text, style, title});
    if (on_message) on_message(text);
    if (style == BoxStyle::kYesNo) {
      if (yes_no.empty()) return BoxAnswer::kNo;
      const BoxAnswer a = yes_no.front();
      yes_no.pop_front();
      return a;
    }
    return BoxAnswer::kOk;
  }
  std::string Input(const std::string& prompt) override {
    prompts.push_back(prompt);
    if (inputs.empty()) return {};
    std::string a = inputs.front();
    inputs.pop_front();
    return a;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& s : shown) texts.push_back(s.text);
    return texts;
  }
  std::vector<Shown> shown;
  std::vector<std::string> prompts;
  std::deque<std::string> inputs;
  std::deque<BoxAnswer> yes_no;
  std::function<void(const std::string&)> on_message;  // runs while the box is "open"
};

class FakeFileDialog : public FileDialog {
 public:
  std::string OpenFileName(const std::string& title, const std::string& filter) override {
    calls.push_back({"open", title, filter});
    return Next();
  }
  std::string SaveFileName(const std::string& title, const std::string& filter) override {
    calls.push_back({"save", title, filter});
    return Next();
  }
  struct Call {
    std::string kind, title, filter;
  };
  std::vector<Call> calls;
  std::deque<std::string> answers;

 private:
  std::string Next() {
    if (answers.empty()) return {};
    std::string a = answers.front();
    answers.pop_front();
    return a;
  }
};

class FakeSettings : public SettingsStore {
 public:
  std::string Get(const std::string& key, const std::string& fallback) override {
    ++reads[key];
    const auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
  void Save(const std::string& key, const std::string& value) override {
    if (fail_saves) throw Failure("Settings store cannot be written");
    values[key] = value;
    saves.push_back({key, value});
  }
  std::map<std::string, std::string> values;
  std::map<std::string, int> reads;
  std::vector<std::pair<std::string, std::string>> saves;
  bool fail_saves = false;
};

class FakeClipboard : public Clipboard {
 public:
  bool Clear() override {
    ++clear_attempts;
    if (busy_attempts > 0) {
      --busy_attempts;
      return false;
    }
    text.reset();
    cleared = true;
    return true;
  }
  bool SetText(const std::string& t) override {
    ++set_attempts;
    if (busy_attempts > 0) {
      --busy_attempts;
      return false;
    }
    text = t;
    return true;
  }
  std::optional<std::string> text = std::string("earlier");
  bool cleared = false;
  int busy_attempts = 0;
  int clear_attempts = 0;
  int set_attempts = 0;
};

class FakeShell : public Shell {
 public:
  bool Open(const std::string& path) override {
    opened.push_back(path);
    return true;
  }
  std::vector<std::string> opened;
};

class FakePump : public EventPump {
 public:
  void ProcessEvents() override {
    ++passes;
    if (on_events) on_events();
  }
  void WaitUntil(const std::function<bool()>& ready) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ready()) {
      ProcessEvents();
      if (std::chrono::steady_clock::now() > deadline) throw Failure("wait timed out in test");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void Wake() override {}
  int passes = 0;
  std::function<void()> on_events;
};

class FakeWindow : public WindowState {
 public:
  Pointer GetPointer() const override { return pointer; }
  void SetPointer(Pointer p) override {
    pointer = p;
    pointer_history.push_back(p);
  }
  void SetProgressValue(double percent) override { values.push_back(percent); }
  void SetProgressText(const std::string& text) override { texts.push_back(text); }
  Pointer pointer = Pointer::kDefault;
  std::vector<Pointer> pointer_history;
  std::vector<double> values;
  std::vector<std::string> texts;
};

}  // namespace orvanel::testing
