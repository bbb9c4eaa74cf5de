#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

#include "platform/MessageBoxes.h"
#include "platform/Services.h"

class QWidget;
class QSettings;

namespace orvanel {

// Texts from the commands break lines with CR and CR LF; Qt breaks them with LF.
QString ToDisplayText(const std::string& text);

class QtMessageBoxes : public MessageBoxes {
 public:
  explicit QtMessageBoxes(QWidget* owner) : owner_(owner) {}
  BoxAnswer Message(const std::string& text, BoxStyle style, const std::string& title) override;
  std::string Input(const std::string& prompt) override;

 private:
  QWidget* owner_;
};

class QtFileDialog : public FileDialog {
 public:
  explicit QtFileDialog(QWidget* owner) : owner_(owner) {}
  std::string OpenFileName(const std::string& title, const std::string& filter) override;
  std::string SaveFileName(const std::string& title, const std::string& filter) override;

 private:
  QWidget* owner_;
};

// The settings in an INI file: by default the user's "Dravikton.ini" in the configuration
// folder, section "Orvanel". The file is readable and writable by its owner only.
class QtSettingsStore : public SettingsStore {
 public:
  QtSettingsStore();                               // the user's own store
  explicit QtSettingsStore(const QString& path);   // a given file (tests)
  ~QtSettingsStore() override;
  std::string Get(const std::string& key, const std::string& fallback) override;
  void Save(const std::string& key, const std::string& value) override;
  QString FileName() const;

 private:
  std::unique_ptr<QSettings> settings_;
};

class QtClipboard : public Clipboard {
 public:
  bool Clear() override;
  bool SetText(const std::string& text) override;
};

class QtShell : public Shell {
 public:
  bool Open(const std::string& path) override;
};

class QtEventPump : public EventPump {
 public:
  void ProcessEvents() override;
  void WaitUntil(const std::function<bool()>& ready) override;
  void Wake() override;

 private:
  std::atomic<bool> woken_{false};
};

}  // namespace orvanel
