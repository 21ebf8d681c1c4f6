#include "audio/circular_buffer.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qur {

// Other programming errors by a caller (a destination too small, a record
// misaligned) would also corrupt memory silently, so they stop the process in
// every build type too.
#define QUR_RING_CHECK(cond)                                                 \
  do {                                                                       \
    if (__builtin_expect(!(cond), 0)) circularBufferMisuse(#cond, __func__); \
  } while (0)

void circularBufferMisuse(const char* what, const char* func) {
  std::fprintf(stderr, "%s: ring misuse: %s\n", func, what);
  std::abort();
}

namespace {

void reportFailure(int number, const char* operation, int error) {
  std::printf("%s:%d: %s: %s\n", "QURCircularBuffer", number, operation, std::strerror(error));
  std::fflush(stdout);
}

constexpr std::uintptr_t kRecordAlignment = 16;

constexpr std::size_t alignUp(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// One stored AudioBufferList and its data, starting 16-byte aligned.
struct AudioRecord {
  AudioTimeStamp timestamp;
  UInt32 totalLength;
  UInt32 reserved;
  AudioBufferList bufferList;  // mNumberBuffers entries, then the data areas
};

constexpr std::size_t recordHeaderSize(UInt32 numberBuffers) {
  return offsetof(AudioRecord, bufferList) + audioBufferListHeaderSize(numberBuffers);
}

AudioRecord* oldestRecord(CircularBuffer* ring) {
  return static_cast<AudioRecord*>(circularBufferReadPointerFor(ring, 1, nullptr));
}

}  // namespace

bool circularBufferSetUp(CircularBuffer* ring, std::int32_t requested) {
  if (ring->buffer) circularBufferTearDown(ring);
  const long page = sysconf(_SC_PAGESIZE);
  const std::int64_t rounded =
      requested <= 0 ? 0 : (std::int64_t(requested) + page - 1) / page * page;
  ring->buffer = nullptr;
  ring->tail = ring->head = 0;
  ring->seenProduced = ring->seenConsumed = 0;
  ring->consumed.store(0);
  ring->produced.store(0);
  ring->length = rounded <= INT32_MAX ? std::int32_t(rounded) : 0;
  if (rounded == 0 || rounded > INT32_MAX) {
    reportFailure(60, "Buffer allocation", EINVAL);
    return false;
  }
  const std::size_t length = std::size_t(rounded);

  const int fd = memfd_create("qur-ring", MFD_CLOEXEC);
  if (fd < 0) {
    reportFailure(60, "Buffer allocation", errno);
    return false;
  }
  if (ftruncate(fd, off_t(length)) != 0) {
    const int error = errno;
    close(fd);
    reportFailure(60, "Buffer allocation", error);
    return false;
  }

  for (int attempt = 0; attempt < 4; ++attempt) {
    // Reserve both halves, keep the lower one backed by the memory object and
    // release the upper one to put the second view of the same pages there.
    void* reserved = mmap(nullptr, 2 * length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED) {
      const int error = errno;
      close(fd);
      reportFailure(60, "Buffer allocation", error);
      return false;
    }
    auto* lower = static_cast<std::uint8_t*>(reserved);
    if (mmap(lower, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
      const int error = errno;
      munmap(lower, 2 * length);
      close(fd);
      reportFailure(60, "Buffer allocation", error);
      return false;
    }
    if (munmap(lower + length, length) != 0) {
      const int error = errno;
      munmap(lower, length);
      close(fd);
      reportFailure(73, "Buffer deallocation", error);
      return false;
    }
    void* upper = mmap(lower + length, length, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_FIXED_NOREPLACE, fd, 0);
    if (upper == MAP_FAILED && errno != EEXIST) {
      const int error = errno;
      munmap(lower, length);
      close(fd);
      reportFailure(97, "Remap buffer memory", error);
      return false;
    }
    if (upper != lower + length) {
      // Another thread took the upper half in between (or an old kernel put
      // the view elsewhere): start over.
      if (upper != MAP_FAILED) munmap(upper, length);
      munmap(lower, length);
      continue;
    }
    close(fd);
    ring->buffer = lower;
    return true;
  }
  close(fd);
  std::printf("Couldn't map buffer memory to end of buffer\n");
  std::fflush(stdout);
  return false;
}

void circularBufferTearDown(CircularBuffer* ring) {
  if (ring->buffer) munmap(ring->buffer, 2 * std::size_t(ring->length));
  ring->buffer = nullptr;
  ring->length = 0;
  ring->tail = 0;
  ring->head = 0;
  ring->seenProduced = 0;
  ring->seenConsumed = 0;
  ring->consumed.store(0);
  ring->produced.store(0);
}

void circularBufferDiscardAll(CircularBuffer* ring) {
  std::int32_t fill = 0;
  circularBufferReadPointer(ring, &fill);
  if (fill > 0) circularBufferConsume(ring, fill);
}

bool circularBufferProduceBytes(CircularBuffer* ring, const void* src, std::int32_t len) {
  if (len <= 0) return len == 0;
  void* dst = circularBufferWritePointerFor(ring, len, nullptr);
  if (!dst) return false;
  std::memcpy(dst, src, std::size_t(len));
  circularBufferProduce(ring, len);
  return true;
}

std::int32_t circularBufferConsumeBytes(CircularBuffer* ring, void* dst, std::int32_t len) {
  std::int32_t available = 0;
  const void* src = circularBufferReadPointer(ring, &available);
  const std::int32_t count = std::min(std::max(len, 0), available);
  if (count <= 0) return 0;
  std::memcpy(dst, src, std::size_t(count));
  circularBufferConsume(ring, count);
  return count;
}

AudioBufferList* circularBufferPrepareEmptyAudioBufferList(CircularBuffer* ring,
                                                           UInt32 numberBuffers,
                                                           UInt32 bytesPerBuffer,
                                                           const AudioTimeStamp* timestamp) {
  // The record's exact size, data areas aligned, before touching the ring.
  const std::size_t header = recordHeaderSize(numberBuffers);
  std::size_t end = header;
  for (UInt32 i = 0; i < numberBuffers; ++i) end = alignUp(end, kRecordAlignment) + bytesPerBuffer;
  const std::size_t total = alignUp(end, kRecordAlignment);
  if (total > std::size_t(INT32_MAX)) return nullptr;
  auto* start =
      static_cast<std::uint8_t*>(circularBufferWritePointerFor(ring, std::int32_t(total), nullptr));
  if (!start) return nullptr;
  QUR_RING_CHECK(reinterpret_cast<std::uintptr_t>(start) % kRecordAlignment == 0);

  auto* record = reinterpret_cast<AudioRecord*>(start);
  if (timestamp) {
    record->timestamp = *timestamp;
  } else {
    std::memset(&record->timestamp, 0, sizeof record->timestamp);
  }
  std::memset(&record->bufferList, 0, audioBufferListHeaderSize(numberBuffers));
  record->bufferList.mNumberBuffers = numberBuffers;

  std::size_t position = header;
  for (UInt32 i = 0; i < numberBuffers; ++i) {
    position = alignUp(position, kRecordAlignment);
    AudioBuffer& buffer = record->bufferList.mBuffers[i];
    buffer.mData = start + position;
    buffer.mDataByteSize = bytesPerBuffer;
    buffer.mNumberChannels = 1;
    position += bytesPerBuffer;
  }
  record->totalLength = UInt32(total);
  return &record->bufferList;
}

void circularBufferProduceAudioBufferList(CircularBuffer* ring, const AudioTimeStamp* timestamp) {
  QUR_RING_CHECK(ring->buffer != nullptr);
  auto* start = ring->buffer + ring->head;  // where the record was prepared
  auto* record = reinterpret_cast<AudioRecord*>(start);
  if (timestamp) record->timestamp = *timestamp;

  const AudioBufferList& list = record->bufferList;
  std::size_t end = recordHeaderSize(list.mNumberBuffers);
  if (list.mNumberBuffers > 0) {
    const AudioBuffer& last = list.mBuffers[list.mNumberBuffers - 1];
    end = std::size_t(static_cast<std::uint8_t*>(last.mData) + last.mDataByteSize - start);
  }
  const std::size_t total = alignUp(end, kRecordAlignment);
  QUR_RING_CHECK(total <= record->totalLength &&
                 circularBufferWritePointerFor(ring, std::int32_t(total), nullptr) != nullptr);
  record->totalLength = UInt32(total);
  circularBufferProduce(ring, std::int32_t(total));
}

bool circularBufferCopyAudioBufferList(CircularBuffer* ring, const AudioBufferList* source,
                                       const AudioTimeStamp* timestamp, UInt32 frames,
                                       const AudioStreamBasicDescription* format) {
  if (frames == 0) return true;
  const UInt32 firstSize = source->mNumberBuffers > 0 ? source->mBuffers[0].mDataByteSize : 0;
  UInt32 bytes = firstSize;
  if (frames != kCircularBufferCopyAll) {
    QUR_RING_CHECK(format != nullptr);
    const std::uint64_t wanted = std::uint64_t(frames) * format->mBytesPerFrame;
    QUR_RING_CHECK(wanted <= firstSize);
    bytes = UInt32(wanted);
  }
  AudioBufferList* list =
      circularBufferPrepareEmptyAudioBufferList(ring, source->mNumberBuffers, bytes, timestamp);
  if (!list) return false;
  for (UInt32 i = 0; i < source->mNumberBuffers; ++i) {
    const AudioBuffer& from = source->mBuffers[i];
    // All buffers of a list hold the same bytes; a shorter one must not be
    // read past its end.
    const UInt32 n = std::min(bytes, from.mDataByteSize);
    if (n > 0) std::memcpy(list->mBuffers[i].mData, from.mData, n);
    if (n < bytes)
      std::memset(static_cast<std::uint8_t*>(list->mBuffers[i].mData) + n, 0, bytes - n);
  }
  circularBufferProduceAudioBufferList(ring, nullptr);
  return true;
}

UInt32 circularBufferPeek(CircularBuffer* ring, AudioTimeStamp* timestamp,
                          const AudioStreamBasicDescription* format) {
  std::int32_t available = 0;
  auto* start = static_cast<std::uint8_t*>(circularBufferReadPointer(ring, &available));
  if (!start) return 0;
  if (timestamp) *timestamp = reinterpret_cast<AudioRecord*>(start)->timestamp;
  std::uint64_t bytes = 0;
  std::int32_t offset = 0;
  while (offset < available) {
    // Records never wrap in address space: the mirror continues past length.
    const auto* record = reinterpret_cast<const AudioRecord*>(start + offset);
    if (record->bufferList.mNumberBuffers > 0)
      bytes += record->bufferList.mBuffers[0].mDataByteSize;
    QUR_RING_CHECK(record->totalLength > 0);
    offset += std::int32_t(record->totalLength);
  }
  const UInt32 frameBytes = format ? format->mBytesPerFrame : 0;
  return frameBytes == 0 ? 0 : UInt32(bytes / frameBytes);
}

AudioBufferList* circularBufferOldestBufferList(CircularBuffer* ring, AudioTimeStamp* timestamp) {
  AudioRecord* record = oldestRecord(ring);
  if (!record) {
    if (timestamp) std::memset(timestamp, 0, sizeof *timestamp);
    return nullptr;
  }
  if (timestamp) *timestamp = record->timestamp;
  return &record->bufferList;
}

void circularBufferConsumeOldestBufferList(CircularBuffer* ring) {
  if (AudioRecord* record = oldestRecord(ring)) {
    circularBufferConsume(ring, std::int32_t(record->totalLength));
  }
}

void circularBufferConsumeNextBufferListPartial(CircularBuffer* ring, int frames,
                                                const AudioStreamBasicDescription* format) {
  QUR_RING_CHECK(frames >= 0);
  AudioRecord* record = oldestRecord(ring);
  if (!record) return;
  AudioBufferList& list = record->bufferList;
  const UInt32 size = list.mNumberBuffers > 0 ? list.mBuffers[0].mDataByteSize : 0;
  const std::uint64_t wanted = std::uint64_t(frames) * format->mBytesPerFrame;
  const UInt32 bytes = UInt32(std::min<std::uint64_t>(wanted, size));
  if (bytes == size) {
    circularBufferConsume(ring, std::int32_t(record->totalLength));
    return;
  }
  for (UInt32 i = 0; i < list.mNumberBuffers; ++i) {
    AudioBuffer& buffer = list.mBuffers[i];
    buffer.mData = static_cast<std::uint8_t*>(buffer.mData) + bytes;
    buffer.mDataByteSize -= bytes;
  }
  AudioTimeStamp& ts = record->timestamp;
  if (ts.mFlags & kAudioTimeStampSampleTimeValid) ts.mSampleTime += frames;
  if ((ts.mFlags & kAudioTimeStampHostTimeValid) && format->mSampleRate > 0) {
    ts.mHostTime += UInt64(Float64(frames) / format->mSampleRate * kHostTicksPerSecond);
  }
}

void circularBufferDequeueBufferListFrames(CircularBuffer* ring, UInt32* frames,
                                           AudioBufferList* destination, AudioTimeStamp* timestamp,
                                           const AudioStreamBasicDescription* format) {
  const UInt32 frameBytes = format->mBytesPerFrame;
  std::uint64_t bytesToGo = std::uint64_t(*frames) * frameBytes;
  std::uint64_t bytesCopied = 0;
  bool readAny = false;
  while (bytesToGo > 0) {
    AudioRecord* record = oldestRecord(ring);
    if (!record) break;
    if (!readAny && timestamp) *timestamp = record->timestamp;
    readAny = true;
    const AudioBufferList& list = record->bufferList;
    const UInt32 size = list.mNumberBuffers > 0 ? list.mBuffers[0].mDataByteSize : 0;
    const UInt32 k = UInt32(std::min<std::uint64_t>(bytesToGo, size));
    if (destination && k > 0) {
      QUR_RING_CHECK(destination->mNumberBuffers >= list.mNumberBuffers);
      for (UInt32 i = 0; i < list.mNumberBuffers; ++i) {
        AudioBuffer& to = destination->mBuffers[i];
        QUR_RING_CHECK(bytesCopied + k <= to.mDataByteSize);
        std::memcpy(static_cast<std::uint8_t*>(to.mData) + bytesCopied, list.mBuffers[i].mData, k);
      }
    }
    if (k == size) {
      // Whole record, also when its size is not a whole number of frames.
      circularBufferConsume(ring, std::int32_t(record->totalLength));
    } else {
      circularBufferConsumeNextBufferListPartial(ring, int(k / frameBytes), format);
    }
    bytesToGo -= k;
    bytesCopied += k;
  }
  if (!readAny && timestamp) std::memset(timestamp, 0, sizeof *timestamp);
  const UInt32 delivered = frameBytes ? *frames - UInt32(bytesToGo / frameBytes) : 0;
  *frames = delivered;
  if (destination) {
    for (UInt32 i = 0; i < destination->mNumberBuffers; ++i) {
      destination->mBuffers[i].mDataByteSize = delivered * frameBytes;
    }
  }
}

}  // namespace qur
