#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

#include "shell/MessageBoxes.h"
#include "shell/Services.h"

class QWidget;

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

// Qt's own file dialog records its last folder and history in the user's
// "QtProject.conf"; this program keeps no last folder, so the dialogs read and write no
// such record (constructing one turns that record off for the whole process).
class QtFileDialog : public FileDialog {
 public:
  explicit QtFileDialog(QWidget* owner);
  std::string OpenFileName(const std::string& title, const std::string& filter) override;
  std::string SaveFileName(const std::string& title, const std::string& filter) override;

 private:
  QWidget* owner_;
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
  // Whether a wake-up event is on its way (shared with it: it may outlive the pump).
  std::shared_ptr<std::atomic<bool>> woken_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace orvanel
