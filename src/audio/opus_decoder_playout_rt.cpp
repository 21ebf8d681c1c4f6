// The decoder's playout path on the audio thread: packets wait in the
// playout buffer, and each cycle plays what the buffer chooses for the time
// the cycle will be heard. Allocation-, lock- and log-free.
#include <opus/opus.h>

#include <algorithm>
#include <cstring>

#include "audio/opus_decoder.h"
#include "audio/opus_packet.h"
#include "audio/pcm_format_converter.h"

namespace qur {

void OpusDecoder::feedPcm(AudioEngine* controller, OpusDecoder* decoder, UInt32 samples) {
  AudioBufferList* pcm = decoder->_converterInputBufferList;
  pcm->mBuffers[0].mDataByteSize = samples * decoder->_codecAudioDescription.mBytesPerFrame;
  pcmFormatConverterFeed(decoder->_formatConverter.get(), pcm, nullptr);
  outputAvailableConvertedSamples(controller, decoder, false);
}

void OpusDecoder::playStep(AudioEngine* controller, OpusDecoder* decoder, const PlayoutStep& step) {
  PCMFormatConverter* converter = decoder->_formatConverter.get();
  auto* samples = static_cast<opus_int16*>(decoder->_converterInputBufferList->mBuffers[0].mData);
  const int frames = int(std::min(step.frames, decoder->_opusMaxPacketSizeSampleCount));
  PlayoutOutcome outcome;
  int decoded = 0;
  switch (step.action) {
    case PlayoutAction::Wait:
      return;
    case PlayoutAction::StartSound:
    case PlayoutAction::EndSound: {
      if (step.sound) {
        pcmFormatConverterFeed(converter, step.sound, nullptr);
        outputAvailableConvertedSamples(controller, decoder, false);
      }
      if (step.action == PlayoutAction::EndSound) {
        // The transmission's last audio and its sound play out whole; the
        // next one starts from a clean converter and codec.
        outputAvailableConvertedSamples(controller, decoder, true);
        pcmFormatConverterReset(converter);
        opus_decoder_ctl(decoder->_decoder, OPUS_RESET_STATE);
        decoder->_sessionEndsPlayed.fetch_add(1, std::memory_order_acq_rel);
      }
      decoder->_playout->completed(step, outcome);
      return;
    }
    case PlayoutAction::Decode: {
      const OpusPacket* packet = step.packet;
      if (packet->dataLength > 0) {
        decoded = opus_decode(decoder->_decoder, packet->data, opus_int32(packet->dataLength),
                              samples, int(decoder->_opusMaxPacketSizeSampleCount), 0);
      }
      // A packet that does not decode is as good as lost: conceal it.
      if (decoded < int(decoder->_opusMinPacketSizeSampleCount)) {
        decoded = opus_decode(decoder->_decoder, nullptr, 0, samples, frames, 0);
      }
      break;
    }
    case PlayoutAction::DecodeFec:
      decoded = opus_decode(decoder->_decoder, step.packet->data,
                            opus_int32(step.packet->dataLength), samples, frames, 1);
      if (decoded < int(decoder->_opusMinPacketSizeSampleCount)) {
        decoded = opus_decode(decoder->_decoder, nullptr, 0, samples, frames, 0);
      }
      break;
    case PlayoutAction::Conceal:
      decoded = opus_decode(decoder->_decoder, nullptr, 0, samples, frames, 0);
      break;
    case PlayoutAction::Silence:
      std::memset(samples, 0, std::size_t(frames) * decoder->_codecAudioDescription.mBytesPerFrame);
      decoded = frames;
      break;
  }
  if (decoded <= 0) decoded = 0;
  auto count = UInt32(decoded);
  outcome.quiet = decoder->_quietDetector.isQuiet(frameLevelDb(samples, count));
  if (step.dropIfQuiet && outcome.quiet) {
    outcome.dropped = true;
  } else {
    if (step.maxShortening > 0 && !outcome.quiet) {
      const UInt32 left = shortenSpeech(samples, count, step.maxShortening);
      outcome.removed = count - left;
      count = left;
    }
    if (count > 0) feedPcm(controller, decoder, count);
  }
  decoder->_playout->completed(step, outcome);
}

void OpusDecoder::fillFromPlayout(OpusDecoder* decoder, AudioEngine* controller, UInt64 hostTime,
                                  UInt32 frames, AudioBufferList* list) {
  PlayoutBuffer* playout = decoder->_playout.get();
  CircularBuffer* input = decoder->inputBuffer();
  while (const OpusPacket* packet = opusPacketBufferPeek(input)) {
    playout->insert(packet);
    opusPacketBufferConsume(input);
  }

  CircularBuffer* output = &decoder->_outputBuffer;
  const AudioStreamBasicDescription& format = decoder->_outputAudioDescription;
  const double nanosecondsPerFrame = 1e9 / format.mSampleRate;
  UInt32 stored = 0;
  // Every step but Wait makes sound or gives a packet up; the bound only
  // guards against a codec that stops producing concealment.
  int steps = 0;
  while ((stored = circularBufferPeek(output, nullptr, &format)) < frames &&
         ++steps < 4 * PlayoutBuffer::kSlotCount) {
    const UInt64 playTime = hostTime + UInt64(double(stored) * nanosecondsPerFrame);
    const PlayoutStep step = playout->next(playTime);
    if (step.action == PlayoutAction::Wait) {
      // What is left plays now, the rest of the cycle is silence: kept, it
      // would only be heard late.
      if (stored > 0) {
        UInt32 tail = stored;
        circularBufferDequeueBufferListFrames(output, &tail, list, nullptr, &format);
      }
      decoder->_playoutIdle.store(playout->isIdle(), std::memory_order_release);
      return;
    }
    playStep(controller, decoder, step);
  }
  UInt32 delivered = frames;
  circularBufferDequeueBufferListFrames(output, &delivered, list, nullptr, &format);
  decoder->_playoutIdle.store(playout->isIdle(), std::memory_order_release);
}

}  // namespace qur
