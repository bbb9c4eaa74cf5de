#include "qt/QtServices.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QSettings>
#include <QUrl>

#include "base/Failure.h"

namespace orvanel {

QString ToDisplayText(const std::string& text) {
  QString shown = QString::fromUtf8(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

namespace {
QString Title(const std::string& title) {
  return title.empty() ? QString::fromUtf8(kProductName) : QString::fromUtf8(title);
}
}  // namespace

BoxAnswer QtMessageBoxes::Message(const std::string& text, BoxStyle style,
                                  const std::string& title) {
  QMessageBox box(owner_);
  box.setWindowTitle(Title(title));
  box.setText(ToDisplayText(text));
  box.setTextFormat(Qt::PlainText);
  switch (style) {
    case BoxStyle::kOk:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case BoxStyle::kYesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case BoxStyle::kOkWarning:
      box.setIcon(QMessageBox::Warning);
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  const int answer = box.exec();
  if (answer == QMessageBox::Yes) return BoxAnswer::kYes;
  if (answer == QMessageBox::No) return BoxAnswer::kNo;
  return BoxAnswer::kOk;
}

std::string QtMessageBoxes::Input(const std::string& prompt) {
  bool ok = false;
  const QString answer = QInputDialog::getText(owner_, Title({}), ToDisplayText(prompt),
                                               QLineEdit::Normal, QString(), &ok);
  return ok ? answer.toStdString() : std::string();
}

QtFileDialog::QtFileDialog(QWidget* owner) : owner_(owner) {
  // The dialog's record lives in a QSettings of the user scope; pointing that scope at a
  // place that can hold no file leaves every such read empty and every write undone.
  // The program's own settings do not go through QSettings.
  for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
    QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
  }
}

std::string QtFileDialog::OpenFileName(const std::string& title, const std::string& filter) {
  // One file, and any name may be typed: a name of nothing is the caller's to tell ("File
  // not found"), where Qt's dialog for existing files would refuse it with words of its own.
  QFileDialog dialog(owner_, QString::fromUtf8(title), QString(), QString::fromUtf8(filter));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? std::string() : files.first().toStdString();
}

std::string QtFileDialog::SaveFileName(const std::string& title, const std::string& filter) {
  // Replacing an existing file without a question, as users of this command expect.
  return QFileDialog::getSaveFileName(owner_, QString::fromUtf8(title), QString(),
                                      QString::fromUtf8(filter), nullptr,
                                      QFileDialog::DontConfirmOverwrite)
      .toStdString();
}

bool QtClipboard::Clear() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) return false;
  clipboard->clear();
  return true;
}

bool QtClipboard::SetText(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (!clipboard) return false;
  clipboard->setText(QString::fromUtf8(text));
  return true;
}

bool QtShell::Open(const std::string& path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(path)));
}

void QtEventPump::ProcessEvents() { QCoreApplication::processEvents(); }

void QtEventPump::WaitUntil(const std::function<bool()>& ready) {
  while (!ready()) {
    // Sleeps until an event arrives; Wake posts one when the awaited thing changes.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

void QtEventPump::Wake() {
  // One wake-up event waiting is enough, however many things changed meanwhile.
  if (woken_->exchange(true)) return;
  if (auto* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(
        app, [woken = woken_] { *woken = false; }, Qt::QueuedConnection);
  } else {
    *woken_ = false;
  }
}

}  // namespace orvanel
