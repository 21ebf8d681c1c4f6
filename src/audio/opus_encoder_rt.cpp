// The encoder's audio-thread side: input cycles, conversion and encoding.
// Allocation-, lock- and wait-free: start and stop reach it as atomic state.
#include <opus/opus.h>

#include "audio/opus_encoder.h"
#include "audio/pcm_format_converter.h"
#include "log/thread_role.h"

namespace qur {

namespace {
void encoderReceiverCallback(AudioReceiver* receiver, AudioEngine*, int source,
                             const AudioTimeStamp* time, UInt32 frames,
                             const AudioBufferList* audio) {
  if (source != kAudioEngineSourceInput) return;
  OpusEncoder::receive(static_cast<OpusEncoder*>(receiver), time, frames, audio);
}
}  // namespace

AudioEngineReceiverCallback OpusEncoder::receiverCallback() const {
  return encoderReceiverCallback;
}

void OpusEncoder::receive(OpusEncoder* encoder, const AudioTimeStamp* timestamp, UInt32 frames,
                          const AudioBufferList* audio) {
  QUR_ASSERT_THREAD(ThreadRole::Audio);
  // Flag first, then read the state: a stopping thread that sees the flag
  // clear knows every later cycle sees it stopped (both sides seq_cst).
  encoder->_audioThreadInside.fetch_add(1, std::memory_order_seq_cst);
  if (encoder->_runState.load(std::memory_order_seq_cst) == kEncoding) {
    // A full ring drops the cycle; the encoder catches up with the next one.
    circularBufferCopyAudioBufferList(&encoder->_inputBuffer, audio, timestamp, frames,
                                      &encoder->_inputAudioDescription);
    processInput(encoder, false);
  }
  encoder->_audioThreadInside.fetch_sub(1, std::memory_order_release);
}

void OpusEncoder::processInput(OpusEncoder* encoder, bool flush) {
  PCMFormatConverter* converter = encoder->_formatConverter.get();
  AudioTimeStamp timestamp{};
  while (const AudioBufferList* record =
             circularBufferOldestBufferList(&encoder->_inputBuffer, &timestamp)) {
    pcmFormatConverterFeed(converter, record, &timestamp);
    circularBufferConsumeOldestBufferList(&encoder->_inputBuffer);
  }

  auto available = [&] {
    return flush ? pcmFormatConverterAllAvailableOutputSamples(converter)
                 : pcmFormatConverterAvailableOutputSamples(converter);
  };
  while (available() >= encoder->_framesPerPacket) encodePacket(encoder);
  // The converter pads the last packet with silence.
  if (flush && pcmFormatConverterAllAvailableOutputSamples(converter) > 0) encodePacket(encoder);
}

void OpusEncoder::applyLinkConditions(OpusEncoder* encoder) {
  const int loss = encoder->_requestedLossPercent.load(std::memory_order_relaxed);
  const std::int32_t bitrate = encoder->_requestedBitrate.load(std::memory_order_relaxed);
  // libopus's controls only set fields: no allocation, no lock.
  if (loss != encoder->_appliedLossPercent) {
    opus_encoder_ctl(encoder->_encoder, OPUS_SET_PACKET_LOSS_PERC(loss));
    encoder->_appliedLossPercent = loss;
  }
  if (bitrate != encoder->_appliedBitrate) {
    opus_encoder_ctl(encoder->_encoder, OPUS_SET_BITRATE(bitrate));
    encoder->_appliedBitrate = bitrate;
  }
}

void OpusEncoder::encodePacket(OpusEncoder* encoder) {
  PCMFormatConverter* converter = encoder->_formatConverter.get();
  const UInt32 framesPerPacket = encoder->_framesPerPacket;
  applyLinkConditions(encoder);
  AudioTimeStamp capture{};
  pcmFormatConverterNextInputTimestamp(converter, &capture);

  AudioBufferList* pcm = encoder->_encoderAudioBufferList;
  pcm->mBuffers[0].mDataByteSize =
      framesPerPacket * encoder->_encoderAudioDescription.mBytesPerFrame;
  pcmFormatConverterFetch(converter, pcm, framesPerPacket);

  OpusPacket* packet = encoder->_currentlyEncodingPacket;
  const opus_int32 bytes = opus_encode(
      encoder->_encoder, static_cast<const opus_int16*>(pcm->mBuffers[0].mData),
      static_cast<int>(framesPerPacket), packet->data, static_cast<opus_int32>(kMaxPacketBytes));
  // Below 2 bytes is an error or a frame that needs no transmission.
  if (bytes < 2) return;

  // Audio stamped before the transmission started (or without a host time)
  // counts from its start rather than wrapping around.
  UInt64 elapsed = 0;
  const UInt64 reference = encoder->_referenceTime.load(std::memory_order_relaxed);
  if ((capture.mFlags & kAudioTimeStampHostTimeValid) && capture.mHostTime > reference) {
    elapsed = capture.mHostTime - reference;
  }
  packet->kind = OpusPacketKind::Audio;
  packet->timestamp = static_cast<std::uint32_t>(elapsed / 1000000u);
  packet->frameCount = framesPerPacket;
  packet->dataLength = static_cast<std::uint32_t>(bytes);
  packet->sessionNumber = encoder->_currentSessionNumber;
  packet->packetNumber = encoder->_currentPacketNumber++;
  packet->audioBufferList = nullptr;
  // A full output ring drops the packet; its number stays used.
  opusPacketBufferWrite(encoder->_outputBuffer, packet);
}

}  // namespace qur
