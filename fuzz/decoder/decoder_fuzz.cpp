// The decoder's render callback fed arbitrary packets, as a misbehaving peer
// could send them: any session numbers, kinds, lengths and Opus bytes,
// interleaved with render cycles of any size up to the engine's maximum.
//
// Input: one byte choosing the decoder (odd: with a playout buffer, which
// plays by a virtual clock that each render advances by its frames), then a
// sequence of operations, each starting with one byte:
//   0..127    render (byte % 64 + next byte) * 64 frames, at most 4096
//   128..191  an audio packet: session (1 byte), packet number (1 byte),
//             arrival in ms after the last render (1 byte), frame count
//             (1 byte, times 120), length (2 bytes), data
//   192..223  a session start signal: session (1 byte), sound (1 byte)
//   224..255  a session end signal: session (1 byte), sound (1 byte)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "audio/audio_buffer_list.h"
#include "audio/engine/audio_engine.h"
#include "audio/opus_decoder.h"
#include "audio/opus_packet.h"

namespace {

using namespace qur;
using qur::OpusDecoder;

struct Fixture {
  AudioBufferListPtr sounds[3];
  AudioBufferListPtr output;
  OpusPacketPtr packet;

  Fixture() {
    const UInt32 lengths[3] = {1, 480, 9600};
    for (int i = 0; i < 3; ++i) {
      sounds[i].reset(audioBufferListCreateForFormat(codecAudioDescription(), lengths[i]));
      auto* s = static_cast<std::int16_t*>(sounds[i]->mBuffers[0].mData);
      for (UInt32 f = 0; f < lengths[i] * 2; ++f) s[f] = std::int16_t((f * 977) % 20000 - 10000);
    }
    output.reset(audioBufferListCreate(2, 4, true, AudioEngine::kMaxFramesPerSlice));
    packet = makeOpusPacket(70000);
  }
};

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : _data(data), _size(size) {}
  bool empty() const { return _at >= _size; }
  std::uint8_t byte() { return _at < _size ? _data[_at++] : 0; }
  std::size_t take(std::uint8_t* out, std::size_t count) {
    const std::size_t n = std::min(count, _size - std::min(_at, _size));
    std::memcpy(out, _data + _at, n);
    _at += n;
    return n;
  }

 private:
  const std::uint8_t* _data;
  std::size_t _size;
  std::size_t _at = 0;
};

// The virtual clock: host nanoseconds, advanced by every render.
UInt64 now = 0;

void render(OpusDecoder* decoder, AudioBufferList* list, UInt32 frames) {
  list->mBuffers[0].mDataByteSize = frames * 4;
  std::memset(list->mBuffers[0].mData, 0, frames * 4);
  OpusDecoder::render(decoder, nullptr, now, frames, list);
  now += UInt64(frames) * 1'000'000'000ull / 44100;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  auto decoder =
      qur::OpusDecoder::create(qur::AudioEngine::interleaved16BitStereoAudioDescription());
  if (!decoder) return 0;
  Reader in(data, size);
  if (in.byte() & 1) decoder->enablePlayout();
  now = 1'000'000'000;
  CircularBuffer* ring = decoder->inputBuffer();
  OpusPacket* packet = fixture.packet.get();
  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    if (op < 128) {
      const UInt32 frames = std::min<UInt32>((op % 64 + in.byte()) * 64 + 1, 4096);
      render(decoder.get(), fixture.output.get(), frames);
      continue;
    }
    opusPacketClearHeader(packet);
    packet->sessionNumber = in.byte();
    if (op < 192) {
      packet->kind = OpusPacketKind::Audio;
      packet->packetNumber = in.byte();
      packet->arrivalTime = now + UInt64(in.byte()) * 1'000'000;
      packet->frameCount = UInt32(in.byte()) * 120;
      const std::size_t length = (std::size_t(in.byte()) << 8) | in.byte();
      packet->dataLength = std::uint32_t(in.take(packet->data, length));
    } else {
      packet->kind = op < 224 ? OpusPacketKind::SessionStart : OpusPacketKind::SessionEnd;
      packet->audioBufferList = fixture.sounds[in.byte() % 3].get();
    }
    opusPacketBufferWrite(ring, packet);
  }
  // Play out whatever is left, as the engine would keep asking; a
  // transmission that never ends is followed for a second.
  for (int cycle = 0; cycle < 4000 &&
                      (circularBufferFillCount(ring) > 0 || (cycle < 100 && !decoder->isDrained()));
       ++cycle) {
    render(decoder.get(), fixture.output.get(), 441);
  }
  return 0;
}
