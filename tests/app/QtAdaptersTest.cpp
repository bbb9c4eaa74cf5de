#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <cstdlib>
#include <QClipboard>
#include <QSignalSpy>
#include <QTest>

#include "TempDir.h"
#include "platform/Failure.h"
#include "platform/qt/QtListView.h"
#include "platform/qt/QtServices.h"

using namespace orvanel;
using namespace orvanel::testing;

class QtAdaptersTest : public QObject {
  Q_OBJECT
 private slots:
  void settingsReadAfreshAndSaveAtOnce() {
    TempDir dir;
    const QString path = QString::fromStdString(dir.path() + "/Dravikton.ini");
    QtSettingsStore store(path);
    QCOMPARE(store.Get("Option", "1"), std::string("1"));
    store.Save("Tags", "");
    QCOMPARE(store.Get("Tags", "default"), std::string());  // stored empty is not absent
    store.Save("Tags", "<title></title>|Dravikton|");
    // Another copy of the program sees the value at once, and the file is the owner's only.
    QtSettingsStore other(path);
    QCOMPARE(other.Get("Tags", ""), std::string("<title></title>|Dravikton|"));
    other.Save("Option", "3");
    QCOMPARE(store.Get("Option", "1"), std::string("3"));
    struct stat st {};
    QCOMPARE(::stat(path.toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    QVERIFY(ReadAll(path.toStdString()).find("[Orvanel]") != std::string::npos);
  }

  void garbledOrUnwritableStoresAreHandled() {
    TempDir dir;
    const std::string path = dir.File("Dravikton.ini", "\x01\xff[Orvanel\nOption\n=\n[[[\0garbage");
    QtSettingsStore garbled(QString::fromStdString(path));
    QCOMPARE(garbled.Get("Option", "1"), std::string("1"));
    if (::geteuid() == 0) QSKIP("root can write anywhere");
    ::chmod(dir.path().c_str(), 0500);
    ::chmod(path.c_str(), 0400);
    bool failed = false;
    try {
      garbled.Save("Option", "2");
    } catch (const Failure&) {
      failed = true;
    }
    ::chmod(dir.path().c_str(), 0700);
    QVERIFY(failed);
  }

  void aFailedSaveLeavesTheEarlierFileWhole() {
    // A full disk: a tiny tmpfs filled to the brim.
    TempDir dir;
    const std::string mount_point = dir.path() + "/small";
    QDir().mkpath(QString::fromStdString(mount_point));
    if (::geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=16k tmpfs " + mount_point + " 2>/dev/null").c_str()) != 0) {
      QSKIP("needs a small tmpfs");
    }
    const QString path = QString::fromStdString(mount_point + "/Dravikton.ini");
    {
      QtSettingsStore store(path);
      store.Save("Tags", "a|Dravikton|");
    }
    const std::string before = ReadAll(path.toStdString());
    std::system(("dd if=/dev/zero of=" + mount_point + "/filler bs=1k count=64 2>/dev/null").c_str());
    QtSettingsStore store(path);
    bool failed = false;
    try {
      store.Save("Tags", std::string(8000, 'x'));
    } catch (const Failure& f) {
      failed = true;
      QVERIFY(std::string(f.what()).find("Cannot save the setting Tags") != std::string::npos);
    }
    QVERIFY(failed);
    QCOMPARE(ReadAll(path.toStdString()), before);
    QtSettingsStore reread(path);
    QCOMPARE(reread.Get("Tags", ""), std::string("a|Dravikton|"));
    std::system(("umount " + mount_point).c_str());
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
    list.AddMany({"a", "b", "c"});
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
};

QTEST_MAIN(QtAdaptersTest)
#include "QtAdaptersTest.moc"
