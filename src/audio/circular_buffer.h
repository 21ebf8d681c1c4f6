// Lock-free single-producer single-consumer byte ring whose storage is mapped
// twice back to back, so every read or write of up to the whole capacity is
// one contiguous run of memory. On top of it: audio records (a timestamped
// AudioBufferList stored in place) and, in opus_packet.h, packet records.
//
// Threading: one producer and one consumer at a time. Each side owns a
// free-running byte counter (produced, consumed) that it publishes with a
// release store after the bytes are written or read; the other side loads it
// with acquire. The stored byte count is produced - consumed (modulo 2^32,
// exact because length < 2^31). Each side also keeps the last value it saw of
// the other's counter and looks at the shared one only when that stale value
// says there is not enough, so records passing through a busy ring do not
// drag a cache line between the two cores each time.
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

// The consumer's fields and the producer's fields sit on separate cache
// lines; buffer and length, read by both and written only at set-up, on a
// third.
struct CircularBuffer {
  std::uint8_t* buffer = nullptr;
  std::int32_t length = 0;

  // Consumer side.
  alignas(64) std::int32_t tail = 0;  // consumed mod length
  std::uint32_t seenProduced = 0;     // the producer's counter when last looked at
  std::atomic<std::uint32_t> consumed{0};

  // Producer side.
  alignas(64) std::int32_t head = 0;  // produced mod length
  std::uint32_t seenConsumed = 0;     // the consumer's counter when last looked at
  std::atomic<std::uint32_t> produced{0};

  bool isValid() const { return buffer != nullptr; }
};

// Requested bytes are rounded up to whole pages. Prints one line to standard
// output and returns false when the mirrored mapping cannot be made.
bool circularBufferSetUp(CircularBuffer* ring, std::int32_t length);
// Unmaps the storage and zeroes every field. Harmless on a ring never set up.
void circularBufferTearDown(CircularBuffer* ring);
// Consumer side: releases everything stored.
void circularBufferDiscardAll(CircularBuffer* ring);

// Stops the process: a caller produced more than is free or consumed more
// than is stored, which would otherwise corrupt records silently.
[[noreturn]] void circularBufferMisuse(const char* what, const char* func);

// Bytes stored, for any thread; threads that are neither producer nor
// consumer must ask here rather than through the read or write pointer,
// which read that side's own offset. The count may be stale by the time it
// is acted on.
inline std::int32_t circularBufferFillCount(const CircularBuffer* ring) {
  const std::uint32_t consumed = ring->consumed.load(std::memory_order_acquire);
  const std::uint32_t produced = ring->produced.load(std::memory_order_acquire);
  const std::int32_t fill = std::int32_t(produced - consumed);
  // Two loads are not one snapshot: a bystander may see the producer run ahead.
  return fill < 0 ? 0 : (fill > ring->length ? ring->length : fill);
}

// Consumer side: pointer to the oldest byte (null when empty) and the exact
// count of stored bytes. Changes nothing, so the last view of the producer's
// counter stays the consumer's own.
inline void* circularBufferReadPointer(CircularBuffer* ring, std::int32_t* availableBytes) {
  std::int32_t fill = 0;
  if (ring->buffer) {
    fill = std::int32_t(ring->produced.load(std::memory_order_acquire) -
                        ring->consumed.load(std::memory_order_relaxed));
  }
  if (availableBytes) *availableBytes = fill;
  return fill == 0 ? nullptr : ring->buffer + ring->tail;
}

// Producer side: pointer to the first free byte (null when full or never set
// up) and the exact count of free bytes. Changes nothing.
inline void* circularBufferWritePointer(CircularBuffer* ring, std::int32_t* freeBytes) {
  std::int32_t space = 0;
  if (ring->buffer) {
    space = ring->length - std::int32_t(ring->produced.load(std::memory_order_relaxed) -
                                        ring->consumed.load(std::memory_order_acquire));
  }
  if (freeBytes) *freeBytes = space;
  return space == 0 ? nullptr : ring->buffer + ring->head;
}

