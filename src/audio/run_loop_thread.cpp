#include "audio/run_loop_thread.h"

#include <pthread.h>

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
// The event loop's handler recycling uses fences, which the thread sanitizer
// does not model; GCC says so at every instantiation.
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <asio.hpp>
#include <condition_variable>
#include <unordered_set>

namespace qur {

struct RunLoopTimer::Waiter {
  explicit Waiter(asio::io_context& io) : timer(io) {}
  asio::steady_timer timer;
  std::chrono::steady_clock::time_point deadline;
};

struct RunLoopThread::Impl {
  // Declared before the loop so they outlive handlers destroyed with it.
  std::mutex waitMutex;
  std::condition_variable waitCv;
  bool exited = false;  // under waitMutex

  mutable std::mutex mutex;  // name and thread handle
  std::string name = "QURRunLoopThread";
  std::thread thread;
  std::atomic<std::thread::id> threadId{};
  std::atomic<bool> started{false};
  std::atomic<bool> cancelled{false};
  std::atomic<bool> stopped{false};

  asio::io_context io;
  // Keeps run() from returning for lack of work.
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  // Attached timers; loop thread only.
  std::unordered_set<std::shared_ptr<RunLoopTimer>> timers;

  void run();
  void attach(const std::shared_ptr<RunLoopTimer>& timer);
  void arm(const std::shared_ptr<RunLoopTimer>& timer,
           std::chrono::steady_clock::time_point deadline);
  void fired(const std::shared_ptr<RunLoopTimer>& timer, const asio::error_code& error);
  void retire(const std::shared_ptr<RunLoopTimer>& timer);
};

namespace {

// Linux keeps 15 bytes of a thread name; cut on a UTF-8 character boundary.
std::string platformThreadName(const std::string& name) {
  if (name.size() <= 15) return name;
  std::size_t cut = 15;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
}

}  // namespace

void RunLoopThread::Impl::run() {
  threadId.store(std::this_thread::get_id());
  std::string threadName;
  {
    std::lock_guard lock(mutex);
    threadName = name;
  }
  pthread_setname_np(pthread_self(), platformThreadName(threadName).c_str());
  while (!stopped.load()) {
    io.run();
    if (stopped.load()) break;
    io.restart();
  }
  for (const auto& timer : timers) {
    timer->_waiter.reset();
    timer->_block = nullptr;
  }
  timers.clear();
  std::lock_guard lock(waitMutex);
  exited = true;
  waitCv.notify_all();
}

void RunLoopThread::Impl::attach(const std::shared_ptr<RunLoopTimer>& timer) {
  if (!timer->isValid()) {
    timer->_block = nullptr;
    return;
  }
  timer->_waiter = std::make_unique<RunLoopTimer::Waiter>(io);
  timers.insert(timer);
  arm(timer, std::chrono::steady_clock::now() + timer->_interval);
}

void RunLoopThread::Impl::arm(const std::shared_ptr<RunLoopTimer>& timer,
                              std::chrono::steady_clock::time_point deadline) {
  RunLoopTimer::Waiter& waiter = *timer->_waiter;
  waiter.deadline = deadline;
  waiter.timer.expires_at(deadline);
  waiter.timer.async_wait([this, timer](const asio::error_code& error) { fired(timer, error); });
}

void RunLoopThread::Impl::fired(const std::shared_ptr<RunLoopTimer>& timer,
                                const asio::error_code& error) {
  if (!timer->_waiter) return;
  if (error || !timer->isValid()) {
    retire(timer);
    return;
  }
  if (!timer->_repeats) timer->_valid.store(false);
  timer->_block();
  if (!timer->isValid() || !timer->_waiter) {
    retire(timer);
    return;
  }
  const auto interval = timer->_interval;
  const auto now = std::chrono::steady_clock::now();
  auto next = timer->_waiter->deadline + interval;
  if (next <= now) {
    // A late loop skips the firings it missed and keeps the timer's phase.
    next = interval.count() > 0 ? next + ((now - next) / interval + 1) * interval : now;
  }
  arm(timer, next);
}

void RunLoopThread::Impl::retire(const std::shared_ptr<RunLoopTimer>& timer) {
  timer->_waiter.reset();
  // Drop what the block holds now rather than when the last owner lets go.
  timer->_block = nullptr;
  timers.erase(timer);
}

RunLoopThread::RunLoopThread() : _impl(std::make_shared<Impl>()) {}

RunLoopThread::~RunLoopThread() {
  stop();
  // Joined outside the lock: a thread that has only just started takes the
  // same lock to read its name.
  std::thread thread;
  {
    std::lock_guard lock(_impl->mutex);
    thread = std::move(_impl->thread);
  }
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // the thread body keeps the loop alive until it returns
    } else {
      thread.join();
    }
  }
}

