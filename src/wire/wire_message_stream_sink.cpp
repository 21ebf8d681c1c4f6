#include <string>

#include "log/log.h"
#include "wire/wire_message_stream.h"

namespace qur {

WireMessageStreamSink::WireMessageStreamSink(std::shared_ptr<StreamSink> sink)
    : _sink(std::move(sink)), _pbOutputBuffer(new std::uint8_t[kWireMessageBufferSize]) {}

bool WireMessageStreamSink::sendOpusPayload(const OpusPacket* packet) {
  if (packet == nullptr) return false;
  QURWireMessage message;
  wireMessageMakeOpusPayload(&message, packet);
  return sendWireMessage(&message);
}

bool WireMessageStreamSink::sendStreamStatus(int status) {
  QURWireMessage message;
  if (!wireMessageMakeStreamStatus(&message, status)) return false;
  return sendWireMessage(&message);
}

bool WireMessageStreamSink::sendReceiverReport(const ReceiverReport& report) {
  QURWireMessage message;
  wireMessageMakeReceiverReport(&message, report);
  return sendWireMessage(&message);
}

bool WireMessageStreamSink::sendWireMessage(const QURWireMessage* message) {
  std::string error;
  const std::ptrdiff_t length =
      wireMessageEncode(message, _pbOutputBuffer.get(), kWireMessageBufferSize, &error);
  if (length < 0) {
    QUR_LOG_ERROR("Wire message not sent: encoding failed (%s)", error.c_str());
    return false;
  }
  if (!_sink) return false;
  return _sink->writeMessage(ByteMessage(_pbOutputBuffer.get(), static_cast<std::size_t>(length)));
}

}  // namespace qur
