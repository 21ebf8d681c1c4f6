#include "peers/serial_queue.h"

#include <pthread.h>

namespace qur {

SerialQueue::SerialQueue(std::string name) : _name(std::move(name)) {
  _thread = std::thread([state = _state, name = _name] { run(state, name); });
  _threadID = _thread.get_id();
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(_state->mutex);
    _state->stop = true;
  }
  _state->cv.notify_all();
  if (std::this_thread::get_id() == _thread.get_id()) {
    _thread.detach();
  } else {
    _thread.join();
  }
}

void SerialQueue::addOperation(std::function<void()> block) {
  {
    std::lock_guard lock(_state->mutex);
    _state->blocks.push_back(std::move(block));
  }
  _state->cv.notify_one();
}

void SerialQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(_state->mutex);
  _state->idle.wait(lock, [this] { return _state->blocks.empty() && !_state->running; });
}

std::size_t SerialQueue::operationCount() const {
  std::lock_guard lock(_state->mutex);
  return _state->blocks.size() + (_state->running ? 1 : 0);
}

void SerialQueue::run(const std::shared_ptr<State>& state, const std::string& name) {
  // Thread names hold 15 characters; the full name stays in name().
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->cv.wait(lock, [&] { return state->stop || !state->blocks.empty(); });
    if (state->blocks.empty()) break;  // stopping and drained
    auto block = std::move(state->blocks.front());
    state->blocks.pop_front();
    state->running = true;
    lock.unlock();
    block();
    block = nullptr;  // captured objects go before the queue looks idle
    lock.lock();
    state->running = false;
    if (state->blocks.empty()) state->idle.notify_all();
  }
  state->idle.notify_all();
}

}  // namespace qur
