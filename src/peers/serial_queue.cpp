#include "peers/serial_queue.h"

#include <pthread.h>

namespace qur {

SerialQueue::SerialQueue(std::string name) : _name(std::move(name)) {
  _thread = std::thread([this] { run(); });
  std::unique_lock lock(_mutex);
  _threadID = _thread.get_id();
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(_mutex);
    _stop = true;
  }
  _cv.notify_all();
  if (std::this_thread::get_id() == _thread.get_id()) {
    _thread.detach();
  } else {
    _thread.join();
  }
}

void SerialQueue::addOperation(std::function<void()> block) {
  {
    std::lock_guard lock(_mutex);
    _blocks.push_back(std::move(block));
  }
  _cv.notify_one();
}

void SerialQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(_mutex);
  _idle.wait(lock, [this] { return _blocks.empty() && !_running; });
}

std::size_t SerialQueue::operationCount() const {
  std::lock_guard lock(_mutex);
  return _blocks.size() + (_running ? 1 : 0);
}

void SerialQueue::run() {
  // Thread names hold 15 characters; the full name stays in name().
  pthread_setname_np(pthread_self(), _name.substr(0, 15).c_str());
  std::unique_lock lock(_mutex);
  for (;;) {
    _cv.wait(lock, [this] { return _stop || !_blocks.empty(); });
    if (_blocks.empty()) break;  // stopping and drained
    auto block = std::move(_blocks.front());
    _blocks.pop_front();
    _running = true;
    lock.unlock();
    block();
    block = nullptr;  // captured objects go before the queue looks idle
    lock.lock();
    _running = false;
    if (_blocks.empty()) _idle.notify_all();
  }
  _idle.notify_all();
}

}  // namespace qur
