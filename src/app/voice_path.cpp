#include "app/voice_path.h"

#include "app/opus_streamer.h"
#include "audio/opus_encoder.h"
#include "wire/wire_message_stream.h"

namespace qur {

bool OpusSendChain::setUp(const AudioStreamBasicDescription& format,
                          std::shared_ptr<StreamSink> sink, int frameMilliseconds) {
  wireMessageSink = std::make_shared<WireMessageStreamSink>(std::move(sink));
  opusEncoder = frameMilliseconds > 0 ? OpusEncoder::create(format, frameMilliseconds)
                                      : OpusEncoder::create(format);
  if (!opusEncoder) return false;
  opusStreamer = OpusStreamer::create(opusEncoder, wireMessageSink);
  return opusStreamer != nullptr;
}

void OpusSendChain::reset() {
  opusStreamer.reset();
  opusEncoder.reset();
}

ReceivingBeeps ReceivingBeeps::fromSound(AudioBufferListPtr sound, float gain) {
  ReceivingBeeps beeps;
  if (!sound) return beeps;
  audioBufferListScale(sound.get(), gain);
  beeps.end.reset(
      audioBufferListCreateReversed(sound.get(), codecAudioDescription().mBytesPerFrame));
  beeps.start = std::move(sound);
  return beeps;
}

}  // namespace qur
