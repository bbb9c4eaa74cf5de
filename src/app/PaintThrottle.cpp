#include "app/PaintThrottle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

namespace orvanel {

PaintThrottle::PaintThrottle(QWidget* window, int interval_ms)
    : window_(window), interval_ms_(interval_ms) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { Resend(); });
  since_.start();
  window_->installEventFilter(this);
}

PaintThrottle::~PaintThrottle() {
  window_->removeEventFilter(this);
  if (held_) Resend();
}

bool PaintThrottle::eventFilter(QObject* target, QEvent* event) {
  if (target != window_ || event->type() != QEvent::UpdateRequest) return false;
  const qint64 elapsed = since_.elapsed();
  if (elapsed >= interval_ms_) {
    since_.restart();
    return false;  // painted now
  }
  held_ = true;
  if (!timer_.isActive()) timer_.start(static_cast<int>(interval_ms_ - elapsed));
  return true;
}

void PaintThrottle::Resend() {
  held_ = false;
  QCoreApplication::postEvent(window_, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

}  // namespace orvanel
