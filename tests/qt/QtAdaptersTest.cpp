#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "TempDir.h"
#include "base/Failure.h"
#include "qt/QtListView.h"
#include "qt/QtServices.h"
#include "storage/IniSettingsStore.h"

using namespace orvanel;
using namespace orvanel::testing;

namespace {

// Once a dialog of type T is up, hands it to `act` (which closes it). Polls from the
// dialog's own event loop, for a minute at most.
template <typename T>
void WhenShown(std::function<void(T&)> act) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, [poll, act, tries = 0]() mutable {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (!dialog && ++tries < 6000) return;
    poll->stop();
    poll->deleteLater();
    if (dialog) act(*dialog);
  });
  poll->start(10);
}

}  // namespace

class QtAdaptersTest : public QObject {
  Q_OBJECT
 private slots:
  // Files written by earlier versions (through QSettings) and by this one must read the
  // same either way.
  void settingsFilesReadTheSameAsQSettingsReadsThem() {
    const std::vector<std::string> values = {"",
                                             "plain",
                                             "<title></title>|Dravikton|keywords|Dravikton|",
                                             " lead",
                                             "trail ",
                                             "a,b",
                                             "a;b",
                                             "a=b",
                                             "q\"uote",
                                             "back\\slash",
                                             "@at",
                                             "@@two",
                                             "tab\there",
                                             "nl\nx",
                                             "cr\rx",
                                             std::string("ctl\x01") + "1a",
                                             "unit\x1fsep",
                                             "caf\xC3\xA9 \xE6\x97\xA5",
                                             "\xF0\x9F\x98\x80",
                                             "x#y",
                                             "[sec]",
                                             "\x7F"};
    TempDir dir;
    const QString ours = QString::fromStdString(dir.path() + "/ours.ini");
    const QString theirs = QString::fromStdString(dir.path() + "/theirs.ini");
    {
      QSettings qt(theirs, QSettings::IniFormat);
      for (std::size_t i = 0; i < values.size(); ++i) {
        qt.setValue(QStringLiteral("Orvanel/k%1").arg(i), QString::fromStdString(values[i]));
      }
    }
    IniSettingsStore store(ours.toStdString());
    IniSettingsStore reader(theirs.toStdString());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::string key = "k" + std::to_string(i);
      store.Save(key, values[i]);
      QCOMPARE(reader.Get(key, "absent"), values[i]);
    }
    QSettings qt(ours, QSettings::IniFormat);
    QCOMPARE(qt.status(), QSettings::NoError);
    for (std::size_t i = 0; i < values.size(); ++i) {
      QCOMPARE(qt.value(QStringLiteral("Orvanel/k%1").arg(i)).toString().toStdString(), values[i]);
    }
    // Byte for byte what QSettings writes, so either program can edit the other's file.
    QCOMPARE(ReadAll(ours.toStdString()), ReadAll(theirs.toStdString()));
  }

  // Using the file dialogs leaves no record of folders behind.
  void fileDialogsKeepNoLastFolder() {
    TempDir config;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
    QtFileDialog dialogs(nullptr);
    // Each dialog is closed as soon as it is up, however long it takes to come.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
      if (QWidget* box = QApplication::activeModalWidget()) box->close();
    });
    closer.start(20);
    for (int i = 0; i < 2; ++i) {
      if (i == 0) {
        QCOMPARE(dialogs.OpenFileName("Open", kTextFileFilter), std::string());
      } else {
        QCOMPARE(dialogs.SaveFileName("Save", kTextFileFilter), std::string());
      }
    }
    qputenv("XDG_CONFIG_HOME", saved);
    QVERIFY(!std::filesystem::exists(config.path() + "/QtProject.conf"));
    QCOMPARE(std::distance(std::filesystem::directory_iterator(config.path()),
                           std::filesystem::directory_iterator()),
             0);
  }

  // Saving replaces a chosen file without asking again; the dialog bears the title given.
  void theSaveDialogAsksNothingMoreOfAnExistingFile() {
    QtFileDialog dialogs(nullptr);
    bool asks = true;
    QString title;
    WhenShown<QFileDialog>([&](QFileDialog& d) {
      asks = !d.testOption(QFileDialog::DontConfirmOverwrite);
      title = d.windowTitle();
      d.reject();
    });
    QCOMPARE(dialogs.SaveFileName("Save", kTextFileFilter), std::string());
    QVERIFY(!asks);
    QCOMPARE(title, QStringLiteral("Save"));
  }

  // The open dialog gives back a typed name of no file, for the caller to tell; a typed
  // folder's name opens that folder.
  void theOpenDialogTakesANameOfNoFile() {
    TempDir dir;
    std::filesystem::create_directory(dir.path() + "/sub");
    QtFileDialog dialogs(nullptr);
    bool warned = false;
    QTimer warnings;  // a box of the dialog's own is noted and closed
    QObject::connect(&warnings, &QTimer::timeout, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        warned = true;
        box->close();
      }
    });
    warnings.start(20);
    QString folder_shown;
    WhenShown<QFileDialog>([&](QFileDialog& d) {
      auto* name = d.findChild<QLineEdit*>();
      QVERIFY(name);
      name->setText(QString::fromStdString(dir.path() + "/sub"));
      static_cast<QDialog&>(d).accept();  // as its Open button does
      folder_shown = d.directory().absolutePath();
      name->setText(QString::fromStdString(dir.path() + "/missing.txt"));
      static_cast<QDialog&>(d).accept();  // as its Open button does
      if (d.isVisible()) d.reject();
    });
    QCOMPARE(dialogs.OpenFileName("Open", kTextFileFilter), dir.path() + "/missing.txt");
    QVERIFY(!warned);
    QCOMPARE(folder_shown, QString::fromStdString(dir.path() + "/sub"));
  }

  // An input box gives what was typed when it is accepted, and nothing when cancelled.
  void aCancelledInputGivesNothing() {
    QtMessageBoxes boxes(nullptr);
    for (const bool accepted : {true, false}) {
      WhenShown<QInputDialog>([accepted](QInputDialog& d) {
        d.setTextValue(QStringLiteral("typed"));
        accepted ? d.accept() : d.reject();
      });
      QCOMPARE(boxes.Input("Enter tag:"), std::string(accepted ? "typed" : ""));
    }
  }

  void clipboardAndTexts() {
    QtClipboard clipboard;
    QVERIFY(clipboard.SetText("caf\xC3\xA9\r\n"));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("café\r\n"));
    QCOMPARE(ToDisplayText("a\r\nb\r\rc"), QStringLiteral("a\nb\n\nc"));
  }

  void modelFollowsTheList() {
    ListView list;
    list.AddColumn("URL(s)");
    list.AddColumn("Title");
    ListWidget view(list, true);
    QCOMPARE(view.model()->columnCount(), 2);
    QSignalSpy inserted(view.model(), &QAbstractItemModel::rowsInserted);
    list.AddMany({"a", "b", "c"});
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), 0);
    QCOMPARE(inserted.at(0).at(2).toInt(), 2);
    list.SetSubItem(2, 1, "B");
    QCOMPARE(view.model()->rowCount(), 3);
    QCOMPARE(view.model()->index(1, 1).data().toString(), QStringLiteral("B"));
    QCOMPARE(view.model()->index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    list.SetColumnWidth(1, 2000);
    QCOMPARE(view.columnWidth(0), 133);
    view.selectionModel()->select(view.model()->index(2, 0),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QCOMPARE(list.Selected(), std::optional<std::size_t>(3));
    list.Remove(3);
    QCOMPARE(view.model()->rowCount(), 2);
    QCOMPARE(list.Selected(), std::nullopt);
    QSignalSpy removals(&view, &ListWidget::removeRequested);
    QTest::keyClick(&view, Qt::Key_Delete);
    QTest::keyClick(&view, Qt::Key_Backspace);
    QCOMPARE(removals.count(), 1);
    list.Clear();
    QCOMPARE(view.model()->rowCount(), 0);
    QCOMPARE(view.model()->columnCount(), 2);
  }

  // Only the first column of a checked list has boxes; a cell shows on one line; a change
  // of a cell repaints that cell.
  void modelShowsChecksAndCellsAsTheListHasThem() {
    ListView list;
    list.AddColumn("URL(s)");
    list.AddColumn("Title");
    ListWidget view(list, true);
    QAbstractItemModel& model = *view.model();
    list.AddMany({"a", "b"});
    list.SetSubItem(1, 1, "one\ttwo\r\nthree");
    QCOMPARE(model.index(0, 1).data().toString(), QStringLiteral("one two  three"));
    QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
    QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsUserCheckable));
    QVERIFY(!model.index(0, 1).data(Qt::CheckStateRole).isValid());
    QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(list.Checked(2));
    QVERIFY(!model.setData(model.index(0, 1), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(!list.Checked(1));
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    list.SetSubItem(2, 1, "B");
    QCOMPARE(changes.count(), 1);
    const auto changed = changes.at(0).at(0).value<QModelIndex>();
    QCOMPARE(changed.row(), 1);
    QCOMPARE(changed.column(), 1);
    // A box checked by the program shows at once.
    list.SetChecked(1, true);
    QCOMPARE(changes.count(), 2);
    QCOMPARE(changes.at(1).at(0).value<QModelIndex>(), model.index(0, 0));
    QCOMPARE(model.index(0, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Title"));
    QVERIFY(!model.headerData(2, Qt::Horizontal).isValid());
  }

  // A list without checks has no boxes anywhere, and no box can be set on it.
  void aListWithoutChecksHasNoBoxes() {
    ListView list;
    list.AddColumn("Tag(s)");
    list.AddMany({"a"});
    ListWidget view(list, false);
    QAbstractItemModel& model = *view.model();
    QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable));
    QVERIFY(!model.index(0, 0).data(Qt::CheckStateRole).isValid());
    QVERIFY(!model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(!list.Checked(1));
  }

  // A double click on a row asks for its removal, as the lists' hint says; the header is
  // measured again when its font changes.
  void aDoubleClickAsksToRemoveAndTheHeaderFollowsItsFont() {
    ListView list;
    list.AddColumn("URL(s)");
    list.AddMany({"a", "b"});
    ListWidget view(list, true);
    view.resize(300, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QSignalSpy removals(&view, &ListWidget::removeRequested);
    const QPoint second = view.visualRect(view.model()->index(1, 0)).center();
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, second);
    QCOMPARE(removals.count(), 1);
    QCOMPARE(list.Selected(), std::optional<std::size_t>(2));
    const int before = view.horizontalHeader()->sizeHint().height();
    QFont larger = view.font();
    larger.setPointSizeF(larger.pointSizeF() * 3);
    view.setFont(larger);
    QVERIFY(view.horizontalHeader()->sizeHint().height() > before);
  }

  // Boxes show their text as it is, never as markup a page or an address could carry,
  // with the buttons and icon of their style.
  void boxesShowPlainTextWithTheButtonsOfTheirStyle() {
    QtMessageBoxes boxes(nullptr);
    QString title, text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    const auto record = [&](QMessageBox& box, QMessageBox::StandardButton press) {
      title = box.windowTitle();
      text = box.text();
      format = box.textFormat();
      buttons = box.standardButtons();
      icon = box.icon();
      box.button(press)->click();
    };
    WhenShown<QMessageBox>([&](QMessageBox& box) { record(box, QMessageBox::No); });
    QCOMPARE(boxes.Message("URL <b>x</b>\r\nnext", BoxStyle::kYesNo, ""), BoxAnswer::kNo);
    QCOMPARE(title, QStringLiteral("Orvanel"));
    QCOMPARE(text, QStringLiteral("URL <b>x</b>\nnext"));
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(buttons, QMessageBox::Yes | QMessageBox::No);
    WhenShown<QMessageBox>([&](QMessageBox& box) { record(box, QMessageBox::Yes); });
    QCOMPARE(boxes.Message("Open?", BoxStyle::kYesNo, ""), BoxAnswer::kYes);
    WhenShown<QMessageBox>([&](QMessageBox& box) { record(box, QMessageBox::Ok); });
    QCOMPARE(boxes.Message("Failed", BoxStyle::kOkWarning, "Application Error"), BoxAnswer::kOk);
    QCOMPARE(title, QStringLiteral("Application Error"));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(icon, QMessageBox::Warning);
    WhenShown<QInputDialog>([](QInputDialog& dialog) {
      dialog.setTextValue(QStringLiteral("<title></title>"));
      dialog.accept();
    });
    QCOMPARE(boxes.Input("Enter tag:"), std::string("<title></title>"));
    WhenShown<QInputDialog>([](QInputDialog& dialog) {
      dialog.setTextValue(QStringLiteral("typed"));
      dialog.reject();
    });
    QCOMPARE(boxes.Input("Enter tag:"), std::string());
  }
};

QTEST_MAIN(QtAdaptersTest)
#include "QtAdaptersTest.moc"
