#include "ui/qt_main_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace qur {
namespace {

const QEvent::Type kBlockEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class BlockEvent final : public QEvent {
 public:
  explicit BlockEvent(std::function<void()> block) : QEvent(kBlockEvent), block(std::move(block)) {}
  std::function<void()> block;
};

}  // namespace

QtMainQueue::QtMainQueue() {
  // Events to this object are handled on the thread it lives on.
  if (QCoreApplication::instance()) moveToThread(QCoreApplication::instance()->thread());
}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> block) {
  // postEvent is thread-safe and keeps posting order for one receiver.
  QCoreApplication::postEvent(this, new BlockEvent(std::move(block)), Qt::NormalEventPriority);
}

bool QtMainQueue::isMainThread() const {
  return QThread::currentThread() == thread();
}

bool QtMainQueue::event(QEvent* event) {
  if (event->type() != kBlockEvent) return QObject::event(event);
  auto block = std::move(static_cast<BlockEvent*>(event)->block);
  if (block) block();
  return true;
}

std::shared_ptr<QtMainQueue> QtMainQueue::install() {
  auto queue = std::make_shared<QtMainQueue>();
  setMainQueue(queue);
  return queue;
}

}  // namespace qur
