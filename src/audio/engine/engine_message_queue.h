// The engine's messages between its audio thread and the main thread.
//
// Audio -> main: handler calls with a copy of their user data, through a
// ring the cycle's thread fills without a lock; any other thread that sends
// goes through a second ring under a mutex. A poll thread asks the main queue
// to run them every 0.1 s.
//
// Main -> audio: one exchange at a time. The main side posts a block and
// collects the acknowledgement itself (the audio thread only stores a
// sequence number, so it never wakes anybody). When no cycle comes, the main
// side takes the cycle gate and runs the block itself.
//
// The cycle gate is what makes the audio thread one thread: whoever enters a
// cycle holds it, and a second caller is turned away instead of rendering.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "audio/circular_buffer.h"

namespace qur {

class AudioEngine;
using AudioEngineMainThreadMessageHandler = void (*)(AudioEngine* engine, void* userData,
                                                     int userDataLength);

class EngineMessageQueue {
 public:
  static constexpr int kRingLength = 8192;

  explicit EngineMessageQueue(AudioEngine* owner);
  ~EngineMessageQueue();
  EngineMessageQueue(const EngineMessageQueue&) = delete;
  EngineMessageQueue& operator=(const EngineMessageQueue&) = delete;

  // ---- Cycle gate (audio thread) ----
  // Takes the gate for one cycle; false when another thread holds it or
  // cycles are closed, and the caller must then leave the engine alone.
  bool enterCycle();
  // Runs the pending exchange, if any, then lets go of the gate.
  void leaveCycle();
  // Whether the calling thread is inside one of this queue's cycles.
  bool insideCycle() const;
  // Cycles turned away because another thread was inside or cycles were closed.
  uint64_t refusedCycles() const { return _refused.load(std::memory_order_relaxed); }

  // ---- Cycle gate (main side) ----
  // Turns every later cycle away and returns once none is inside.
  void closeCycles();
  void openCycles();

  // ---- Audio -> main ----
  // Any thread; from the thread inside a cycle it is allocation-, lock- and
  // system-call-free. Returns false when the message was dropped (ring full).
  bool send(AudioEngineMainThreadMessageHandler handler, const void* data, int length);
  // Main thread: runs the handler of every message sent so far, in order per ring.
  void processMainThreadMessages();
  bool hasMainThreadMessages() const;

  // ---- Main -> audio ----
  // Any thread but the audio thread (exchanges are serialised). Runs `block`
  // inside the gate: on the audio thread at the end of its next cycle, or
  // here when no cycle comes within `grace` while `cyclesExpected` says so
  // (cyclesCount tells whether cycles are still coming).
  struct CycleSource {
    std::function<bool()> cyclesExpected;
    std::function<uint64_t()> cycleCount;
    std::chrono::milliseconds grace{50};
  };
  void perform(const std::function<void()>& block, const CycleSource& source);
  // Exchanges run on the audio thread (the rest ran on the calling thread).
  uint64_t exchangesOnAudioThread() const { return _audioExchanges.load(); }

  // ---- Poll thread ----
  // Main thread.
  void startPolling();
  void stopPolling();

 private:
  struct Header {
    AudioEngineMainThreadMessageHandler handler;
    int32_t length;
    int32_t padding;
  };
  static bool write(CircularBuffer* ring, AudioEngineMainThreadMessageHandler handler,
                    const void* data, int length);
  void drain(CircularBuffer* ring, std::unique_lock<std::mutex>& lock);
  bool tryRunExchangeHere();
  void runPendingExchange();
  void scheduleMainThreadMessages();
  void pollLoop();

  AudioEngine* _owner;

  enum : int { kGateOpen = 0, kGateHeld = 1, kGateClosed = 2 };
  std::atomic<int> _gate{kGateClosed};  // opened by the engine's start()
  std::atomic<uint64_t> _refused{0};

  CircularBuffer _cycleRing;  // producer: the thread inside the cycle
  CircularBuffer _otherRing;  // producers: everybody else, one at a time
  std::mutex _otherRingMutex;
  std::atomic<int> _dropped{0};
  std::mutex _consumerMutex;  // one consumer of the rings at a time

  std::mutex _exchangeMutex;  // one exchange at a time
  const std::function<void()>* _exchangeBlock = nullptr;
  std::atomic<uint64_t> _requested{0};
  std::atomic<uint64_t> _acknowledged{0};
  std::atomic<uint64_t> _audioExchanges{0};

  std::shared_ptr<std::atomic<EngineMessageQueue*>> _alive;
  std::atomic<bool> _scheduled{false};
  std::thread _pollThread;
  std::mutex _pollMutex;
  std::condition_variable _pollCv;
  bool _pollStop = false;
};

}  // namespace qur
