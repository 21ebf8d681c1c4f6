#include "peers/transport.h"

#include <cstdlib>
#include <future>
#include <mutex>

#include "log/log.h"
#include "peers/transport_io.h"

namespace qur {

namespace {

// Statics are destroyed in reverse order of their making. Made while the
// program starts, asio's error categories are among the last to go, after the
// exit handler that stops the network thread and after anything made later.
// Threads still finishing work while the process exits may close sockets,
// and socket calls compare error codes of these categories.
[[maybe_unused]] const bool errorCategoriesMade = [] {
  (void)asio::system_category();
  (void)asio::error::get_system_category();
  (void)asio::error::get_netdb_category();
  (void)asio::error::get_addrinfo_category();
  (void)asio::error::get_misc_category();
  return true;
}();

}  // namespace

std::shared_ptr<Transport> Transport::shared() {
  // Never destroyed: the thread runs until the process ends.
  static std::mutex mutex;
  static auto& transport = *new std::shared_ptr<Transport>();
  std::lock_guard lock(mutex);
  if (!transport) {
    transport = std::make_shared<Transport>();
    // Stop the thread before the statics it uses (loggers) are destroyed.
    std::atexit([] { transport->stop(); });
  }
  return transport;
}

Transport::Transport() : _impl(std::make_unique<Impl>()) {
  std::promise<void> started;
  _impl->thread = std::thread([this, &started] {
    _impl->threadID = std::this_thread::get_id();
    started.set_value();
    for (;;) {
      try {
        _impl->context.run();
        break;
      } catch (const std::exception& e) {
        // A handler must never take the network thread down with it.
        QUR_LOG_ERROR("Peer network handler failed: %s", e.what());
      }
    }
  });
  started.get_future().wait();
}

Transport::~Transport() {
  stop();
}

void Transport::stop() {
  _impl->work.reset();
  _impl->context.stop();
  if (_impl->thread.joinable()) {
    if (isTransportThread()) {
      _impl->thread.detach();  // this handler is the last one it runs
    } else {
      _impl->thread.join();
    }
  }
  std::lock_guard lock(_impl->endMutex);
  _impl->ended = true;
  _impl->endCv.notify_all();
}

void Transport::post(std::function<void()> block) {
  asio::post(_impl->context, std::move(block));
}

bool Transport::runOnThread(const std::function<void()>& block) {
  bool done = false;  // under endMutex
  {
    std::lock_guard lock(_impl->endMutex);
    if (_impl->ended) return false;
  }
  Impl* impl = _impl.get();
  asio::post(impl->context, [impl, &block, &done] {
    // Reports back even when the block throws (the thread logs and goes on).
    struct Finish {
      Impl* impl;
      bool& done;
      ~Finish() {
        std::lock_guard lock(impl->endMutex);
        done = true;
        impl->endCv.notify_all();
      }
    } finish{impl, done};
    block();
  });
  std::unique_lock lock(impl->endMutex);
  // A stop between the post and the block leaves it unrun for good.
  impl->endCv.wait(lock, [&] { return done || impl->ended; });
  return done;
}

void Transport::runSync(const std::function<void()>& block) {
  // Once the thread has ended nobody else runs the handlers: run it here.
  if (isTransportThread() || !runOnThread(block)) block();
}

bool Transport::runSyncIfRunning(const std::function<void()>& block) {
  if (isTransportThread()) {
    block();
    return true;
  }
  return runOnThread(block);
}

bool Transport::isTransportThread() const {
  return std::this_thread::get_id() == _impl->threadID;
}

}  // namespace qur
