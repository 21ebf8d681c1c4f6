#include "audio/engine/audio_file_player.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "audio/audio_buffer_list.h"
#include "audio/media_reader.h"

namespace qur {
namespace {

// Players alive right now. An end notice may reach the main thread after its
// player was released; the handler only touches players listed here.
std::mutex gPlayersMutex;
std::unordered_set<const AudioFilePlayer*>& livePlayers() {
  static auto* players = new std::unordered_set<const AudioFilePlayer*>();
  return *players;
}

}  // namespace

std::shared_ptr<AudioFilePlayer> AudioFilePlayer::audioFilePlayerWithURL(
    const std::string& url, AudioEngine* audioController, std::string* error) {
  if (!audioController) {
    if (error) *error = "no engine";
    return nullptr;
  }
  const AudioStreamBasicDescription format = audioController->audioDescription();
  AudioBufferList* audio = MediaReader::createRawPCMOfAssetAtURL(url, &format);
  if (!audio) {
    if (error) *error = "Couldn't read audio file '" + url + "'";
    return nullptr;
  }
  std::shared_ptr<AudioFilePlayer> player(new AudioFilePlayer());
  player->_audio = audio;
  player->_audioDescription = format;
  player->_lengthInFrames = audio->mBuffers[0].mDataByteSize / format.mBytesPerFrame;
  player->_url = url;
  player->_audioController = audioController;
  player->setVolume(1.0f);
  player->setChannelIsPlaying(true);
  std::lock_guard<std::mutex> lock(gPlayersMutex);
  livePlayers().insert(player.get());
  return player;
}

AudioFilePlayer::~AudioFilePlayer() {
  {
    std::lock_guard<std::mutex> lock(gPlayersMutex);
    livePlayers().erase(this);
  }
  audioBufferListFree(_audio);
}

double AudioFilePlayer::duration() const {
  return _lengthInFrames / _audioDescription.mSampleRate;
}

double AudioFilePlayer::currentTime() const {
  return _playhead.load() / _audioDescription.mSampleRate;
}

void AudioFilePlayer::setCurrentTime(double seconds) {
  if (_lengthInFrames == 0 || !std::isfinite(seconds) || seconds < 0) {
    _playhead.store(0);
    return;
  }
  const double frames = seconds / duration() * _lengthInFrames;
  _playhead.store(int32_t(std::fmod(frames, double(_lengthInFrames))));
}

OSStatus AudioFilePlayer::render(AudioPlayable* channel, AudioEngine* engine, const AudioTimeStamp*,
                                 UInt32 frames, AudioBufferList* audio) {
  auto* self = static_cast<AudioFilePlayer*>(channel);
  if (!self->channelIsPlaying()) return noErr;
  const UInt32 length = self->_lengthInFrames;
  const UInt32 frameBytes = self->_audioDescription.mBytesPerFrame;
  const int32_t original = self->_playhead.load(std::memory_order_acquire);
  int32_t playhead = std::min<int32_t>(std::max<int32_t>(original, 0), int32_t(length));
  const bool loop = self->_loop.load(std::memory_order_relaxed);
  const AudioFilePlayer* address = self;

  if (!loop && UInt32(playhead) >= length) {
    audioEngineSendAsynchronousMessageToMainThread(engine, &endNotice, &address, sizeof address);
    self->setChannelIsPlaying(false);
    return noErr;
  }
  const auto* source = static_cast<const uint8_t*>(self->_audio->mBuffers[0].mData);
  UInt32 written = 0;
  while (written < frames) {
    const UInt32 n = std::min(frames - written, length - UInt32(playhead));
    for (UInt32 b = 0; b < audio->mNumberBuffers; ++b) {
      std::memcpy(static_cast<uint8_t*>(audio->mBuffers[b].mData) + size_t(written) * frameBytes,
                  source + size_t(playhead) * frameBytes, size_t(n) * frameBytes);
    }
    written += n;
    playhead += int32_t(n);
    if (UInt32(playhead) < length) continue;
    if (loop && length > 0) {
      playhead = 0;
      audioEngineSendAsynchronousMessageToMainThread(engine, &loopNotice, &address, sizeof address);
      continue;
    }
    audioEngineSendAsynchronousMessageToMainThread(engine, &endNotice, &address, sizeof address);
    self->setChannelIsPlaying(false);
    break;
  }
  // A seek from the main thread since the start of this render wins.
  int32_t expected = original;
  self->_playhead.compare_exchange_strong(expected, playhead, std::memory_order_acq_rel);
  return noErr;
}

std::shared_ptr<AudioFilePlayer> AudioFilePlayer::fromMessage(void* userData, int length) {
  if (!userData || length != int(sizeof(AudioFilePlayer*))) return nullptr;
  const AudioFilePlayer* address;
  std::memcpy(&address, userData, sizeof address);
  std::lock_guard<std::mutex> lock(gPlayersMutex);
  if (!livePlayers().count(address)) return nullptr;
  // Listed means its destructor has not finished; lock() fails if it has begun.
  return const_cast<AudioFilePlayer*>(address)->weak_from_this().lock();
}

void AudioFilePlayer::endNotice(AudioEngine* engine, void* userData, int length) {
  auto player = fromMessage(userData, length);
  if (!player) return;
  player->setChannelIsPlaying(false);
  if (player->_removeUponFinish && engine) engine->removeChannels({player});
  if (player->_completionBlock) player->_completionBlock();
  player->_playhead.store(0);
}

void AudioFilePlayer::loopNotice(AudioEngine*, void* userData, int length) {
  auto player = fromMessage(userData, length);
  if (player && player->_startLoopBlock) player->_startLoopBlock();
}

}  // namespace qur
