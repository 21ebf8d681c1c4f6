#include "wire/playthrough_message_sink.h"

namespace qur {

bool PlaythroughMessageSink::writeMessage(ByteMessage message) {
  // Hold the delegate only for the call, outside the lock, so it may replace
  // itself (or write again) from inside gotMessage.
  const std::shared_ptr<StreamSourceDelegate> target = delegate();
  if (!target) return false;
  target->gotMessage(message);
  return true;
}

std::shared_ptr<StreamSourceDelegate> PlaythroughMessageSink::delegate() const {
  std::lock_guard lock(_mutex);
  return _delegate.lock();
}

void PlaythroughMessageSink::setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) {
  std::lock_guard lock(_mutex);
  _delegate = std::move(delegate);
}

}  // namespace qur
