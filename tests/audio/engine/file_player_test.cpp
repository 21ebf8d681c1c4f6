#include "audio/engine/audio_file_player.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>

#include "audio/engine/virtual_device.h"
#include "support/log_capture.h"
#include "support/test_main.h"

namespace qur {
namespace {

namespace fs = std::filesystem;

// A file whose frame i holds the value i + 1 on both channels, so the output
// tells exactly which frames played.
std::string writeRamp(const fs::path& path, int frames) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<int16_t> samples(size_t(frames) * 2);
  for (int i = 0; i < frames; ++i)
    samples[2 * size_t(i)] = samples[2 * size_t(i) + 1] = int16_t(i + 1);
  sf_writef_short(file, samples.data(), frames);
  sf_close(file);
  return path.string();
}

class FilePlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = fs::temp_directory_path() / ("qur-player-" + std::to_string(::getpid()));
    fs::create_directories(_dir);
    VirtualDeviceOptions options;
    options.clock = VirtualDeviceOptions::Clock::Manual;
    options.framesPerBuffer = 100;
    options.output = VirtualDeviceOptions::Output::Memory;
    options.memoryCapacityFrames = 100000;
    auto device = std::make_unique<VirtualDevice>(options);
    _device = device.get();
    _engine = std::make_unique<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                            false, false, std::move(device));
    ASSERT_TRUE(_engine->start());
  }
  void TearDown() override {
    _engine.reset();
    fs::remove_all(_dir);
  }
  // Left channel of the next `cycles` cycles.
  std::vector<int16_t> play(int cycles) {
    _device->clearCapturedOutput();
    _device->runCycles(uint64_t(cycles));
    const auto out = _device->capturedOutput();
    std::vector<int16_t> left;
    for (size_t i = 0; i < out.size(); i += 2) left.push_back(out[i]);
    return left;
  }

  fs::path _dir;
  VirtualDevice* _device = nullptr;
  std::unique_ptr<AudioEngine> _engine;
};

TEST_F(FilePlayerTest, PlaysOnceEndsWithSilenceRemovesItselfAndCompletesOnTheMainThread) {
  auto player =
      AudioFilePlayer::audioFilePlayerWithURL(writeRamp(_dir / "ramp.caf", 250), _engine.get());
  ASSERT_TRUE(player);
  EXPECT_EQ(player->lengthInFrames(), 250u);
  EXPECT_NEAR(player->duration(), 250 / 44100.0, 1e-9);
  EXPECT_TRUE(player->channelIsPlaying());
  bool completed = false;
  bool completedOnMain = false;
  player->setRemoveUponFinish(true);
  player->setCompletionBlock([&] {
    completed = true;
    completedOnMain = mainQueue().isMainThread();
  });
  _engine->addChannels({player});
  const auto left = play(3);  // 300 frames asked for, 250 there
  ASSERT_EQ(left.size(), 300u);
  for (int i = 0; i < 250; ++i) ASSERT_EQ(left[size_t(i)], i + 1) << i;
  for (int i = 250; i < 300; ++i) ASSERT_EQ(left[size_t(i)], 0) << i;
  EXPECT_FALSE(player->channelIsPlaying());

  _engine->processMainThreadMessages();
  EXPECT_TRUE(completed);
  EXPECT_TRUE(completedOnMain);
  EXPECT_TRUE(_engine->channels().empty());
  EXPECT_EQ(player->currentTime(), 0.0);
}

TEST_F(FilePlayerTest, RearmedPlayerPlaysFromTheStartAgain) {
  auto player =
      AudioFilePlayer::audioFilePlayerWithURL(writeRamp(_dir / "ramp.caf", 150), _engine.get());
  ASSERT_TRUE(player);
  int completions = 0;
  player->setCompletionBlock([&] { ++completions; });
  _engine->addChannels({player});
  play(2);
  _engine->processMainThreadMessages();
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(_engine->channels().size(), 1u);  // without removeUponFinish it stays, silent
  EXPECT_EQ(play(1)[0], 0);

  player->setChannelIsPlaying(true);
  player->setCurrentTime(0);
  _engine->addChannels({player});
  const auto left = play(1);
  EXPECT_EQ(left[0], 1);
  EXPECT_EQ(left[99], 100);
}

TEST_F(FilePlayerTest, SeekingAndLooping) {
  auto player =
      AudioFilePlayer::audioFilePlayerWithURL(writeRamp(_dir / "ramp.caf", 150), _engine.get());
  ASSERT_TRUE(player);
  player->setLoop(true);
  int loops = 0;
  player->setStartLoopBlock([&] { ++loops; });
  player->setCurrentTime(player->duration() * 2 + 100 / 44100.0);  // wraps modulo the length
  EXPECT_NEAR(player->currentTime(), 100 / 44100.0, 1e-6);
  _engine->addChannels({player});
  const auto left = play(2);
  EXPECT_EQ(left[0], 101);
  EXPECT_EQ(left[49], 150);
  EXPECT_EQ(left[50], 1);  // wrapped
  EXPECT_EQ(left[199], 150);
  EXPECT_EQ(left.size(), 200u);
  _engine->processMainThreadMessages();
  EXPECT_EQ(loops, 2);
  EXPECT_TRUE(player->channelIsPlaying());
}

TEST_F(FilePlayerTest, UnreadableFilesGiveNoPlayerAndOneLogLine) {
  std::ofstream(_dir / "garbage.caf") << "caff but not really";
  for (const auto& path : {(_dir / "missing.caf").string(), (_dir / "garbage.caf").string()}) {
    testing::LogCapture capture(LogLevelError);
    std::string error;
    EXPECT_EQ(AudioFilePlayer::audioFilePlayerWithURL(path, _engine.get(), &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(capture.messages().size(), 1u);
  }
}

TEST_F(FilePlayerTest, EndNoticeForAReleasedPlayerIsIgnored) {
  {
    auto player =
        AudioFilePlayer::audioFilePlayerWithURL(writeRamp(_dir / "ramp.caf", 50), _engine.get());
    ASSERT_TRUE(player);
    _engine->addChannels({player});
    play(1);  // ends, notice queued
    _engine->removeChannels({player});
  }  // released before the main thread sees the notice
  _engine->processMainThreadMessages();
  SUCCEED();
}

}  // namespace
}  // namespace qur
