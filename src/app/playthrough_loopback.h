// The whole voice path on one device, without a peer: encoder -> streamer ->
// wire message sink -> loopback sink -> wire message source -> stream
// receiver -> decoder, with the "beep" sound at half level as the start sound
// and its reverse as the end sound. The owner attaches the encoder as an
// input receiver and the decoder as a channel of the engine, and starts and
// stops encoding to begin and end a loopback transmission.
#pragma once

#include <memory>

#include "app/voice_path.h"
#include "audio/audio_buffer_list.h"
#include "audio/audio_types.h"

namespace qur {

class AudioEngine;
class OpusDecoder;
class OpusStreamReceiver;
class PlaythroughMessageSink;
class WireMessageStreamSource;

class OpusPlaythroughStream {
 public:
  static constexpr float kBeepGain = 0.5f;

  // Null (after a log line) when the sound or a codec stage cannot be set up.
  // With no engine the chain is built for the engine format.
  static std::unique_ptr<OpusPlaythroughStream> create(std::shared_ptr<AudioEngine> engine);
  // The same chain for any engine-side format and start sound (codec format);
  // the sound is scaled and reversed as for the "beep".
  static std::unique_ptr<OpusPlaythroughStream> create(std::shared_ptr<AudioEngine> engine,
                                                       const AudioStreamBasicDescription& format,
                                                       AudioBufferListPtr startSound);
  ~OpusPlaythroughStream();

  const std::shared_ptr<OpusEncoder>& opusEncoder() const { return _sendChain.opusEncoder; }
  const std::shared_ptr<OpusDecoder>& opusDecoder() const { return _opusDecoder; }
  const std::shared_ptr<OpusStreamReceiver>& streamReceiver() const { return _streamReceiver; }
  const std::shared_ptr<OpusStreamer>& streamer() const { return _sendChain.opusStreamer; }
  const std::shared_ptr<WireMessageStreamSource>& wireMessageSource() const {
    return _wireMessageSource;
  }
  const AudioBufferList* startSound() const { return _receivingBeeps.start.get(); }
  const AudioBufferList* endSound() const { return _receivingBeeps.end.get(); }

 private:
  OpusPlaythroughStream() = default;

  std::shared_ptr<AudioEngine> _audioController;
  std::shared_ptr<PlaythroughMessageSink> _playthroughMessageSink;
  ReceivingBeeps _receivingBeeps;
  OpusSendChain _sendChain;
  std::shared_ptr<WireMessageStreamSource> _wireMessageSource;
  std::shared_ptr<OpusDecoder> _opusDecoder;
  std::shared_ptr<OpusStreamReceiver> _streamReceiver;
};

}  // namespace qur
