// A named serial operation queue: one background thread runs the blocks one
// at a time, in the order they were added.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
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
  // Shared with the thread, so a queue destroyed by one of its own blocks
  // (its owner's last reference went away there) leaves the thread a live
  // state to finish on.
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::condition_variable idle;
    std::deque<std::function<void()>> blocks;
    bool running = false;  // a block is executing
    bool stop = false;
  };
  static void run(const std::shared_ptr<State>& state, const std::string& name);

  const std::string _name;
  const std::shared_ptr<State> _state = std::make_shared<State>();
  std::thread _thread;
  std::thread::id _threadID;
};

}  // namespace qur
