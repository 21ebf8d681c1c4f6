#include "signals/main_queue.h"

#include "log/thread_role.h"

#include <atomic>

namespace qur {
namespace {

std::mutex gQueueMutex;
std::shared_ptr<MainQueue> gQueue;

}  // namespace

void setMainQueue(std::shared_ptr<MainQueue> queue) {
  std::lock_guard lock(gQueueMutex);
  gQueue = std::move(queue);
}

std::shared_ptr<MainQueue> mainQueuePtr() {
  std::lock_guard lock(gQueueMutex);
  if (!gQueue) gQueue = std::make_shared<MainLoop>();
  return gQueue;
}

MainQueue& mainQueue() {
  return *mainQueuePtr();
}

MainLoop::MainLoop() : _owner(std::this_thread::get_id()) {}

void MainLoop::post(std::function<void()> block) {
  {
    std::lock_guard lock(_mutex);
    _blocks.push_back(std::move(block));
  }
  _cv.notify_one();
}

bool MainLoop::isMainThread() const {
  return std::this_thread::get_id() == _owner;
}

bool MainLoop::runOne(std::chrono::steady_clock::time_point deadline, bool wakeOnQuit) {
  std::function<void()> block;
  {
    std::unique_lock lock(_mutex);
    if (!_cv.wait_until(lock, deadline, [&] { return !_blocks.empty() || (wakeOnQuit && _quit); }))
      return false;
    if (_blocks.empty()) return false;
    block = std::move(_blocks.front());
    _blocks.pop_front();
  }
  // Running a main loop on the audio or a network thread is a mix-up.
  QUR_ASSERT_THREAD(ThreadRole::Main);
  ThreadRoleScope role(ThreadRole::Main);
  block();
  return true;
}

void MainLoop::run() {
  for (;;) {
    {
      std::lock_guard lock(_mutex);
      if (_quit) {
        _quit = false;
        return;
      }
    }
    runOne(std::chrono::steady_clock::now() + std::chrono::hours(24), true);
  }
}

bool MainLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    // Wake at least every 5 ms so predicates on state set by other threads are seen.
    const auto slice =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
    runOne(slice, false);
  }
  return true;
}

void MainLoop::runFor(std::chrono::milliseconds duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < deadline) runOne(deadline, false);
}

void MainLoop::drain() {
  while (runOne(std::chrono::steady_clock::now(), false)) {
  }
}

void MainLoop::quit() {
  {
    std::lock_guard lock(_mutex);
    _quit = true;
  }
  _cv.notify_all();
}

}  // namespace qur
