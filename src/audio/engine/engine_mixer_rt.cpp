#include "audio/engine/engine_mixer_rt.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "audio/engine/audio_engine.h"

namespace qur {
namespace {

// Separate buffers, said so: otherwise the compiler keeps the sum loop scalar.
void addBus(int32_t* __restrict sum, const int16_t* __restrict bus, size_t samples) {
  for (size_t s = 0; s < samples; ++s) sum[s] += bus[s];
}

}  // namespace

EngineMixer::EngineMixer(UInt32 channelsPerFrame, UInt32 maxFrames)
    : _channels(std::max<UInt32>(channelsPerFrame, 1)), _maxFrames(maxFrames) {
  const size_t samples = size_t(_maxFrames) * _channels;
  _mix.assign(samples, 0.0f);
  _sum.assign(samples, 0);
  _bus.assign(samples, 0);
  _busList = static_cast<AudioBufferList*>(std::calloc(1, audioBufferListHeaderSize(1)));
  _busList->mNumberBuffers = 1;
  _busList->mBuffers[0].mNumberChannels = _channels;
}

EngineMixer::~EngineMixer() {
  std::free(_busList);
}

void EngineMixer::render(AudioEngine* engine, EngineChannelRecord* const* records, int count,
                         float master, int16_t* output, UInt32 frames, uint64_t hostTimeNs) {
  frames = std::min(frames, _maxFrames);
  const size_t samples = size_t(frames) * _channels;
  const UInt32 bytes = UInt32(samples * sizeof(int16_t));
  // Channels at unity gain (the usual case: decoders, sounds at full volume)
  // are summed exactly in integers; the others in floating point.
  int32_t* sum = _sum.data();
  float* mix = _mix.data();
  int16_t* bus = _bus.data();
  std::fill(sum, sum + samples, 0);
  bool anyScaled = false;

  for (int i = 0; i < count; ++i) {
    EngineChannelRecord* record = records[i];
    AudioPlayable* channel = record->channel;
    // A bus only renders while its channel plays and is not muted.
    if (!record->callback || !channel->channelIsPlaying() || channel->channelIsMuted()) continue;
    record->timestamp.mHostTime = hostTimeNs;
    // Zeroed every time: a channel that writes nothing plays silence, not the last bus.
    std::memset(bus, 0, bytes);
    _busList->mBuffers[0].mData = bus;
    _busList->mBuffers[0].mDataByteSize = bytes;
    record->callback(channel, engine, &record->timestamp, frames, _busList);
    record->timestamp.mSampleTime += frames;

    const float volume = channel->volume();
    const float pan = channel->pan();
    if (volume == 1.0f && (pan == 0.0f || _channels != 2)) {
      addBus(sum, bus, samples);
      continue;
    }
    if (!anyScaled) {
      std::fill(mix, mix + samples, 0.0f);
      anyScaled = true;
    }
    if (_channels == 2) {
      // Balance pan: the far side fades out, the near side stays at full level.
      const float p = std::clamp(pan, -0.999f, 0.999f);
      const float gains[2] = {volume * (p > 0 ? 1.0f - p : 1.0f),
                              volume * (p < 0 ? 1.0f + p : 1.0f)};
      for (size_t s = 0; s < samples; ++s) mix[s] += gains[s & 1] * float(bus[s]);
    } else {
      for (size_t s = 0; s < samples; ++s) mix[s] += volume * float(bus[s]);
    }
  }

  if (!anyScaled && master == 1.0f) {
    for (size_t s = 0; s < samples; ++s) {
      output[s] = static_cast<int16_t>(std::clamp(sum[s], -32768, 32767));
    }
    return;
  }
  for (size_t s = 0; s < samples; ++s) {
    const float v = (float(sum[s]) + (anyScaled ? mix[s] : 0.0f)) * master;
    output[s] = static_cast<int16_t>(std::clamp(v, -32768.0f, 32767.0f));
  }
}

}  // namespace qur
