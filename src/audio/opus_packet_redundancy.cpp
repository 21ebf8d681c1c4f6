#include "audio/opus_packet_redundancy.h"

namespace qur {

namespace {

// Just enough of the range decoder (RFC 6716, 4.1) to read the first
// equiprobable bits of a frame: the voice-activity and redundancy flags that
// open every frame of the speech layer.
class FlagReader {
 public:
  FlagReader(const std::uint8_t* data, std::uint32_t length) : _data(data), _length(length) {
    _rem = readByte();
    _val = _rng - 1 - (_rem >> 1);
    normalize();
  }
  bool bit() {
    const std::uint32_t s = _rng >> 1;
    const bool one = _val < s;
    if (!one) _val -= s;
    _rng = one ? s : _rng - s;
    normalize();
    return one;
  }

 private:
  std::uint32_t readByte() { return _at < _length ? _data[_at++] : 0; }
  void normalize() {
    while (_rng <= (1u << 23)) {
      _rng <<= 8;
      const std::uint32_t previous = _rem;
      _rem = readByte();
      const std::uint32_t symbol = ((previous << 8) | _rem) >> 1;
      _val = ((_val << 8) + (255 & ~symbol)) & 0x7FFFFFFFu;
    }
  }

  const std::uint8_t* _data;
  std::uint32_t _length;
  std::uint32_t _at = 0;
  std::uint32_t _rng = 128;
  std::uint32_t _val = 0;
  std::uint32_t _rem = 0;
};

// Where the first frame of the packet starts and how long it is; false for a
// malformed packet.
bool firstFrame(const std::uint8_t* data, std::uint32_t length, std::uint32_t* offset,
                std::uint32_t* size) {
  const std::uint32_t code = data[0] & 3;
  std::uint32_t at = 1;
  if (code == 0) {
    *offset = at;
    *size = length - at;
    return true;
  }
  if (code == 1) {
    if ((length - 1) % 2 != 0) return false;
    *offset = at;
    *size = (length - 1) / 2;
    return true;
  }
  auto frameLength = [&](std::uint32_t* out) {
    if (at >= length) return false;
    std::uint32_t first = data[at++];
    if (first >= 252) {
      if (at >= length) return false;
      first += 4 * std::uint32_t(data[at++]);
    }
    *out = first;
    return true;
  };
  if (code == 2) {
    std::uint32_t first = 0;
    if (!frameLength(&first) || first > length - at) return false;
    *offset = at;
    *size = first;
    return true;
  }
  // Code 3: a frame count byte, optional padding, then sizes when variable.
  if (at >= length) return false;
  const std::uint8_t countByte = data[at++];
  const std::uint32_t frames = countByte & 0x3F;
  if (frames == 0) return false;
  std::uint32_t padding = 0;
  if (countByte & 0x40) {
    for (;;) {
      if (at >= length) return false;
      const std::uint8_t p = data[at++];
      padding += p == 255 ? 254 : p;
      if (p != 255) break;
    }
  }
  if (padding > length - at) return false;
  const std::uint32_t end = length - padding;
  if (countByte & 0x80) {
    std::uint32_t first = 0;
    if (!frameLength(&first)) return false;
    // The other sizes follow; the first frame begins after all of them.
    for (std::uint32_t i = 2; i < frames; ++i) {
      std::uint32_t skipped = 0;
      if (!frameLength(&skipped)) return false;
    }
    if (at > end || first > end - at) return false;
    *offset = at;
    *size = first;
    return true;
  }
  if (at > end || (end - at) % frames != 0) return false;
  *offset = at;
  *size = (end - at) / frames;
  return true;
}

}  // namespace

bool opusPacketCarriesRedundancy(const std::uint8_t* data, std::uint32_t length) {
  if (!data || length < 2) return false;
  const std::uint32_t config = data[0] >> 3;
  if (config >= 16) return false;  // music mode only
  std::uint32_t offset = 0, size = 0;
  if (!firstFrame(data, length, &offset, &size) || size == 0) return false;
  // Speech-layer frames per Opus frame: 10 and 20 ms hold one, 40 two, 60 three.
  std::uint32_t speechFrames = 1;
  if (config < 12) speechFrames = std::uint32_t(config & 3) == 2 ? 2 : (config & 3) == 3 ? 3 : 1;
  const std::uint32_t channels = (data[0] & 4) ? 2 : 1;
  FlagReader reader(data + offset, size);
  bool redundancy = false;
  for (std::uint32_t c = 0; c < channels; ++c) {
    for (std::uint32_t i = 0; i < speechFrames; ++i) reader.bit();  // voice activity
    redundancy = reader.bit() || redundancy;
  }
  return redundancy;
}

}  // namespace qur
