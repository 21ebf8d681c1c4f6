#include <chrono>
#include <cstring>
#include <string>

#include "log/log.h"
#include "log/log_limiter.h"
#include "wire/wire_message_stream.h"

namespace qur {

WireMessageStreamSource::WireMessageStreamSource()
    : _currentWireMessage(QURWireMessage_init_zero),
      _currentPacket(makeOpusPacket(kWireMessageReceiveCapacity)),
      _statusSubject(Subject<int>::create()),
      _reportSubject(Subject<ReceiverReport>::create()) {}

// Everything derived from the status (a peer's talking indicator) ends with
// the source.
WireMessageStreamSource::~WireMessageStreamSource() {
  _statusSubject->sendCompleted();
  _reportSubject->sendCompleted();
}

std::shared_ptr<WireMessageStreamDelegate> WireMessageStreamSource::delegate() const {
  std::lock_guard lock(_delegateMutex);
  return _delegate.lock();
}

void WireMessageStreamSource::setDelegate(std::weak_ptr<WireMessageStreamDelegate> delegate) {
  std::lock_guard lock(_delegateMutex);
  _delegate = std::move(delegate);
}

void WireMessageStreamSource::gotMessage(ByteMessage message) {
  OpusPacket* packet = _currentPacket.get();
  if (packet == nullptr) return;
  // A message that fails half-way has already set some presence flags; it is
  // dropped whole rather than acted on as far as it got.
  opusPacketClearHeader(packet);
  std::string error;
  if (!wireMessageDecode(message, &_currentWireMessage, packet, kWireMessageReceiveCapacity,
                         &error)) {
    // Sessions drop what does not decode before it gets here: this is a
    // damaged file, whose reader counts these lines.
    QUR_LOG_ERROR("Dropping malformed wire message of %zu bytes: %s", message.size(),
                  error.c_str());
    return;
  }

  if (_currentWireMessage.has_opusPayload) {
    const QUROpusPayloadMessage& payload = _currentWireMessage.opusPayload;
    packet->frameCount = payload.frameCount;
    packet->timestamp = payload.timestamp;
    packet->sessionNumber = payload.sessionNumber;
    packet->packetNumber = payload.packetNumber;
    if (const auto target = delegate()) target->wireMessageStreamReceivedOpusPacket(*this, packet);
    opusPacketClearHeader(packet);
  } else if (_currentWireMessage.has_streamControl) {
    // The decoder stores any 32-bit value in the enum field; reading it as the
    // C++ enum type would be undefined for values outside 0 and 1.
    std::uint32_t stored = 0;
    static_assert(sizeof stored == sizeof _currentWireMessage.streamControl.status);
    std::memcpy(&stored, &_currentWireMessage.streamControl.status, sizeof stored);
    const auto status = static_cast<int>(stored);
    if (status != static_cast<int>(StreamStatus::Stopped) &&
        status != static_cast<int>(StreamStatus::Started)) {
      QUR_LOG_LIMITED(_badInputLog, LogFlagWarning,
                      "Ignoring wire message with unknown stream status %d", status);
      return;
    }
    if (const auto target = delegate())
      target->wireMessageStreamReceivedStreamStatus(*this, status);
    _statusSubject->sendNext(status);
  } else if (_currentWireMessage.has_receiverReport) {
    ReceiverReport report;
    if (!wireMessageReceiverReport(_currentWireMessage, &report, &error)) {
      QUR_LOG_LIMITED(_badReportLog, LogFlagWarning, "Ignoring receiver report: %s", error.c_str());
      return;
    }
    if (const auto target = delegate())
      target->wireMessageStreamReceivedReceiverReport(*this, report);
    _reportSubject->sendNext(report);
  }
}

}  // namespace qur
