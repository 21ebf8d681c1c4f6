// Lock-free single-producer single-consumer byte ring whose storage is mapped
// twice back to back, so every read or write of up to the whole capacity is
// one contiguous run of memory. On top of it: audio records (a timestamped
// AudioBufferList stored in place) and, in opus_packet.h, packet records.
//
// Threading: one producer and one consumer at a time. head and the bytes at
// the write position belong to the producer, tail and the bytes at the read
// position to the consumer; fillCount is the only shared word and changes
// only through full-barrier atomic additions made after the bytes are
// written or read.
//
// Every operation after set-up is audio thread safe: allocation-, lock- and
// system-call-free.
//
// A ring whose set-up failed has length set and buffer null: it reports no
// free space and no stored bytes, so it refuses to produce and never yields
// anything. Check isValid() where it matters.
#pragma once

#include <atomic>
#include <cstdint>

#include "audio/audio_types.h"

namespace qur {

// Each side's word sits on its own cache line, so the consumer moving tail
// does not evict the producer's head and the other way round; only fillCount
// travels between the two cores.
struct CircularBuffer {
  std::uint8_t* buffer = nullptr;
  std::int32_t length = 0;
  alignas(64) std::int32_t tail = 0;
  std::int32_t knownFill = 0;  // consumer's lower bound of fillCount
  alignas(64) std::int32_t head = 0;
  std::int32_t knownFree = 0;  // producer's lower bound of the free bytes
  alignas(64) std::atomic<std::int32_t> fillCount{0};

  bool isValid() const { return buffer != nullptr; }
};

// Requested bytes are rounded up to whole pages. Prints one line to standard
// output and returns false when the mirrored mapping cannot be made.
bool circularBufferSetUp(CircularBuffer* ring, std::int32_t length);
// Unmaps the storage and zeroes every field. Harmless on a ring never set up.
void circularBufferTearDown(CircularBuffer* ring);
void circularBufferDiscardAll(CircularBuffer* ring);

// Consumer side: pointer to the oldest byte (null when empty) and the count
// of stored bytes.
inline void* circularBufferReadPointer(CircularBuffer* ring, std::int32_t* availableBytes) {
  const std::int32_t fill = ring->buffer ? ring->fillCount.load(std::memory_order_acquire) : 0;
  if (availableBytes) *availableBytes = fill;
  return fill == 0 ? nullptr : ring->buffer + ring->tail;
}

// Producer side: pointer to the first free byte (null when full or never set
// up) and the count of free bytes.
inline void* circularBufferWritePointer(CircularBuffer* ring, std::int32_t* freeBytes) {
  const std::int32_t space =
      ring->buffer ? ring->length - ring->fillCount.load(std::memory_order_acquire) : 0;
  if (freeBytes) *freeBytes = space;
  return space == 0 ? nullptr : ring->buffer + ring->head;
}

// Producer side: the write pointer when at least bytes are free, else null.
// The shared count is read only when the producer's own lower bound falls
// short, which keeps the two cores from trading its cache line per record.
inline void* circularBufferWritePointerFor(CircularBuffer* ring, std::int32_t bytes,
                                           std::int32_t* freeBytes) {
  if (!ring->buffer) {
    if (freeBytes) *freeBytes = 0;
    return nullptr;
  }
  if (ring->knownFree < bytes || ring->knownFree == 0) {
    ring->knownFree = ring->length - ring->fillCount.load(std::memory_order_acquire);
  }
  if (freeBytes) *freeBytes = ring->knownFree;
  return ring->knownFree >= bytes && ring->knownFree > 0 ? ring->buffer + ring->head : nullptr;
}

// Consumer side: the read pointer when at least bytes are stored, else null.
inline void* circularBufferReadPointerFor(CircularBuffer* ring, std::int32_t bytes,
                                          std::int32_t* availableBytes) {
  if (!ring->buffer) {
    if (availableBytes) *availableBytes = 0;
    return nullptr;
  }
  if (ring->knownFill < bytes || ring->knownFill == 0) {
    ring->knownFill = ring->fillCount.load(std::memory_order_acquire);
  }
  if (availableBytes) *availableBytes = ring->knownFill;
  return ring->knownFill >= bytes && ring->knownFill > 0 ? ring->buffer + ring->tail : nullptr;
}

void circularBufferConsume(CircularBuffer* ring, std::int32_t bytes);
void circularBufferProduce(CircularBuffer* ring, std::int32_t bytes);

// Convenience for byte streams: copies up to len bytes in (returns false and
// stores nothing when they do not all fit) / out (returns the count copied).
bool circularBufferProduceBytes(CircularBuffer* ring, const void* src, std::int32_t len);
std::int32_t circularBufferConsumeBytes(CircularBuffer* ring, void* dst, std::int32_t len);

// ---- Audio records ------------------------------------------------------

// Frame count meaning "every byte of the source list's first buffer".
inline constexpr UInt32 kCircularBufferCopyAll = 0xFFFFFFFFu;

// Lays out an empty record of numberBuffers buffers of bytesPerBuffer bytes at
// the write position and returns its list, or null when it does not fit.
// Nothing is published until circularBufferProduceAudioBufferList. The
// writer may shrink mDataByteSize values before publishing, never grow them.
AudioBufferList* circularBufferPrepareEmptyAudioBufferList(CircularBuffer* ring,
                                                           UInt32 numberBuffers,
                                                           UInt32 bytesPerBuffer,
                                                           const AudioTimeStamp* timestamp);
// Publishes the prepared record, optionally overwriting its timestamp.
void circularBufferProduceAudioBufferList(CircularBuffer* ring, const AudioTimeStamp* timestamp);

// Stores frames (or kCircularBufferCopyAll) of every buffer of the source as
// one record. Returns false and stores nothing when there is no room. format
// may be null only with kCircularBufferCopyAll.
bool circularBufferCopyAudioBufferList(CircularBuffer* ring, const AudioBufferList* source,
                                       const AudioTimeStamp* timestamp, UInt32 frames,
                                       const AudioStreamBasicDescription* format);

// Frames stored in all records together; the oldest record's timestamp is
// copied to timestamp when given and something is stored.
UInt32 circularBufferPeek(CircularBuffer* ring, AudioTimeStamp* timestamp,
                          const AudioStreamBasicDescription* format);

// The oldest record's list (read in place) or null; timestamp is zeroed when
// nothing is stored.
AudioBufferList* circularBufferOldestBufferList(CircularBuffer* ring, AudioTimeStamp* timestamp);
void circularBufferConsumeOldestBufferList(CircularBuffer* ring);

// Takes frames off the front of the oldest record, moving its timestamp on;
// a request covering the whole record releases it.
void circularBufferConsumeNextBufferListPartial(CircularBuffer* ring, int frames,
                                                const AudioStreamBasicDescription* format);

// Copies and removes up to *frames frames across records into destination
// (or just drops them when destination is null). *frames comes back as the
// count delivered and every destination buffer's mDataByteSize as its bytes.
// timestamp receives the first record's timestamp (zero when none was read).
void circularBufferDequeueBufferListFrames(CircularBuffer* ring, UInt32* frames,
                                           AudioBufferList* destination, AudioTimeStamp* timestamp,
                                           const AudioStreamBasicDescription* format);

}  // namespace qur
