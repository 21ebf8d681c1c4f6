// The media reader on arbitrary file bytes: whatever the bytes, it returns a
// list that stays within its capacity, or nothing.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio/audio_buffer_list.h"
#include "audio/media_reader.h"
#include "log/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qur::setLogLevel(qur::LogLevelOff);
  // The first byte picks the requested format, so every layout is exercised.
  const uint8_t pick = size > 0 ? data[0] : 0;
  const double rates[] = {44100.0, 48000.0, 8000.0, 96000.0};
  const auto format = qur::makeLinearPCMFormat(rates[pick & 3], 1 + ((pick >> 2) & 1),
                                               (pick >> 3) & 1, !((pick >> 4) & 1));
  qur::AudioBufferList* list = qur::MediaReader::createRawPCMOfMemory(
      size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0, "fuzz", &format);
  if (list) {
    // Touch every decoded byte so ASan sees any overrun.
    volatile uint8_t sink = 0;
    for (qur::UInt32 b = 0; b < list->mNumberBuffers; ++b) {
      const auto* bytes = static_cast<const uint8_t*>(list->mBuffers[b].mData);
      for (qur::UInt32 i = 0; i < list->mBuffers[b].mDataByteSize; ++i) sink = sink ^ bytes[i];
    }
    qur::audioBufferListFree(list);
  }
  return 0;
}
