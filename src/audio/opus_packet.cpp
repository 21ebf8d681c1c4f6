#include "audio/opus_packet.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace qur {

static_assert(alignof(OpusPacket) <= 8, "packet records are 8-byte aligned");

OpusPacket* opusPacketCreate(std::uint32_t dataCapacity) {
  void* block = std::malloc(std::size_t(kOpusPacketHeaderSize) + dataCapacity);
  if (!block) return nullptr;
  auto* packet = static_cast<OpusPacket*>(block);
  opusPacketClearHeader(packet);
  return packet;
}

void opusPacketFree(OpusPacket* packet) {
  std::free(packet);
}

void opusPacketClearHeader(OpusPacket* packet) {
  std::memset(static_cast<void*>(packet), 0, kOpusPacketHeaderSize);
}

}  // namespace qur
