#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

namespace orvanel {

// While it lives, `window` is painted at most every `interval_ms`: a paint request that
// comes sooner is held and sent again when the interval is over. Nothing that is shown
// changes, only how often it is drawn; a request still held when it goes is sent then.
// Lives on the window's thread, no longer than the window.
class PaintThrottle : public QObject {
 public:
  PaintThrottle(QWidget* window, int interval_ms);
  ~PaintThrottle() override;
  PaintThrottle(const PaintThrottle&) = delete;
  PaintThrottle& operator=(const PaintThrottle&) = delete;

  bool eventFilter(QObject* target, QEvent* event) override;

 private:
  void Resend();

  QWidget* window_;
  const int interval_ms_;
  QElapsedTimer since_;
  QTimer timer_;
  bool held_ = false;
};

}  // namespace orvanel
