#include "wire/length_delimited_input_stream.h"

#include <algorithm>

#include "log/log.h"

namespace qur {

// ---- Packet ----------------------------------------------------------------

LengthDelimitedInputStreamPacket::LengthDelimitedInputStreamPacket()
    : _payloadBuffer(new std::uint8_t[kLengthDelimitedMaxPayload]) {
  startWritingToLength();
}

void LengthDelimitedInputStreamPacket::startWritingToBuffer(std::uint8_t* buffer,
                                                            std::size_t expectedBytes) {
  _currentItemBuffer = buffer;
  _currentItemPosition = buffer;
  _bytesOfCurrentItemLeft = expectedBytes;
  _bytesOfCurrentItemRead = 0;
}

void LengthDelimitedInputStreamPacket::startWritingToLength() {
  startWritingToBuffer(_lengthBuffer, _expectedLengthLength);
}

void LengthDelimitedInputStreamPacket::startWritingToPayloadWithExpectedLength(
    std::size_t expectedBytes) {
  startWritingToBuffer(_payloadBuffer.get(), expectedBytes);
}

void LengthDelimitedInputStreamPacket::resetState() {
  _lengthRead = false;
  _payloadRead = false;
  _payloadLength = 0;
  _bytesToSkip = 0;
  startWritingToLength();
}

bool LengthDelimitedInputStreamPacket::isInsideFrame() const {
  return !_payloadRead && (_lengthRead || _bytesOfCurrentItemRead > 0);
}

std::optional<ByteMessage> LengthDelimitedInputStreamPacket::payloadData() const {
  if (!_payloadRead) return std::nullopt;
  return ByteMessage(_payloadBuffer.get(), _payloadLength);
}

std::ptrdiff_t LengthDelimitedInputStreamPacket::readFromStream(InputStream& stream) {
  // An oversized frame is read in buffer-sized pieces and thrown away; the
  // payload buffer only serves as scratch space then.
  const bool skipping = _bytesToSkip > 0;
  std::uint8_t* target = skipping ? _payloadBuffer.get() : _currentItemPosition;
  const std::size_t wanted = skipping ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                            _bytesToSkip, kLengthDelimitedMaxPayload))
                                      : _bytesOfCurrentItemLeft;

  const std::ptrdiff_t n = stream.read(target, wanted);
  if (n == 0) return 0;
  if (n < 0) {
    QUR_LOG_ERROR("Reading got error %s status %d", stream.streamError().c_str(),
                  static_cast<int>(stream.streamStatus()));
    return -1;
  }
  const auto count = static_cast<std::size_t>(std::min<std::ptrdiff_t>(n, wanted));

  if (skipping) {
    _bytesToSkip -= count;
    if (_bytesToSkip == 0) resetState();
    return n;
  }

  _currentItemPosition += count;
  _bytesOfCurrentItemRead += count;
  _bytesOfCurrentItemLeft -= count;
  if (_bytesOfCurrentItemLeft > 0) return n;

  if (!isCurrentlyReadingLength()) {
    _payloadRead = true;
    return n;
  }

  _lengthRead = true;
  const std::uint32_t length = std::uint32_t(_lengthInNetworkEndianness[0]) << 24 |
                               std::uint32_t(_lengthInNetworkEndianness[1]) << 16 |
                               std::uint32_t(_lengthInNetworkEndianness[2]) << 8 |
                               std::uint32_t(_lengthInNetworkEndianness[3]);
  if (length > kLengthDelimitedMaxPayload) {
    QUR_LOG_ERROR("Skipping a frame of %u bytes: frames hold at most %u", length,
                  kLengthDelimitedMaxPayload);
    _bytesToSkip = length;
    return n;
  }
  _payloadLength = length;
  startWritingToPayloadWithExpectedLength(length);
  if (length == 0) {
    _payloadRead = true;
    return n;
  }
  // The payload often arrives with its length: read on at once.
  const std::ptrdiff_t more = readFromStream(stream);
  return more < 0 ? -1 : n + more;
}

