// How often the window is drawn during a run: requests to draw within the interval are
// held and come once it is over; nothing held is lost.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWidget>

#include "app/PaintThrottle.h"

using namespace orvanel;

namespace {

// Counts the requests to draw that reach it.
class Canvas : public QWidget {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::UpdateRequest) ++requests;
    return QWidget::event(e);
  }
  int requests = 0;
};

void RequestDrawing(QWidget& widget) {
  QEvent request(QEvent::UpdateRequest);
  QCoreApplication::sendEvent(&widget, &request);
}

}  // namespace

class PaintThrottleTest : public QObject {
  Q_OBJECT
 private slots:
  void requestsWithinTheIntervalComeOnceWhenItIsOver() {
    Canvas canvas;
    QElapsedTimer clock;
    clock.start();
    PaintThrottle throttle(&canvas, 1000);
    for (int i = 0; i < 5; ++i) RequestDrawing(canvas);
    QCOMPARE(canvas.requests, 0);
    QTRY_COMPARE_WITH_TIMEOUT(canvas.requests, 1, 30'000);
    QVERIFY(clock.elapsed() >= 1000);
    QVERIFY2(clock.elapsed() < 5000, "held far past the interval");  // when it is over
    // Drawn, the interval starts again: the next request is held.
    RequestDrawing(canvas);
    QCOMPARE(canvas.requests, 1);
  }

  void aRequestStillHeldWhenTheThrottleGoesIsSentThen() {
    Canvas canvas;
    {
      PaintThrottle throttle(&canvas, 60'000);
      RequestDrawing(canvas);
      QCOMPARE(canvas.requests, 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(canvas.requests, 1, 30'000);
    RequestDrawing(canvas);  // no longer held back
    QCOMPARE(canvas.requests, 2);
  }
};

QTEST_MAIN(PaintThrottleTest)
#include "PaintThrottleTest.moc"
