// The main queue over Qt's event loop: blocks posted from any thread run on
// the GUI thread, in posting order, between other events. One loop only.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "signals/main_queue.h"

namespace qur {

class QtMainQueue final : public QObject, public MainQueue {
 public:
  // Main thread, after the QApplication exists: the GUI thread becomes the main thread.
  QtMainQueue();
  ~QtMainQueue() override;

  // Any thread.
  void post(std::function<void()> block) override;
  bool isMainThread() const override;

  // Main thread: the QtMainQueue now installed as the process's main queue.
  static std::shared_ptr<QtMainQueue> install();

 protected:
  bool event(QEvent* event) override;
};

}  // namespace qur