std::shared_ptr<RunLoopThread> RunLoopThread::sharedInstance() {
  static auto* instance = new std::shared_ptr<RunLoopThread>(std::make_shared<RunLoopThread>());
  return *instance;
}

void RunLoopThread::setName(const std::string& name) {
  std::lock_guard lock(_impl->mutex);
  _impl->name = name;
}

std::string RunLoopThread::name() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->name;
}

void RunLoopThread::start() {
  std::lock_guard lock(_impl->mutex);
  if (_impl->started.exchange(true)) return;
  auto impl = _impl;
  _impl->thread = std::thread([impl] { impl->run(); });
}

bool RunLoopThread::isStarted() const {
  return _impl->started.load();
}

void RunLoopThread::cancel() {
  _impl->cancelled.store(true);
}

bool RunLoopThread::isCancelled() const {
  return _impl->cancelled.load();
}

void RunLoopThread::stop() {
  std::lock_guard lock(_impl->mutex);
  _impl->stopped.store(true);
  _impl->io.stop();
  if (!_impl->started.load()) {
    // No thread will ever report its exit: release anyone waiting on work.
    std::lock_guard waitLock(_impl->waitMutex);
    _impl->exited = true;
    _impl->waitCv.notify_all();
  }
}

void RunLoopThread::attachTimer(const std::shared_ptr<RunLoopTimer>& timer) {
  if (!timer || timer->_attached.exchange(true)) return;
  {
    std::lock_guard lock(timer->_ownerMutex);
    timer->_owner = _impl;
  }
  Impl* impl = _impl.get();
  asio::post(impl->io, [impl, timer] { impl->attach(timer); });
}

void RunLoopThread::scheduleRunLoopForStream(const std::shared_ptr<RunLoopStream>& stream) {
  if (!stream) return;
  // Handlers run only while the loop runs, which ends before this object does.
  asio::post(_impl->io, [this, stream] { stream->scheduleInRunLoop(*this); });
}

void RunLoopThread::performBlock(std::function<void()> block) {
  asio::post(_impl->io, std::move(block));
}

bool RunLoopThread::performBlockAndWait(const std::function<void()>& block) {
  if (isCurrentThread()) {
    block();
    return true;
  }
  if (_impl->stopped.load()) return false;
  auto impl = _impl;
  struct Outcome {
    bool done = false;
    bool ran = false;
  };
  auto outcome = std::make_shared<Outcome>();
  // Reports when the posted work is gone: run, or dropped with the loop. It
  // lives inside the loop's queue, so it must not own the loop.
  struct Signal {
    Impl* impl = nullptr;
    std::shared_ptr<Outcome> outcome;
    bool ran = false;
    ~Signal() {
      std::lock_guard lock(impl->waitMutex);
      outcome->done = true;
      outcome->ran = ran;
      impl->waitCv.notify_all();
    }
  };
  auto signal = std::make_shared<Signal>();
  signal->impl = impl.get();
  signal->outcome = outcome;
  asio::post(impl->io, [signal, &block] {
    block();
    signal->ran = true;
  });
  signal.reset();
  std::unique_lock lock(impl->waitMutex);
  impl->waitCv.wait(lock, [&] { return outcome->done || impl->exited; });
  return outcome->done && outcome->ran;
}

bool RunLoopThread::isCurrentThread() const {
  return _impl->threadId.load() == std::this_thread::get_id();
}

RunLoopTimer::RunLoopTimer(std::chrono::nanoseconds interval, bool repeats,
                           std::function<void()> block)
    : _interval(interval), _repeats(repeats), _block(std::move(block)) {}

RunLoopTimer::~RunLoopTimer() = default;

std::shared_ptr<RunLoopTimer> RunLoopTimer::create(std::chrono::nanoseconds interval, bool repeats,
                                                   std::function<void()> block) {
  return std::shared_ptr<RunLoopTimer>(new RunLoopTimer(interval, repeats, std::move(block)));
}

void RunLoopTimer::invalidate() {
  _valid.store(false);
  std::shared_ptr<void> owner;
  {
    std::lock_guard lock(_ownerMutex);
    owner = _owner.lock();
  }
  if (!owner) return;
  // Wake the pending wait now so the block and what it holds are released.
  auto* impl = static_cast<RunLoopThread::Impl*>(owner.get());
  RunLoopTimer* self = this;
  asio::post(impl->io, [impl, self] {
    for (const auto& timer : impl->timers) {
      if (timer.get() == self) {
        if (timer->_waiter) timer->_waiter->timer.cancel();
        break;
      }
    }
  });
}

}  // namespace qur
