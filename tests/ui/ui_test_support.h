// Helpers for widget tests: running the Qt main queue, moving virtual time
// and running animations together, reading colours from grabbed pixels.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "signals/signal.h"
#include "signals/virtual_time_scheduler.h"

namespace qur::testing {

// Runs posted events and main-queue blocks until none are left.
void processMainQueue();
// Runs the event loop until the predicate holds or the timeout passes.
bool spinUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Runs the event loop for a while (for real threads to report).
void spinFor(std::chrono::milliseconds duration);

// Moves the virtual clock and every animation under the widget by the same
// amount, in steps, running main-queue work after each step. Animations are
// paused so that only this clock moves them.
void advance(VirtualTimeScheduler& scheduler, QWidget* root, double seconds, double step = 0.05);
void advanceAnimations(QWidget* root, double seconds);

QImage grabImage(QWidget* widget);
// Whether two colours match within a few units per channel (antialiasing,
// 8-bit rounding).
bool sameColour(const QColor& a, const QColor& b, int tolerance = 3);
// Pixels in the rectangle whose red, green and blue all exceed the level.
int brightPixels(const QImage& image, const QRect& rect, int level = 200);

// Collects every value a signal sends, from any thread.
template <class T>
class Recorder {
 public:
  explicit Recorder(const Signal<T>& signal) {
    _subscription = signal.subscribeNext([this](const T& value) {
      std::lock_guard lock(_mutex);
      _values.push_back(value);
    });
  }
  ~Recorder() {
    if (_subscription) _subscription->dispose();
  }
  std::vector<T> values() {
    std::lock_guard lock(_mutex);
    return _values;
  }

 private:
  std::mutex _mutex;
  std::vector<T> _values;
  DisposablePtr _subscription;
};

}  // namespace qur::testing
