// A sink that is its own source: every message written is handed to the
// delegate at once, on the writer's thread, before writeMessage returns. It
// lets a whole send and receive chain run on one device without a transport.
#pragma once

#include <memory>
#include <mutex>

#include "wire/stream.h"

namespace qur {

class PlaythroughMessageSink : public StreamSink, public StreamSource {
 public:
  // Without a delegate the message is dropped (false).
  bool writeMessage(ByteMessage message) override;
  std::shared_ptr<StreamSourceDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) override;

 private:
  mutable std::mutex _mutex;
  std::weak_ptr<StreamSourceDelegate> _delegate;
};

}  // namespace qur
