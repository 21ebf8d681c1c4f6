#include "audio/media_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "audio/pcm_format_converter.h"
#include "log/log.h"

namespace qur {
namespace {

// Reader states reported in the failure line.
constexpr long kReaderStatusFailed = 3;
constexpr UInt32 kChunkFrames = 4096;
// The sounds are seconds long; a header claiming more than this is corrupt
// and must not make us allocate gigabytes.
constexpr double kMaxDurationSeconds = 5 * 60;
// No codec libsndfile reads packs more frames than this into one byte, so a
// header promising more than the file can hold is not believed either.
constexpr double kMaxFramesPerFileByte = 100;

struct MemoryFile {
  const uint8_t* bytes;
  sf_count_t length;
  sf_count_t position;
};

sf_count_t memoryLength(void* user) {
  return static_cast<MemoryFile*>(user)->length;
}
sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  sf_count_t target = offset;
  if (whence == SEEK_CUR) target += file->position;
  if (whence == SEEK_END) target += file->length;
  if (target < 0 || target > file->length) return -1;
  file->position = target;
  return target;
}
sf_count_t memoryRead(void* out, sf_count_t count, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  const sf_count_t n = std::max<sf_count_t>(0, std::min(count, file->length - file->position));
  std::memcpy(out, file->bytes + file->position, size_t(n));
  file->position += n;
  return n;
}
sf_count_t memoryWrite(const void*, sf_count_t, void*) {
  return 0;
}
sf_count_t memoryTell(void* user) {
  return static_cast<MemoryFile*>(user)->position;
}

bool describable(const AudioStreamBasicDescription* d) {
  if (!d || d->mFormatID != kAudioFormatLinearPCM || d->mChannelsPerFrame == 0 ||
      d->mChannelsPerFrame > 32 || !(d->mSampleRate > 0) || d->mSampleRate > 768000) {
    return false;
  }
  const bool isFloat = d->mFormatFlags & kAudioFormatFlagIsFloat;
  if (d->mBitsPerChannel != (isFloat ? 32u : 16u)) return false;
  const UInt32 sample = d->mBitsPerChannel / 8;
  const UInt32 expected = isNonInterleaved(*d) ? sample : sample * d->mChannelsPerFrame;
  return d->mBytesPerFrame == expected;
}

// Appends interleaved float frames in the requested layout and sample type,
// never past any buffer's capacity.
class Writer {
 public:
  Writer(AudioBufferList* list, const AudioStreamBasicDescription& d, UInt32 capacityBytes)
      : _list(list), _d(d), _capacity(capacityBytes) {}

  void append(const float* frames, size_t count) {
    const UInt32 channels = _d.mChannelsPerFrame;
    const bool isFloat = _d.mFormatFlags & kAudioFormatFlagIsFloat;
    const bool bigEndian = _d.mFormatFlags & kAudioFormatFlagIsBigEndian;
    const bool planar = isNonInterleaved(_d);
    const UInt32 sample = _d.mBitsPerChannel / 8;
    for (size_t f = 0; f < count; ++f) {
      for (UInt32 c = 0; c < channels; ++c) {
        AudioBuffer& buffer = _list->mBuffers[planar ? c : 0];
        if (buffer.mDataByteSize + sample > _capacity) {
          _overflow = true;
          return;
        }
        uint8_t bytes[4];
        const float v = frames[f * channels + c];
        if (isFloat) {
          std::memcpy(bytes, &v, 4);
        } else {
          const auto s = int16_t(std::lrintf(std::clamp(v * 32768.0f, -32768.0f, 32767.0f)));
          std::memcpy(bytes, &s, 2);
        }
        if (bigEndian) std::reverse(bytes, bytes + sample);
        std::memcpy(static_cast<uint8_t*>(buffer.mData) + buffer.mDataByteSize, bytes, sample);
        buffer.mDataByteSize += sample;
      }
    }
  }
  bool overflowed() const { return _overflow; }

