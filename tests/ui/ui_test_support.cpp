#include "ui_test_support.h"

#include <QAbstractAnimation>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <cmath>

namespace qur::testing {

void processMainQueue() {
  for (int i = 0; i < 100; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

bool spinUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return predicate();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

void spinFor(std::chrono::milliseconds duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
}

void advanceAnimations(QWidget* root, double seconds) {
  const int ms = int(std::lround(seconds * 1000.0));
  for (auto* animation : root->findChildren<QAbstractAnimation*>()) {
    if (animation->state() == QAbstractAnimation::Stopped) continue;
    if (animation->state() == QAbstractAnimation::Running) animation->pause();
    // Reaching the end stops the animation and sends finished().
    animation->setCurrentTime(std::min(animation->totalDuration(), animation->currentTime() + ms));
  }
}

void advance(VirtualTimeScheduler& scheduler, QWidget* root, double seconds, double step) {
  processMainQueue();
  double done = 0.0;
  while (done + 1e-9 < seconds) {
    const double now = std::min(step, seconds - done);
    // New animations start at the moment their pulse fires: pause them before
    // real time moves them.
    scheduler.advanceBySeconds(now);
    processMainQueue();
    advanceAnimations(root, now);
    processMainQueue();
    done += now;
  }
}

QImage grabImage(QWidget* widget) {
  processMainQueue();
  return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

bool sameColour(const QColor& a, const QColor& b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

int brightPixels(const QImage& image, const QRect& rect, int level) {
  int count = 0;
  const QRect area = rect.intersected(image.rect());
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() > level && c.green() > level && c.blue() > level) ++count;
    }
  }
  return count;
}

}  // namespace qur::testing
