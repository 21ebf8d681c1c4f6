// The pieces of the voice path that both the loopback chain and the
// walkie-talkie build: the sending half up to a message sink, and the pair of
// sounds a receiver plays around each transmission.
#pragma once

#include <memory>

#include "audio/audio_buffer_list.h"
#include "audio/audio_types.h"

namespace qur {

class OpusEncoder;
class OpusStreamer;
class StreamSink;
class WireMessageStreamSink;

// encoder -> streamer -> wire message sink -> the given sink.
struct OpusSendChain {
  std::shared_ptr<WireMessageStreamSink> wireMessageSink;
  std::shared_ptr<OpusEncoder> opusEncoder;
  std::shared_ptr<OpusStreamer> opusStreamer;

  // False when no encoder can be made for the engine-side format. Without a
  // frame length the encoder makes 60 ms packets; with one, packets of that
  // length with in-band redundancy that follows the reported loss.
  bool setUp(const AudioStreamBasicDescription& format, std::shared_ptr<StreamSink> sink,
             int frameMilliseconds = 0);
  // The streamer first: the encoder's poll thread may still be draining into it.
  void reset();
};

// A sound in the codec format and its reverse. Receivers keep pointers to
// them, so the owner keeps them as long as any receiver lives.
struct ReceivingBeeps {
  AudioBufferListPtr start;
  AudioBufferListPtr end;

  // Scales the sound by `gain` in place; `end` is null when the sound could
  // not be reversed (or there was none).
  static ReceivingBeeps fromSound(AudioBufferListPtr sound, float gain);
};

}  // namespace qur
