#include "app/file_microphone.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "audio/engine/audio_engine.h"
#include "audio/media_reader.h"

namespace qur {

std::string fileErrorText(int error) {
  switch (error) {
    case ENOENT:
      return "no such file";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EISDIR:
      return "is a directory";
    default:
      break;
  }
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

AudioBufferListPtr FileMicrophone::load(const std::string& path, std::uint64_t* frames,
                                        std::string* error) {
  struct stat info {};
  std::string reason;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    reason = "is a directory";
  } else if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fclose(file);
  } else {
    reason = fileErrorText(errno);
  }
  if (!reason.empty()) {
    *error = "cannot read microphone file " + path + ": " + reason;
    return nullptr;
  }
  const AudioStreamBasicDescription format = AudioEngine::interleaved16BitStereoAudioDescription();
  AudioBufferListPtr audio(MediaReader::createRawPCMOfAssetAtURL(path, &format));
  if (!audio) {
    *error = "cannot decode microphone file " + path + " (not a sound file?)";
    return nullptr;
  }
  *frames = audio->mBuffers[0].mDataByteSize / format.mBytesPerFrame;
  if (*frames == 0) {
    *error = "microphone file " + path + " holds no audio";
    return nullptr;
  }
  return audio;
}

bool FileMicrophone::checkSpeakerFile(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) {
    *error = "cannot write speaker file " + path + ": " + fileErrorText(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

FileMicrophone::FileMicrophone(AudioBufferListPtr audio, std::uint64_t frames, bool followsTalking)
    : _audio(std::move(audio)), _frames(_audio ? frames : 0), _followsTalking(followsTalking) {}

void FileMicrophone::fill(std::int16_t* samples, std::uint32_t count, int channels) {
  if (_firstCycleUs.load(std::memory_order_relaxed) == 0) {
    // The clock thread of the virtual device is not the real-time callback:
    // reading the clock here is allowed.
    _firstCycleUs.store(std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count(),
                        std::memory_order_relaxed);
  }
  const std::size_t total = std::size_t(count) * std::size_t(channels);
  if (_frames == 0 || (_followsTalking && !_talking.load(std::memory_order_acquire))) {
    std::fill(samples, samples + total, std::int16_t{0});
    return;
  }
  if (_followsTalking) {
    const std::uint32_t starts = _starts.load(std::memory_order_acquire);
    if (starts != _startsSeen) {
      _startsSeen = starts;
      _position = 0;
    }
  }
  const auto* source = static_cast<const std::int16_t*>(_audio->mBuffers[0].mData);
  for (std::uint32_t i = 0; i < count; ++i) {
    for (int c = 0; c < channels; ++c) samples[i * channels + c] = source[_position * 2 + (c % 2)];
    if (++_position >= _frames) _position = 0;
  }
}

void FileMicrophone::talkingChanged(bool talking) {
  if (talking) _starts.fetch_add(1, std::memory_order_release);
  _talking.store(talking, std::memory_order_release);
}

}  // namespace qur
