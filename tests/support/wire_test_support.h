// Real sinks and delegates that remember what passed through them, and the
// descriptors and files the stream tests run over.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/opus_packet.h"
#include "wire/stream.h"

namespace qur::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(ByteMessage message) {
  return Bytes(message.begin(), message.end());
}

// Copies every message it is given, as a well-behaved sink must.
class RecordingSink : public StreamSink {
 public:
  bool writeMessage(ByteMessage message) override {
    std::lock_guard lock(mutex);
    messages.push_back(bytesOf(message));
    return true;
  }
  std::vector<Bytes> taken() {
    std::lock_guard lock(mutex);
    return messages;
  }
  std::mutex mutex;
  std::vector<Bytes> messages;
};

class RecordingMessageDelegate : public StreamSourceDelegate {
 public:
  void gotMessage(ByteMessage message) override {
    std::lock_guard lock(mutex);
    messages.push_back(bytesOf(message));
  }
  std::vector<Bytes> taken() {
    std::lock_guard lock(mutex);
    return messages;
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
  std::mutex mutex;
  std::vector<Bytes> messages;
};

// A copy of what a wire message source handed over.
struct ReceivedPacket {
  OpusPacketKind kind;
  std::uint32_t timestamp;
  std::uint32_t sessionNumber;
  std::uint32_t packetNumber;
  const AudioBufferList* audioBufferList;
  std::uint32_t frameCount;
  Bytes data;
};

class RecordingWireDelegate : public WireMessageStreamDelegate {
 public:
  void wireMessageStreamReceivedOpusPacket(WireMessageStreamSource&,
                                           const OpusPacket* packet) override {
    std::lock_guard lock(mutex);
    events.push_back("packet");
    packets.push_back({packet->kind, packet->timestamp, packet->sessionNumber, packet->packetNumber,
                       packet->audioBufferList, packet->frameCount,
                       Bytes(packet->data, packet->data + packet->dataLength)});
  }
  void wireMessageStreamReceivedStreamStatus(WireMessageStreamSource&, int status) override {
    std::lock_guard lock(mutex);
    events.push_back("status " + std::to_string(status));
    statuses.push_back(status);
  }
  std::size_t eventCount() {
    std::lock_guard lock(mutex);
    return events.size();
  }
  std::mutex mutex;
  std::vector<std::string> events;
  std::vector<ReceivedPacket> packets;
  std::vector<int> statuses;
};

// Waits for something another thread does. The limit only keeps a broken
// build from hanging; no test depends on how fast anything happens.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A connected pair of descriptors, [0] to read and [1] to write: a pipe, or a
// Unix stream socket pair, whose reads and wake-ups behave differently.
inline bool openDescriptorPair(bool socket, int fds[2]) {
  return socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0
                : ::pipe2(fds, O_CLOEXEC) == 0;
}

// A new empty file named "/tmp/<prefix>XXXXXX"; the caller removes it.
inline std::string temporaryFile(const std::string& prefix) {
  std::string name = "/tmp/" + prefix + "XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd >= 0) ::close(fd);
  return name;
}

}  // namespace qur::testing
