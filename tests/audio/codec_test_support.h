// Shared helpers for the codec suites: input cycles, a recording encoder
// delegate and plain libopus decoding to look inside packets.
#pragma once

#include <opus.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "audio/audio_types.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_encoder.h"
#include "audio/opus_packet.h"

namespace qur::testing {

inline AudioStreamBasicDescription engineFormat() {
  return AudioEngine::interleaved16BitStereoAudioDescription();
}

// Interleaved stereo cycles of a sine (or silence) at the engine rate with
// host times that advance with the samples, as the engine stamps them.
class InputCycles {
 public:
  explicit InputCycles(UInt32 framesPerCycle = 441, double rate = 44100.0)
      : _frames(framesPerCycle), _rate(rate) {
    _list.reset(audioBufferListCreate(2, 4, true, framesPerCycle));
    _start = hostTimeNow();
  }

  // The next cycle; amplitude 0 gives silence.
  const AudioBufferList* next(double frequency, double amplitude) {
    auto* samples = static_cast<std::int16_t*>(_list->mBuffers[0].mData);
    for (UInt32 i = 0; i < _frames; ++i) {
      const double t = double(_position + i) / _rate;
      const auto v =
          std::int16_t(std::lround(amplitude * 32767.0 * std::sin(2 * M_PI * frequency * t)));
      samples[2 * i] = v;
      samples[2 * i + 1] = v;
    }
    _list->mBuffers[0].mDataByteSize = _frames * 4;
    _time = AudioTimeStamp{};
    _time.mSampleTime = double(_position);
    _time.mHostTime = _start + secondsToHostTicks(double(_position) / _rate);
    _time.mFlags = kAudioTimeStampSampleHostTimeValid;
    _position += _frames;
    return _list.get();
  }
  const AudioTimeStamp* time() const { return &_time; }
  UInt32 frames() const { return _frames; }
  // Host time of the first frame of the next cycle.
  UInt64 nextHostTime() const { return _start + secondsToHostTicks(double(_position) / _rate); }
  void restartClockAt(UInt64 hostTime) {
    _start = hostTime;
    _position = 0;
  }

  // Feeds `seconds` of tone to the encoder as the audio thread would.
  void feed(OpusEncoder* encoder, double seconds, double frequency, double amplitude) {
    const auto cycles = std::uint64_t(std::ceil(seconds * _rate / _frames));
    for (std::uint64_t c = 0; c < cycles; ++c) {
      const AudioBufferList* list = next(frequency, amplitude);
      OpusEncoder::receive(encoder, time(), _frames, list);
    }
  }

 private:
  UInt32 _frames;
  double _rate;
  AudioBufferListPtr _list;
  AudioTimeStamp _time{};
  std::uint64_t _position = 0;
  UInt64 _start = 0;
};

struct RecordedPacket {
  std::uint32_t session;
  std::uint32_t number;
  std::uint32_t timestamp;
  std::uint32_t frameCount;
  std::vector<std::uint8_t> data;
};

// One event per packet ("p") or status ("+" started, "-" stopped), in the
// order the delegate saw them.
class RecordingDelegate : public OpusEncoderDelegate {
 public:
  void encoderHasNewPacketsInBuffer(OpusEncoder&, CircularBuffer* buffer) override {
    std::lock_guard<std::mutex> lock(_mutex);
    while (const OpusPacket* p = opusPacketBufferPeek(buffer)) {
      packets.push_back({p->sessionNumber, p->packetNumber, p->timestamp, p->frameCount,
                         std::vector<std::uint8_t>(p->data, p->data + p->dataLength)});
      events += "p";
      EXPECT_EQ(p->kind, OpusPacketKind::Audio);
      EXPECT_EQ(p->audioBufferList, nullptr);
      opusPacketBufferConsume(buffer);
    }
    _cv.notify_all();
  }
  void encoderDidChangeItsEncodingStatusTo(OpusEncoder&, bool encoding) override {
    std::lock_guard<std::mutex> lock(_mutex);
    events += encoding ? "+" : "-";
    _cv.notify_all();
  }

  bool waitForPackets(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _cv.wait_for(lock, timeout, [&] { return packets.size() >= count; });
  }
  std::vector<RecordedPacket> takePackets() {
    std::lock_guard<std::mutex> lock(_mutex);
    return std::move(packets);
  }
  std::string takeEvents() {
    std::lock_guard<std::mutex> lock(_mutex);
    return std::move(events);
  }
  std::size_t packetCount() {
    std::lock_guard<std::mutex> lock(_mutex);
    return packets.size();
  }

  std::vector<RecordedPacket> packets;
  std::string events;

 private:
  std::mutex _mutex;
  std::condition_variable _cv;
};

// Decodes a sequence of packets with a fresh libopus decoder into 48 kHz
// interleaved stereo.
inline std::vector<std::int16_t> decodeAll(const std::vector<RecordedPacket>& packets) {
  int error = 0;
  ::OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
  std::vector<std::int16_t> pcm;
  std::vector<std::int16_t> frame(5760 * 2);
  for (const auto& p : packets) {
    const int n =
        opus_decode(decoder, p.data.data(), opus_int32(p.data.size()), frame.data(), 5760, 0);
    if (n > 0) pcm.insert(pcm.end(), frame.begin(), frame.begin() + n * 2);
  }
  opus_decoder_destroy(decoder);
  return pcm;
}

inline double rms(const std::int16_t* samples, std::size_t count) {
  if (count == 0) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(count));
}

}  // namespace qur::testing
