// A background thread running a serial event loop forever, so repeating
// timers, stream polling and posted work can be serviced off the main thread.
// Everything attached to one thread runs on it one at a time, in request
// order; work requested before start() is kept and runs once the loop runs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qur {

class RunLoopTimer;
class RunLoopStream;

class RunLoopThread {
 public:
  // A new, not yet started thread named "QURRunLoopThread".
  RunLoopThread();
  // Stops the loop and joins the thread (detaches when called on the thread
  // itself). Work not yet run is dropped.
  ~RunLoopThread();
  RunLoopThread(const RunLoopThread&) = delete;
  RunLoopThread& operator=(const RunLoopThread&) = delete;

  // The process-wide instance, created on first use, not started; it lives
  // until the process ends.
  static std::shared_ptr<RunLoopThread> sharedInstance();

  // Set before start(); the platform thread name is cut to 15 bytes.
  void setName(const std::string& name);
  std::string name() const;

  // Starts the thread and its loop. Later calls do nothing.
  void start();
  bool isStarted() const;

  // Marks the thread cancelled. The loop itself never returns on its own, so
  // this has no effect on a running loop; stop() ends it.
  void cancel();
  bool isCancelled() const;
  // Ends the loop; the thread exits after the block in progress.
  void stop();

  // Any thread: adds the timer to this thread's loop, without waiting.
  void attachTimer(const std::shared_ptr<RunLoopTimer>& timer);
  // Any thread: has the stream schedule itself on this loop, without waiting.
  void scheduleRunLoopForStream(const std::shared_ptr<RunLoopStream>& stream);

  // Any thread: runs the block on this thread later, without waiting.
  void performBlock(std::function<void()> block);
  // Runs the block on this thread and waits for it (runs it at once when
  // called on this thread). Returns false, without running it, when the loop
  // is stopped before the block could run.
  bool performBlockAndWait(const std::function<void()>& block);
  // Runs the block; the target of performed work.
  void runBlockOnThread(const std::function<void()>& block) { block(); }

  bool isCurrentThread() const;

  struct Impl;  // the event loop, kept out of this header

 private:
  std::shared_ptr<Impl> _impl;
};

// A timer to attach to a RunLoopThread: fires its block on that thread after
// the interval, and again every interval when repeating (missed firings of a
// late loop are skipped, the phase is kept). Attach a timer once.
class RunLoopTimer {
 public:
  static std::shared_ptr<RunLoopTimer> create(std::chrono::nanoseconds interval, bool repeats,
                                              std::function<void()> block);
  ~RunLoopTimer();
  RunLoopTimer(const RunLoopTimer&) = delete;
  RunLoopTimer& operator=(const RunLoopTimer&) = delete;

  // Any thread. Ends further firings (one already under way on the loop
  // thread completes) and releases the block soon after. A one-shot timer
  // invalidates itself when it fires.
  void invalidate();
  bool isValid() const { return _valid.load(std::memory_order_acquire); }
  std::chrono::nanoseconds interval() const { return _interval; }
  bool repeats() const { return _repeats; }

 private:
  friend class RunLoopThread;
  friend struct RunLoopThread::Impl;
  struct Waiter;  // the event loop's timer; touched only on the loop thread
  RunLoopTimer(std::chrono::nanoseconds interval, bool repeats, std::function<void()> block);

  const std::chrono::nanoseconds _interval;
  const bool _repeats;
  std::function<void()> _block;
  std::atomic<bool> _valid{true};
  std::atomic<bool> _attached{false};
  std::mutex _ownerMutex;
  std::weak_ptr<void> _owner;  // the loop the timer is attached to
  std::unique_ptr<Waiter> _waiter;
};

// Something that delivers its events on a run-loop thread (a polled byte
// stream, for example). Scheduling calls scheduleInRunLoop on the thread.
class RunLoopStream {
 public:
  virtual ~RunLoopStream() = default;
  virtual void scheduleInRunLoop(RunLoopThread& thread) = 0;
};

}  // namespace qur
