#include "app/opus_streamer.h"

#include "wire/length_delimited_output_stream.h"
#include "wire/stream.h"
#include "wire/wire_message_stream.h"

namespace qur {

std::shared_ptr<OpusStreamer> OpusStreamer::create(std::shared_ptr<OpusEncoder> encoder,
                                                   std::shared_ptr<WireMessageStreamSink> sink) {
  if (!encoder || !sink) return nullptr;
  std::shared_ptr<OpusStreamer> streamer(new OpusStreamer());
  streamer->_encoder = std::move(encoder);
  streamer->_encoder->setDelegate(streamer);
  streamer->_sink = std::move(sink);
  return streamer;
}

std::shared_ptr<OpusStreamer> OpusStreamer::create(std::shared_ptr<OpusEncoder> encoder,
                                                   std::shared_ptr<OutputStream> outputStream) {
  if (!outputStream) return nullptr;
  auto framed = std::make_shared<LengthDelimitedOutputStream>(std::move(outputStream));
  return create(std::move(encoder), std::make_shared<WireMessageStreamSink>(framed));
}

void OpusStreamer::encoderHasNewPacketsInBuffer(OpusEncoder&, CircularBuffer* buffer) {
  // Each packet is read in place and consumed only after the sink is done.
  for (const OpusPacket* packet = opusPacketBufferPeek(buffer); packet;
       packet = opusPacketBufferPeek(buffer)) {
    _sink->sendOpusPayload(packet);
    opusPacketBufferConsume(buffer);
  }
}

void OpusStreamer::encoderDidChangeItsEncodingStatusTo(OpusEncoder&, bool encoding) {
  _sink->sendStreamStatus(
      static_cast<int>(encoding ? StreamStatus::Started : StreamStatus::Stopped));
}

}  // namespace qur