 private:
  AudioBufferList* _list;
  AudioStreamBasicDescription _d;
  UInt32 _capacity;
  bool _overflow = false;
};

AudioBufferList* readOpenFile(SNDFILE* file, const SF_INFO& info, const std::string& name,
                              const AudioStreamBasicDescription* d, double fileBytes) {
  auto fail = [&](const char* why) -> AudioBufferList* {
    QUR_LOG_ERROR("Reading %s failed with %ld", name.c_str(), kReaderStatusFailed);
    QUR_LOG_DEBUG("Reading %s: %s", name.c_str(), why);
    return nullptr;
  };
  if (info.channels <= 0 || info.samplerate <= 0 || info.frames <= 0) {
    return fail("no audio in the file");
  }
  // Capacity: the duration in seconds (single precision) at the requested rate.
  const float seconds = float(info.frames) / float(info.samplerate);
  if (!(seconds > 0) || seconds > kMaxDurationSeconds) return fail("implausible duration");
  // Rounded rather than truncated: the single-precision quotient lands just
  // below the whole frame count for most lengths, which would drop the last frame.
  const auto capacityFrames = UInt32(std::llround(double(seconds) * d->mSampleRate));
  if (capacityFrames == 0) return fail("shorter than one frame");
  const double plausibleFrames =
      (fileBytes * kMaxFramesPerFileByte + 4096) * std::max(1.0, d->mSampleRate / info.samplerate);
  if (double(capacityFrames) > plausibleFrames) return fail("duration beyond the file's size");
  const UInt32 capacityBytes = capacityFrames * d->mBytesPerFrame;

  AudioBufferListPtr result(audioBufferListCreate(d->mChannelsPerFrame, d->mBytesPerFrame,
                                                  !isNonInterleaved(*d), capacityFrames));
  if (!result) return fail("out of memory");
  for (UInt32 b = 0; b < result->mNumberBuffers; ++b) result->mBuffers[b].mDataByteSize = 0;
  Writer writer(result.get(), *d, capacityBytes);

  const UInt32 outChannels = d->mChannelsPerFrame;
  const int inChannels = info.channels;
  const bool resample = std::fabs(double(info.samplerate) - d->mSampleRate) > 1e-6;
  // Rate changes go through the PCM converter, in float at the file's rate
  // in and at the requested rate out, channels already mapped.
  std::unique_ptr<PCMFormatConverter> converter;
  if (resample) {
    converter = PCMFormatConverter::create(
        makeLinearPCMFormat(double(info.samplerate), outChannels, true, true),
        makeLinearPCMFormat(d->mSampleRate, outChannels, true, true));
    if (!converter) return fail("no converter for these rates");
  }

  std::vector<float> raw(size_t(kChunkFrames) * size_t(inChannels));
  std::vector<float> mapped(size_t(kChunkFrames) * outChannels);
  const double ratio = resample ? d->mSampleRate / info.samplerate : 1.0;
  const UInt32 convertedCapacity = UInt32(kChunkFrames * ratio) + 4096;
  std::vector<float> converted(size_t(convertedCapacity) * outChannels);
  // Headers only: their buffers point into the vectors above.
  struct HeaderDeleter {
    void operator()(AudioBufferList* list) const { std::free(list); }
  };
  std::unique_ptr<AudioBufferList, HeaderDeleter> inputList(
      static_cast<AudioBufferList*>(std::calloc(1, audioBufferListHeaderSize(1))));
  std::unique_ptr<AudioBufferList, HeaderDeleter> outputList(
      static_cast<AudioBufferList*>(std::calloc(1, audioBufferListHeaderSize(1))));
  uint64_t framesIn = 0;
  uint64_t framesOut = 0;

  auto fetch = [&](UInt32 frames) {
    while (frames > 0 && !writer.overflowed()) {
      const UInt32 n = std::min(frames, convertedCapacity);
      outputList->mNumberBuffers = 1;
      outputList->mBuffers[0] =
          AudioBuffer{outChannels, UInt32(n * outChannels * sizeof(float)), converted.data()};
      if (converter->fetchIntoAudioBufferList(outputList.get(), n) != noErr) return false;
      const UInt32 made = outputList->mBuffers[0].mDataByteSize / (outChannels * sizeof(float));
      writer.append(converted.data(), made);
      framesOut += made;
      frames -= n;
      if (made == 0) break;
    }
    return true;
  };
  auto convertAndWrite = [&](const float* in, size_t frames) {
    if (!resample) {
      writer.append(in, frames);
      return true;
    }
    inputList->mNumberBuffers = 1;
    inputList->mBuffers[0] = AudioBuffer{outChannels, UInt32(frames * outChannels * sizeof(float)),
                                         const_cast<float*>(in)};
    converter->feedSamplesFromAudioBufferList(inputList.get(), nullptr);
    framesIn += frames;
    return fetch(converter->availableOutputSamples());
  };

  while (!writer.overflowed()) {
    const sf_count_t got = sf_readf_float(file, raw.data(), kChunkFrames);
    if (got <= 0) break;
    // Channels: a mono file feeds every channel; otherwise channel c takes
    // file channel c, and a file with fewer channels repeats its last one.
    for (sf_count_t f = 0; f < got; ++f) {
      for (UInt32 c = 0; c < outChannels; ++c) {
        float v;
        if (outChannels == 1 && inChannels > 1) {
          v = 0;
          for (int k = 0; k < inChannels; ++k) v += raw[size_t(f) * inChannels + k];
          v /= float(inChannels);
        } else {
          v = raw[size_t(f) * inChannels + std::min<int>(int(c), inChannels - 1)];
        }
        mapped[size_t(f) * outChannels + c] = std::isfinite(v) ? v : 0.0f;
      }
    }
    if (!convertAndWrite(mapped.data(), size_t(got))) return fail("conversion failed");
  }
  // The rest of the converted stream: what all input makes, the resampler's
  // tail fed with silence.
  if (resample) {
    const auto total = uint64_t(double(framesIn) * ratio);
    if (total > framesOut && !fetch(UInt32(total - framesOut))) return fail("conversion failed");
  }

  if (sf_error(file) != SF_ERR_NO_ERROR) return fail(sf_strerror(file));
  if (result->mBuffers[0].mDataByteSize == 0) return fail("no audio decoded");
  return result.release();
}

}  // namespace

