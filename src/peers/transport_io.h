// asio access to the transport thread, for the peers module's own sources.
#pragma once

#include <asio.hpp>
#include <thread>

#include "peers/transport.h"

namespace qur {

struct Transport::Impl {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  std::thread thread;
  std::thread::id threadID;
};

inline asio::io_context& ioContext(Transport& transport) {
  return transport.impl().context;
}

}  // namespace qur