// ---- Reader ----------------------------------------------------------------

// Shared with the poll timer, so a poll in progress keeps what it uses alive
// even when the reader is destroyed meanwhile.
struct LengthDelimitedInputStream::Core {
  explicit Core(std::shared_ptr<InputStream> stream) : inputStream(std::move(stream)) {}

  void poll(std::uint64_t generation);
  bool current(std::uint64_t g) const { return g == pollGeneration.load(); }

  const std::shared_ptr<InputStream> inputStream;
  std::atomic<std::uint64_t> bytesReadTotal{0};
  LengthDelimitedInputStreamPacket currentPacket;
  std::mutex pollMutex;  // one reading loop at a time

  std::mutex timerMutex;
  std::shared_ptr<RunLoopTimer> pollTimer;
  // Changes whenever polling stops, so an older loop knows to end.
  std::atomic<std::uint64_t> pollGeneration{0};

  mutable std::mutex delegateMutex;
  std::weak_ptr<StreamSourceDelegate> delegate;
};

void LengthDelimitedInputStream::Core::poll(std::uint64_t generation) {
  std::unique_lock lock(pollMutex, std::try_to_lock);
  if (!lock.owns_lock() || !inputStream) return;
  if (inputStream->streamStatus() == StreamState::NotOpen) return;

  LengthDelimitedInputStreamPacket& packet = currentPacket;
  while (current(generation)) {
    if (packet.isCompleted()) {
      std::shared_ptr<StreamSourceDelegate> target;
      {
        std::lock_guard delegateLock(delegateMutex);
        target = delegate.lock();
      }
      if (target) target->gotMessage(*packet.payloadData());
      packet.resetState();
      continue;
    }
    const std::ptrdiff_t n = packet.readFromStream(*inputStream);
    if (n > 0) bytesReadTotal += static_cast<std::uint64_t>(n);
    if (n >= 1 || packet.isCompleted()) continue;
    if (n == 0 && inputStream->streamStatus() == StreamState::AtEnd && packet.isInsideFrame()) {
      QUR_LOG_ERROR("Stream ended inside a frame; dropping the incomplete frame");
      packet.resetState();
    }
    break;
  }
}

LengthDelimitedInputStream::LengthDelimitedInputStream(std::shared_ptr<InputStream> inputStream)
    : _core(std::make_shared<Core>(std::move(inputStream))) {}

LengthDelimitedInputStream::~LengthDelimitedInputStream() {
  stopPolling();
}

void LengthDelimitedInputStream::startPolling() {
  std::lock_guard lock(_core->timerMutex);
  if (_core->pollTimer) return;
  const std::uint64_t generation = _core->pollGeneration.load();
  std::weak_ptr<Core> weakCore = _core;
  _core->pollTimer =
      RunLoopTimer::create(kLengthDelimitedPollInterval, false, [weakCore, generation] {
        if (const auto core = weakCore.lock()) core->poll(generation);
      });
  const auto thread = RunLoopThread::sharedInstance();
  thread->start();
  thread->attachTimer(_core->pollTimer);
}

void LengthDelimitedInputStream::stopPolling() {
  std::lock_guard lock(_core->timerMutex);
  if (_core->pollTimer) {
    _core->pollTimer->invalidate();
    _core->pollTimer.reset();
  }
  ++_core->pollGeneration;
}

void LengthDelimitedInputStream::pollStream() {
  _core->poll(_core->pollGeneration.load());
}

std::shared_ptr<StreamSourceDelegate> LengthDelimitedInputStream::delegate() const {
  std::lock_guard lock(_core->delegateMutex);
  return _core->delegate.lock();
}

void LengthDelimitedInputStream::setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) {
  std::lock_guard lock(_core->delegateMutex);
  _core->delegate = std::move(delegate);
}

std::uint64_t LengthDelimitedInputStream::bytesReadTotal() const {
  return _core->bytesReadTotal.load();
}

const std::shared_ptr<InputStream>& LengthDelimitedInputStream::inputStream() const {
  return _core->inputStream;
}

}  // namespace qur