// Producer side: the write pointer when at least bytes (> 0) are free, else
// null; freeBytes gets a lower bound of the free count. The consumer's
// counter is loaded only when the last value seen leaves too little room.
inline void* circularBufferWritePointerFor(CircularBuffer* ring, std::int32_t bytes,
                                           std::int32_t* freeBytes) {
  const std::uint32_t produced = ring->produced.load(std::memory_order_relaxed);
  std::int32_t space = ring->length - std::int32_t(produced - ring->seenConsumed);
  if (space < bytes) {
    ring->seenConsumed = ring->consumed.load(std::memory_order_acquire);
    space = ring->length - std::int32_t(produced - ring->seenConsumed);
  }
  if (!ring->buffer) space = 0;
  if (freeBytes) *freeBytes = space;
  return space >= bytes && space > 0 ? ring->buffer + ring->head : nullptr;
}

// Consumer side: the read pointer when at least bytes (> 0) are stored, else
// null; availableBytes gets a lower bound of the stored count. The
// producer's counter is loaded only when the last value seen shows too few.
inline void* circularBufferReadPointerFor(CircularBuffer* ring, std::int32_t bytes,
                                          std::int32_t* availableBytes) {
  const std::uint32_t consumed = ring->consumed.load(std::memory_order_relaxed);
  std::int32_t fill = std::int32_t(ring->seenProduced - consumed);
  if (fill < bytes) {
    ring->seenProduced = ring->produced.load(std::memory_order_acquire);
    fill = std::int32_t(ring->seenProduced - consumed);
  }
  if (!ring->buffer) fill = 0;
  if (availableBytes) *availableBytes = fill;
  return fill >= bytes && fill > 0 ? ring->buffer + ring->tail : nullptr;
}

// Consumer side: releases bytes (at most what is stored) and publishes the
// release to the producer.
inline void circularBufferConsume(CircularBuffer* ring, std::int32_t bytes) {
  const std::uint32_t consumed = ring->consumed.load(std::memory_order_relaxed);
  if (__builtin_expect(std::uint32_t(bytes) > ring->seenProduced - consumed, 0)) {
    ring->seenProduced = ring->produced.load(std::memory_order_acquire);
    if (bytes < 0 || std::uint32_t(bytes) > ring->seenProduced - consumed) {
      circularBufferMisuse("bytes <= stored", __func__);
    }
  }
  if (bytes == 0) return;
  // bytes <= length, so one subtraction wraps the offset without a division.
  const std::uint32_t tail = std::uint32_t(ring->tail) + std::uint32_t(bytes);
  ring->tail = std::int32_t(tail >= std::uint32_t(ring->length) ? tail - ring->length : tail);
  ring->consumed.store(consumed + std::uint32_t(bytes), std::memory_order_release);
}

// Producer side: publishes bytes (at most what is free) written at the write
// pointer.
inline void circularBufferProduce(CircularBuffer* ring, std::int32_t bytes) {
  const std::uint32_t produced = ring->produced.load(std::memory_order_relaxed);
  if (__builtin_expect(bytes <= 0 || !ring->buffer ||
                           bytes > ring->length - std::int32_t(produced - ring->seenConsumed),
                       0)) {
    ring->seenConsumed = ring->consumed.load(std::memory_order_acquire);
    if (bytes < 0 || bytes > ring->length - std::int32_t(produced - ring->seenConsumed)) {
      circularBufferMisuse("bytes <= free", __func__);
    }
    if (bytes == 0) return;
    if (!ring->buffer) circularBufferMisuse("ring set up", __func__);
  }
  const std::uint32_t head = std::uint32_t(ring->head) + std::uint32_t(bytes);
  ring->head = std::int32_t(head >= std::uint32_t(ring->length) ? head - ring->length : head);
  ring->produced.store(produced + std::uint32_t(bytes), std::memory_order_release);
}

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
