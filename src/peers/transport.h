// The peer network thread: one asio io_context run by its own std::thread.
// Sockets, timers and discovery results of every session live there, and
// every session callback starts there.
#pragma once

#include <functional>
#include <memory>

namespace qur {

class Transport {
 public:
  // The process-wide transport every session uses unless given another.
  static std::shared_ptr<Transport> shared();

  Transport();
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Runs the block on the transport thread, in posting order.
  void post(std::function<void()> block);
  // Runs the block on the transport thread and waits for it (runs it at once
  // when already there, and on the caller once the thread has ended).
  void runSync(const std::function<void()>& block);
  // Like runSync, but once the thread has ended runs nothing and returns
  // false: for work that starts network operations, which must not begin
  // while the process is exiting.
  bool runSyncIfRunning(const std::function<void()>& block);
  bool isTransportThread() const;
  // Ends the thread; later blocks given to runSync run on the caller.
  void stop();

  struct Impl;
  Impl& impl() { return *_impl; }

 private:
  // Runs the block on the thread and waits; false when the thread ended
  // without running it.
  bool runOnThread(const std::function<void()>& block);

  std::unique_ptr<Impl> _impl;
};

}  // namespace qur
