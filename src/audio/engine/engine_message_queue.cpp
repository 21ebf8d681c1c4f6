#include <pthread.h>

#include <cstring>
#include <vector>

#include "audio/engine/engine_message_queue.h"
#include "log/log.h"
#include "signals/main_queue.h"

namespace qur {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kExchangeWarning = std::chrono::seconds(1);

// Short waits first: a running device acknowledges within one cycle.
class Backoff {
 public:
  void pause() {
    if (_rounds++ < 20) {
      std::this_thread::yield();
      return;
    }
    std::this_thread::sleep_for(_sleep);
    _sleep = std::min(_sleep * 2, std::chrono::microseconds(1000));
  }

 private:
  int _rounds = 0;
  std::chrono::microseconds _sleep{50};
};

}  // namespace

EngineMessageQueue::EngineMessageQueue(AudioEngine* owner)
    : _owner(owner), _alive(std::make_shared<std::atomic<EngineMessageQueue*>>(this)) {
  circularBufferSetUp(&_cycleRing, kRingLength);
  circularBufferSetUp(&_otherRing, kRingLength);
}

EngineMessageQueue::~EngineMessageQueue() {
  stopPolling();
  _alive->store(nullptr);
  circularBufferTearDown(&_cycleRing);
  circularBufferTearDown(&_otherRing);
}

void EngineMessageQueue::closeCycles() {
  Backoff backoff;
  for (;;) {
    int expected = kGateOpen;
    if (_gate.compare_exchange_weak(expected, kGateClosed, std::memory_order_acquire) ||
        expected == kGateClosed) {
      return;
    }
    backoff.pause();
  }
}

void EngineMessageQueue::openCycles() {
  Backoff backoff;
  for (;;) {
    int expected = kGateClosed;
    if (_gate.compare_exchange_weak(expected, kGateOpen, std::memory_order_release) ||
        expected == kGateOpen) {
      return;
    }
    backoff.pause();
  }
}

// Runs the pending exchange here when no cycle is inside; a closed gate
// means no cycle can come, so the tables are ours as well.
bool EngineMessageQueue::tryRunExchangeHere() {
  for (const int from : {int(kGateOpen), int(kGateClosed)}) {
    int expected = from;
    if (_gate.compare_exchange_strong(expected, kGateHeld, std::memory_order_acquire)) {
      runPendingExchange();
      _gate.store(from, std::memory_order_release);
      return true;
    }
  }
  return false;
}

void EngineMessageQueue::perform(const std::function<void()>& block, const CycleSource& source) {
  if (insideCycle()) {
    // Called from a callback of the cycle itself: the tables are ours, and
    // waiting for the cycle to end would wait for ourselves.
    block();
    return;
  }
  std::lock_guard<std::mutex> lock(_exchangeMutex);
  _exchangeBlock = &block;
  const uint64_t ticket = _requested.load(std::memory_order_relaxed) + 1;
  _requested.store(ticket, std::memory_order_release);

  const auto start = std::chrono::steady_clock::now();
  auto lastProgress = start;
  uint64_t lastCycles = source.cycleCount ? source.cycleCount() : 0;
  bool warned = false;
  Backoff backoff;
  while (_acknowledged.load(std::memory_order_acquire) != ticket) {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t cycles = source.cycleCount ? source.cycleCount() : 0;
    if (cycles != lastCycles) {
      lastCycles = cycles;
      lastProgress = now;
    }
    // A stalled or lost device sends no cycle: do not wait for it.
    const bool waitForAudio =
        source.cyclesExpected && source.cyclesExpected() && now - lastProgress < source.grace;
    if (!waitForAudio && tryRunExchangeHere()) break;
    if (!warned && now - start > kExchangeWarning) {
      warned = true;
      QUR_LOG_ERROR("Engine: Timed out while performing message exchange");
    }
    backoff.pause();
  }
  _exchangeBlock = nullptr;
}

void EngineMessageQueue::drain(CircularBuffer* ring, std::unique_lock<std::mutex>& lock) {
  alignas(16) uint8_t small[256];
  std::vector<uint8_t> large;
  int32_t available = 0;
  while (auto* bytes = static_cast<uint8_t*>(circularBufferReadPointer(ring, &available))) {
    Header header;
    std::memcpy(&header, bytes, sizeof header);
    const int32_t padded = (header.length + 15) & ~15;
    uint8_t* copy = small;
    if (header.length > int32_t(sizeof small)) {
      large.resize(size_t(header.length));
      copy = large.data();
    }
    if (header.length > 0) std::memcpy(copy, bytes + sizeof header, size_t(header.length));
    circularBufferConsume(ring, int32_t(sizeof header) + padded);
    if (header.handler) {
      lock.unlock();
      header.handler(_owner, header.length > 0 ? copy : nullptr, header.length);
      lock.lock();
    }
  }
}

void EngineMessageQueue::processMainThreadMessages() {
  std::unique_lock<std::mutex> lock(_consumerMutex);
  _scheduled = false;
  drain(&_cycleRing, lock);
  drain(&_otherRing, lock);
  if (const int dropped = _dropped.exchange(0)) {
    QUR_LOG_ERROR("Engine: %d messages from the audio thread were dropped: ring full", dropped);
  }
}

bool EngineMessageQueue::hasMainThreadMessages() const {
  return circularBufferFillCount(&_cycleRing) > 0 || circularBufferFillCount(&_otherRing) > 0 ||
         _dropped.load(std::memory_order_relaxed) > 0;
}

void EngineMessageQueue::scheduleMainThreadMessages() {
  if (_scheduled.exchange(true)) return;
  std::weak_ptr<std::atomic<EngineMessageQueue*>> alive = _alive;
  mainQueue().post([alive] {
    // Posted blocks may outlive the engine; the token says whether it is still there.
    if (auto token = alive.lock()) {
      if (EngineMessageQueue* queue = token->load()) queue->processMainThreadMessages();
    }
  });
}

void EngineMessageQueue::startPolling() {
  if (_pollThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_pollMutex);
    _pollStop = false;
  }
  _pollThread = std::thread([this] { pollLoop(); });
}

void EngineMessageQueue::stopPolling() {
  if (!_pollThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(_pollMutex);
    _pollStop = true;
  }
  _pollCv.notify_all();
  _pollThread.join();
}

void EngineMessageQueue::pollLoop() {
  pthread_setname_np(pthread_self(), "QURAudioEnginePo");  // 15 characters at most
  std::unique_lock<std::mutex> lock(_pollMutex);
  while (!_pollCv.wait_for(lock, kPollInterval, [this] { return _pollStop; })) {
    if (hasMainThreadMessages()) scheduleMainThreadMessages();
  }
}

}  // namespace qur
