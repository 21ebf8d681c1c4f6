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
  // when already there).
  void runSync(const std::function<void()>& block);
  bool isTransportThread() const;
  // Ends the thread; later blocks given to runSync run on the caller.
  void stop();

  struct Impl;
  Impl& impl() { return *_impl; }

 private:
  std::unique_ptr<Impl> _impl;
};

}  // namespace qur
