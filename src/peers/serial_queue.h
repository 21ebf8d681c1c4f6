// A named serial operation queue: one background thread runs the blocks one
// at a time, in the order they were added.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qur {

class SerialQueue {
 public:
  explicit SerialQueue(std::string name);
  // Runs what is already queued, then stops.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void addOperation(std::function<void()> block);
  // Blocks until every operation added so far has run (not from the queue itself).
  void waitUntilAllOperationsAreFinished();
  bool isCurrentQueue() const { return std::this_thread::get_id() == _threadID; }
  const std::string& name() const { return _name; }
  std::size_t operationCount() const;

 private:
  void run();

  const std::string _name;
  mutable std::mutex _mutex;
  std::condition_variable _cv;
  std::condition_variable _idle;
  std::deque<std::function<void()>> _blocks;
  bool _running = false;  // a block is executing
  bool _stop = false;
  std::thread _thread;
  std::thread::id _threadID;
};

}  // namespace qur
