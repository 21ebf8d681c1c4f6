// The main thread's work queue. The CLI and the tests run a MainLoop; the Qt
// application installs an adapter over its event loop. Everything described as
// "on the main thread" (engine messages, main-thread scheduler, bindings) is
// posted here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qur {

class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Runs the block later on the main thread, in posting order. Thread-safe.
  virtual void post(std::function<void()> block) = 0;
  // Whether the calling thread is the main thread.
  virtual bool isMainThread() const = 0;
};

// Installs the process-wide main queue (at start-up, before any other thread
// posts). Passing nullptr restores the default MainLoop.
void setMainQueue(std::shared_ptr<MainQueue> queue);
// The installed queue; a default MainLoop owned by the first caller's thread
// if none was installed.
MainQueue& mainQueue();
std::shared_ptr<MainQueue> mainQueuePtr();

// Our own main loop: the thread that constructs it is the main thread, and
// only that thread runs it.
class MainLoop : public MainQueue {
 public:
  MainLoop();
  void post(std::function<void()> block) override;
  bool isMainThread() const override;

  // Runs blocks until quit() is called.
  void run();
  // Runs blocks until the predicate holds (checked after each block) or the
  // timeout passes. Returns whether the predicate held.
  bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
  // Runs blocks for the given time.
  void runFor(std::chrono::milliseconds duration);
  // Runs every block already posted (and those they post), without waiting.
  void drain();
  void quit();

 private:
  bool runOne(std::chrono::steady_clock::time_point deadline, bool wakeOnQuit);

  std::thread::id _owner;
  std::mutex _mutex;
  std::condition_variable _cv;
  std::deque<std::function<void()>> _blocks;
  bool _quit = false;
};

}  // namespace qur
