// The decoder's audio-thread side: render callback and conversion output.
// Allocation-, lock- and log-free; errors go through the real-time logger.
#include <opus/opus.h>

#include "audio/opus_decoder.h"
#include "audio/opus_packet.h"
#include "audio/pcm_format_converter.h"
#include "audio/realtime_logger.h"
#include "log/log.h"
#include "log/thread_role.h"

namespace qur {

namespace {

UInt32 storedFrames(CircularBuffer* ring, const AudioStreamBasicDescription& format) {
  return circularBufferPeek(ring, nullptr, &format);
}

OSStatus decoderRenderCallback(AudioPlayable* channel, AudioEngine* engine,
                               const AudioTimeStamp* time, UInt32 frames, AudioBufferList* audio) {
  auto* decoder = static_cast<OpusDecoder*>(channel);
  if (time && time->mHostTime != 0) {
    return OpusDecoder::render(decoder, engine, time->mHostTime, frames, audio);
  }
  return OpusDecoder::render(decoder, engine, frames, audio);
}

}  // namespace

void OpusDecoder::outputAvailableConvertedSamples(AudioEngine* controller, OpusDecoder* decoder,
                                                  bool flush) {
  AudioBufferList* out = decoder->_converterOutputBufferList;
  for (UInt32 i = 0; i < out->mNumberBuffers; ++i) {
    out->mBuffers[i].mDataByteSize = decoder->_converterOutputBufferListByteCapacity;
  }
  PCMFormatConverter* converter = decoder->_formatConverter.get();
  OSStatus status = noErr;
  if (flush) {
    UInt32 frames = 0;
    status = pcmFormatConverterFetchAll(converter, out, &frames);
  } else {
    const UInt32 frames = pcmFormatConverterAvailableOutputSamples(converter);
    if (frames == 0) return;
    status = pcmFormatConverterFetch(converter, out, frames);
  }
  if (status != noErr) {
    const auto s = static_cast<std::uint32_t>(status);
    decoder->_realtimeLog(controller, true, LogLevelError, LogFlagError, __FILE__, __LINE__,
                          "outputAvailableConvertedSamples",
                          "sample rate conversion failed with %d, '%c%c%c%c'",
                          static_cast<int>(status), static_cast<char>((s >> 24) & 0xFF),
                          static_cast<char>((s >> 16) & 0xFF), static_cast<char>((s >> 8) & 0xFF),
                          static_cast<char>(s & 0xFF));
  }
  if (out->mBuffers[0].mDataByteSize == 0) return;
  circularBufferCopyAudioBufferList(&decoder->_outputBuffer, out, nullptr, kCircularBufferCopyAll,
                                    nullptr);
}

// Plays the oldest waiting packet. Returns false when the cycle has to stay
// silent (no packet, or a packet that did not decode).
bool OpusDecoder::playNextPacket(AudioEngine* controller, OpusDecoder* decoder) {
  CircularBuffer* input = decoder->inputBuffer();
  const OpusPacket* packet = opusPacketBufferPeek(input);
  if (!packet) return false;

  // Session numbers compare in wrap-around order, as the receiver counts
  // them: after an end signal of the all-ones "no session yet" (a stop seen
  // before any start) session 0 is the next one, not an older one.
  const UInt32 session = packet->sessionNumber;
  if (static_cast<std::int32_t>(session - decoder->_currentSessionNumber) < 0) {
    opusPacketBufferConsume(input);
    return true;
  }
  decoder->_currentSessionNumber = session;

  PCMFormatConverter* converter = decoder->_formatConverter.get();
  if (packet->audioBufferList) {
    const bool sessionEnd = packet->kind == OpusPacketKind::SessionEnd;
    pcmFormatConverterFeed(converter, packet->audioBufferList, nullptr);
    opusPacketBufferConsume(input);
    outputAvailableConvertedSamples(controller, decoder, false);
    if (sessionEnd) {
      outputAvailableConvertedSamples(controller, decoder, true);
      pcmFormatConverterReset(converter);
      opus_decoder_ctl(decoder->_decoder, OPUS_RESET_STATE);
      decoder->_sessionEndsPlayed.fetch_add(1, std::memory_order_acq_rel);
    }
    decoder->_sessionEnded = sessionEnd;
    return true;
  }

  AudioBufferList* pcm = decoder->_converterInputBufferList;
  // A length beyond what libopus can take is as corrupt as bad bytes.
  const UInt32 length = packet->dataLength;
  int samples = OPUS_INVALID_PACKET;
  // An empty packet would make libopus conceal a loss, inventing sound.
  if (length > 0 && length <= static_cast<UInt32>(INT32_MAX)) {
    samples = opus_decode(decoder->_decoder, packet->data, static_cast<opus_int32>(length),
                          static_cast<opus_int16*>(pcm->mBuffers[0].mData),
                          static_cast<int>(decoder->_opusMaxPacketSizeSampleCount), 0);
  }
  opusPacketBufferConsume(input);
  decoder->_sessionEnded = false;
  if (samples < static_cast<int>(decoder->_opusMinPacketSizeSampleCount)) return false;
  pcm->mBuffers[0].mDataByteSize =
      static_cast<UInt32>(samples) * decoder->_codecAudioDescription.mBytesPerFrame;
  pcmFormatConverterFeed(converter, pcm, nullptr);
  outputAvailableConvertedSamples(controller, decoder, false);
  return true;
}

AudioEngineRenderCallback OpusDecoder::renderCallback() const {
  return decoderRenderCallback;
}

OSStatus OpusDecoder::render(OpusDecoder* decoder, AudioEngine* controller, UInt32 frames,
                             AudioBufferList* list) {
  // Read only where a playout buffer needs the time: the vDSO clock, no call
  // into the kernel.
  return render(decoder, controller, decoder->_playout ? hostTimeNow() : 0, frames, list);
}

OSStatus OpusDecoder::render(OpusDecoder* decoder, AudioEngine* controller, UInt64 hostTime,
                             UInt32 frames, AudioBufferList* list) {
  QUR_ASSERT_THREAD(ThreadRole::Audio);
  if (decoder->_playout) {
    fillFromPlayout(decoder, controller, hostTime, frames, list);
  } else {
    fill(decoder, controller, frames, list);
  }
  decoder->_outputMeter.measure(list, decoder->_outputAudioDescription, frames);
  return noErr;
}

void OpusDecoder::fill(OpusDecoder* decoder, AudioEngine* controller, UInt32 frames,
                       AudioBufferList* list) {
  CircularBuffer* output = &decoder->_outputBuffer;
  const AudioStreamBasicDescription& format = decoder->_outputAudioDescription;
  UInt32 stored = 0;
  while ((stored = storedFrames(output, format)) < frames) {
    if (!playNextPacket(controller, decoder)) {
      // The tail of an end sound plays out now, padded with the engine's
      // silence, instead of waiting for the next transmission to push it
      // out ahead of that transmission's start sound.
      if (decoder->_sessionEnded && stored > 0) {
        UInt32 tail = stored;
        circularBufferDequeueBufferListFrames(output, &tail, list, nullptr, &format);
      }
      return;
    }
  }
  UInt32 delivered = frames;
  circularBufferDequeueBufferListFrames(output, &delivered, list, nullptr, &format);
}

}  // namespace qur
