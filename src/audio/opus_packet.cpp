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

bool opusPacketBufferWrite(CircularBuffer* ring, const OpusPacket* packet) {
  const std::uint32_t size = opusPacketSize(packet);
  const std::int32_t recordSize = opusPacketRecordSize(size);
  if (recordSize <= 0) return false;
  auto* start =
      static_cast<std::uint8_t*>(circularBufferWritePointerFor(ring, recordSize, nullptr));
  if (!start) return false;
  // The size and its padding word go in as one store. The padding at the end
  // (under 8 bytes) is cleared by one 8-byte store that the packet copy then
  // partly overwrites, rather than by a second pass over the record.
  const std::uint64_t prefix = size;
  std::memcpy(start, &prefix, sizeof prefix);
  const std::uint64_t zero = 0;
  std::memcpy(start + recordSize - 8, &zero, sizeof zero);
  std::memcpy(start + 8, packet, size);
  circularBufferProduce(ring, recordSize);
  return true;
}

OpusPacket* opusPacketBufferPeek(CircularBuffer* ring) {
  auto* start = static_cast<std::uint8_t*>(circularBufferReadPointerFor(ring, 1, nullptr));
  if (!start) return nullptr;
  return reinterpret_cast<OpusPacket*>(start + 8);
}

std::int32_t opusPacketBufferConsume(CircularBuffer* ring) {
  auto* start = static_cast<std::uint8_t*>(circularBufferReadPointerFor(ring, 1, nullptr));
  if (!start) return 0;
  std::int32_t length = 0;
  std::memcpy(&length, start, sizeof length);
  circularBufferConsume(ring, opusPacketRecordSize(std::uint32_t(length)));
  // What this side knows without asking the producer again: at least this
  // much is still stored.
  return std::int32_t(ring->seenProduced - ring->consumed.load(std::memory_order_relaxed));
}

}  // namespace qur