MediaReader::OutputSettings MediaReader::outputSettingsFromAudioDescription(
    const AudioStreamBasicDescription* d) {
  return OutputSettings{d->mFormatID,
                        d->mSampleRate,
                        d->mChannelsPerFrame,
                        d->mBitsPerChannel,
                        (d->mFormatFlags & kAudioFormatFlagIsBigEndian) ? 1 : 0,
                        (d->mFormatFlags & kAudioFormatFlagIsFloat) ? 1 : 0,
                        (d->mFormatFlags & kAudioFormatFlagIsNonInterleaved) ? 1 : 0};
}

AudioBufferList* MediaReader::createRawPCMOfAssetAtURL(const std::string& path,
                                                       const AudioStreamBasicDescription* d) {
  if (!describable(d)) {
    QUR_LOG_ERROR("Reading %s failed with %ld", path.c_str(), kReaderStatusFailed);
    return nullptr;
  }
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    QUR_LOG_ERROR("Reading %s failed with %ld", path.c_str(), kReaderStatusFailed);
    return nullptr;
  }
  std::error_code sizeError;
  const auto bytes = std::filesystem::file_size(path, sizeError);
  AudioBufferList* list = readOpenFile(file, info, path, d, sizeError ? 0.0 : double(bytes));
  sf_close(file);
  return list;
}

AudioBufferList* MediaReader::createRawPCMOfMemory(const void* bytes, size_t length,
                                                   const std::string& name,
                                                   const AudioStreamBasicDescription* d) {
  if (!describable(d) || !bytes) {
    QUR_LOG_ERROR("Reading %s failed with %ld", name.c_str(), kReaderStatusFailed);
    return nullptr;
  }
  MemoryFile memory{static_cast<const uint8_t*>(bytes), sf_count_t(length), 0};
  SF_VIRTUAL_IO io{&memoryLength, &memorySeek, &memoryRead, &memoryWrite, &memoryTell};
  SF_INFO info{};
  SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, &memory);
  if (!file) {
    QUR_LOG_ERROR("Reading %s failed with %ld", name.c_str(), kReaderStatusFailed);
    return nullptr;
  }
  AudioBufferList* list = readOpenFile(file, info, name, d, double(length));
  sf_close(file);
  return list;
}

}  // namespace qur
