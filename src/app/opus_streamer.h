// Connects the Opus encoder to the outgoing wire: as the encoder's delegate it
// drains every finished packet into a wire message sink, one payload message
// per packet in ring order, and turns the start and stop of a transmission
// into stream status messages.
#pragma once

#include <memory>

#include "audio/opus_encoder.h"

namespace qur {

class OutputStream;
class WireMessageStreamSink;

class OpusStreamer : public OpusEncoderDelegate, public std::enable_shared_from_this<OpusStreamer> {
 public:
  // Becomes the encoder's delegate.
  static std::shared_ptr<OpusStreamer> create(std::shared_ptr<OpusEncoder> encoder,
                                              std::shared_ptr<WireMessageStreamSink> sink);
  // Writes the transmission as length-prefixed wire messages to an open byte
  // stream. Null when the framing layer cannot be set up.
  static std::shared_ptr<OpusStreamer> create(std::shared_ptr<OpusEncoder> encoder,
                                              std::shared_ptr<OutputStream> outputStream);

  void encoderHasNewPacketsInBuffer(OpusEncoder& encoder, CircularBuffer* buffer) override;
  void encoderDidChangeItsEncodingStatusTo(OpusEncoder& encoder, bool encoding) override;

  // Set once at creation, never replaced.
  const std::shared_ptr<OpusEncoder>& encoder() const { return _encoder; }
  const std::shared_ptr<WireMessageStreamSink>& sink() const { return _sink; }

 private:
  OpusStreamer() = default;

  std::shared_ptr<WireMessageStreamSink> _sink;
  std::shared_ptr<OpusEncoder> _encoder;
};

}  // namespace qur
