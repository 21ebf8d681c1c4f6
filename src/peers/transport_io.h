// asio access to the transport thread, for the peers module's own sources.
#pragma once

#include <asio.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "peers/transport.h"

namespace qur {

struct Transport::Impl {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  std::thread thread;
  std::thread::id threadID;
  // Set once the thread has run its last handler; wakes runSync waiters
  // whose blocks will now never run there.
  std::mutex endMutex;
  std::condition_variable endCv;
  bool ended = false;
};

inline asio::io_context& ioContext(Transport& transport) {
  return transport.impl().context;
}

}  // namespace qur
