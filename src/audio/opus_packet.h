// One Opus packet or one session signal on its way through the voice path,
// and the packet record layer that stores packets in a CircularBuffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "audio/audio_types.h"
#include "audio/circular_buffer.h"

namespace qur {

enum class OpusPacketKind : std::int32_t {
  Audio = 0,         // Opus data
  SessionStart = 1,  // play audioBufferList (the start sound) instead of data
  SessionEnd = 2,    // play audioBufferList (the end sound) instead of data
};

struct OpusPacket {
  OpusPacketKind kind;
  // Milliseconds from the start of the transmission to the capture time of
  // the packet's first input audio.
  std::uint32_t timestamp;
  std::uint32_t sessionNumber;
  std::uint32_t packetNumber;  // from 0 within a transmission
  // Sound in the codec format played instead of Opus data; not owned.
  AudioBufferList* audioBufferList;
  // Host time (steady clock nanoseconds) at which the packet reached this
  // device; 0 when nobody noted it. Never travels.
  std::uint64_t arrivalTime;
  std::uint32_t frameCount;  // frames the Opus data decodes to
  std::uint32_t dataLength;
  std::uint8_t data[];  // dataLength bytes, up to the capacity the packet was created with
};

// Bytes before data.
inline constexpr std::uint32_t kOpusPacketHeaderSize = offsetof(OpusPacket, data);

// One block holding the header and dataCapacity bytes; the header is zeroed,
// the data area is not. Null when the allocation fails.
OpusPacket* opusPacketCreate(std::uint32_t dataCapacity);
void opusPacketFree(OpusPacket* packet);
void opusPacketClearHeader(OpusPacket* packet);
inline std::uint32_t opusPacketSize(const OpusPacket* packet) {
  return kOpusPacketHeaderSize + packet->dataLength;
}

struct OpusPacketDeleter {
  void operator()(OpusPacket* packet) const { opusPacketFree(packet); }
};
using OpusPacketPtr = std::unique_ptr<OpusPacket, OpusPacketDeleter>;
inline OpusPacketPtr makeOpusPacket(std::uint32_t dataCapacity) {
  return OpusPacketPtr(opusPacketCreate(dataCapacity));
}

// ---- Packet records (audio thread safe: no allocation, lock or system call) ----
//
// A record is the packet's size as a 4-byte integer, 4 bytes of padding and
// the packet copied flat, padded to a multiple of 8 so that every stored
// packet is read in place at its natural alignment.

// Ring bytes a packet of this size occupies as a record.
inline constexpr std::int32_t opusPacketRecordSize(std::uint32_t packetSize) {
  return std::int32_t(8 + (std::uint64_t(packetSize) + 7) / 8 * 8);
}

// False (nothing stored) when the record does not fit; the caller drops it.
inline bool opusPacketBufferWrite(CircularBuffer* ring, const OpusPacket* packet) {
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

// The oldest stored packet, in place, or null. Valid until consumed.
inline OpusPacket* opusPacketBufferPeek(CircularBuffer* ring) {
  auto* start = static_cast<std::uint8_t*>(circularBufferReadPointerFor(ring, 1, nullptr));
  return start ? reinterpret_cast<OpusPacket*>(start + 8) : nullptr;
}

// Releases the oldest packet; returns the bytes still stored as far as the
// consumer has seen (the producer may have added more since): 0 when it has
// taken everything it knows of.
inline std::int32_t opusPacketBufferConsume(CircularBuffer* ring) {
  auto* start = static_cast<std::uint8_t*>(circularBufferReadPointerFor(ring, 1, nullptr));
  if (!start) return 0;
  std::int32_t length = 0;
  std::memcpy(&length, start, sizeof length);
  circularBufferConsume(ring, opusPacketRecordSize(std::uint32_t(length)));
  return std::int32_t(ring->seenProduced - ring->consumed.load(std::memory_order_relaxed));
}

}  // namespace qur
