#include "peers/transport.h"

#include <cstdlib>
#include <future>
#include <mutex>

#include "log/log.h"
#include "peers/transport_io.h"

namespace qur {

std::shared_ptr<Transport> Transport::shared() {
  // Never destroyed: the thread runs until the process ends.
  static std::mutex mutex;
  static auto& transport = *new std::shared_ptr<Transport>();
  std::lock_guard lock(mutex);
  if (!transport) {
    // Statics are destroyed in reverse order of their making, so the error
    // categories the thread's handlers use must exist before the exit
    // handler that stops it is registered; made later, they would be gone
    // while the thread still runs.
    (void)asio::error::get_system_category();
    (void)asio::error::get_netdb_category();
    (void)asio::error::get_addrinfo_category();
    (void)asio::error::get_misc_category();
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
      _impl->thread.detach();
    } else {
      _impl->thread.join();
    }
  }
}

void Transport::post(std::function<void()> block) {
  asio::post(_impl->context, std::move(block));
}

void Transport::runSync(const std::function<void()>& block) {
  // After stop() nobody else runs the handlers: run it here.
  if (isTransportThread() || _impl->context.stopped()) {
    block();
    return;
  }
  std::promise<void> done;
  asio::post(_impl->context, [&] {
    block();
    done.set_value();
  });
  done.get_future().wait();
}

bool Transport::isTransportThread() const {
  return std::this_thread::get_id() == _impl->threadID;
}

}  // namespace qur
