// The audio thread's side of the engine's message queue: no allocation, no
// lock, no system call.
#include <cstring>

#include "audio/engine/engine_message_queue.h"

namespace qur {
namespace {

// The queue whose cycle this thread is inside, so that its sends need no lock.
thread_local const EngineMessageQueue* tCycleQueue = nullptr;

}  // namespace

bool EngineMessageQueue::enterCycle() {
  int expected = kGateOpen;
  if (!_gate.compare_exchange_strong(expected, kGateHeld, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
    _refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  tCycleQueue = this;
  return true;
}

bool EngineMessageQueue::insideCycle() const {
  return tCycleQueue == this;
}

void EngineMessageQueue::leaveCycle() {
  runPendingExchange();
  tCycleQueue = nullptr;
  _gate.store(kGateOpen, std::memory_order_release);
}

// Inside the gate, on whichever thread holds it.
void EngineMessageQueue::runPendingExchange() {
  const uint64_t requested = _requested.load(std::memory_order_acquire);
  if (requested == _acknowledged.load(std::memory_order_relaxed)) return;
  (*_exchangeBlock)();
  if (tCycleQueue == this) _audioExchanges.fetch_add(1, std::memory_order_relaxed);
  // The waiting side polls for this; nobody is woken from here.
  _acknowledged.store(requested, std::memory_order_release);
}

bool EngineMessageQueue::write(CircularBuffer* ring, AudioEngineMainThreadMessageHandler handler,
                               const void* data, int length) {
  if (length < 0 || (length > 0 && !data)) length = 0;
  const int32_t padded = (length + 15) & ~15;
  const int32_t total = int32_t(sizeof(Header)) + padded;
  int32_t space = 0;
  auto* out = static_cast<uint8_t*>(circularBufferWritePointer(ring, &space));
  if (!out || space < total) return false;
  const Header header{handler, length, 0};
  std::memcpy(out, &header, sizeof header);
  if (length > 0) std::memcpy(out + sizeof header, data, size_t(length));
  circularBufferProduce(ring, total);
  return true;
}

bool EngineMessageQueue::send(AudioEngineMainThreadMessageHandler handler, const void* data,
                              int length) {
  bool sent;
  if (tCycleQueue == this) {
    sent = write(&_cycleRing, handler, data, length);
  } else {
    // Not the audio thread: a worker or a test thread, which may wait.
    std::lock_guard<std::mutex> lock(_otherRingMutex);
    sent = write(&_otherRing, handler, data, length);
  }
  if (!sent) _dropped.fetch_add(1, std::memory_order_relaxed);
  return sent;
}

}  // namespace qur
