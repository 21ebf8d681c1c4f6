#include "wire/wire_message.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstring>

#include "audio/opus_packet.h"

namespace qur {

namespace {

struct PayloadTarget {
  OpusPacket* packet;
  std::uint32_t capacity;
  bool tooLong;
  std::size_t length;
};

bool encodePayload(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* packet = static_cast<const OpusPacket*>(*arg);
  if (!pb_encode_tag_for_field(stream, field)) return false;
  if (packet == nullptr) return pb_encode_string(stream, nullptr, 0);
  return pb_encode_string(stream, packet->data, packet->dataLength);
}

bool decodePayload(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* target = static_cast<PayloadTarget*>(*arg);
  const std::size_t length = stream->bytes_left;
  if (target == nullptr || target->packet == nullptr) return pb_read(stream, nullptr, length);
  if (length > target->capacity) {
    target->tooLong = true;
    target->length = length;
    PB_RETURN_ERROR(stream, "payload longer than the receive packet");
  }
  if (!pb_read(stream, target->packet->data, length)) return false;
  target->packet->dataLength = static_cast<std::uint32_t>(length);
  return true;
}

}  // namespace

void wireMessageMakeOpusPayload(QURWireMessage* message, const OpusPacket* packet) {
  *message = QURWireMessage_init_zero;
  message->has_opusPayload = true;
  QUROpusPayloadMessage& payload = message->opusPayload;
  payload.has_frameCount = true;
  payload.frameCount = packet->frameCount;
  payload.has_timestamp = true;
  payload.timestamp = packet->timestamp;
  payload.has_sessionNumber = true;
  payload.sessionNumber = packet->sessionNumber;
  payload.has_packetNumber = true;
  payload.packetNumber = packet->packetNumber;
  payload.payload.funcs.encode = encodePayload;
  payload.payload.arg = const_cast<OpusPacket*>(packet);
}

bool wireMessageMakeStreamStatus(QURWireMessage* message, int status) {
  *message = QURWireMessage_init_zero;
  if (status != static_cast<int>(StreamStatus::Stopped) &&
      status != static_cast<int>(StreamStatus::Started)) {
    return false;
  }
  message->has_streamControl = true;
  message->streamControl.has_status = true;
  message->streamControl.status = static_cast<QURStreamStatus>(status);
  return true;
}

void wireMessageMakeReceiverReport(QURWireMessage* message, const ReceiverReport& report) {
  *message = QURWireMessage_init_zero;
  message->has_receiverReport = true;
  QURReceiverReportMessage& out = message->receiverReport;
  out.has_lossPermille = true;
  out.lossPermille = report.lossPermille;
  out.has_latePackets = true;
  out.latePackets = report.latePackets;
  out.has_jitterMeanMs = true;
  out.jitterMeanMs = report.jitterMeanMs;
  out.has_jitterP95Ms = true;
  out.jitterP95Ms = report.jitterP95Ms;
  out.has_targetDelayMs = true;
  out.targetDelayMs = report.targetDelayMs;
  out.has_intervalMs = true;
  out.intervalMs = report.intervalMs;
}

bool wireMessageReceiverReport(const QURWireMessage& message, ReceiverReport* report,
                               std::string* error) {
  if (!message.has_receiverReport) {
    if (error) *error = "no receiver report";
    return false;
  }
  const QURReceiverReportMessage& in = message.receiverReport;
  if (in.lossPermille > 1000) {
    if (error) *error = "loss of " + std::to_string(in.lossPermille) + " per mille";
    return false;
  }
  report->lossPermille = in.lossPermille;
  report->latePackets = in.latePackets;
  report->jitterMeanMs = in.jitterMeanMs;
  report->jitterP95Ms = in.jitterP95Ms;
  report->targetDelayMs = in.targetDelayMs;
  report->intervalMs = in.intervalMs;
  return true;
}

std::ptrdiff_t wireMessageEncode(const QURWireMessage* message, std::uint8_t* buffer,
                                 std::size_t capacity, std::string* error) {
  pb_ostream_t stream = pb_ostream_from_buffer(buffer, capacity);
  if (!pb_encode(&stream, QURWireMessage_fields, message)) {
    if (error) *error = PB_GET_ERROR(&stream);
    return -1;
  }
  return static_cast<std::ptrdiff_t>(stream.bytes_written);
}

bool wireMessageDecode(ByteMessage bytes, QURWireMessage* message, OpusPacket* packet,
                       std::uint32_t capacity, std::string* error) {
  PayloadTarget target{packet, capacity, false, 0};
  if (packet) packet->dataLength = 0;
  // Decoding resets every field to its default but leaves callbacks alone.
  message->opusPayload.payload.funcs.decode = decodePayload;
  message->opusPayload.payload.arg = &target;
  pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
  const bool ok = pb_decode(&stream, QURWireMessage_fields, message);
  message->opusPayload.payload.arg = nullptr;
  if (!ok) {
    if (packet) packet->dataLength = 0;
    if (error) {
      *error = target.tooLong ? "payload of " + std::to_string(target.length) + " bytes exceeds " +
                                    std::to_string(capacity)
                              : PB_GET_ERROR(&stream);
    }
  }
  return ok;
}

}  // namespace qur
