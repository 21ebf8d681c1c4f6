#include "audio/media_reader.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "audio/audio_buffer_list.h"
#include "audio/sound_resources.h"
#include "support/log_capture.h"

namespace qur {
namespace {

namespace fs = std::filesystem;

class MediaReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = fs::temp_directory_path() /
           ("qur-media-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(_dir);
  }
  void TearDown() override { fs::remove_all(_dir); }

  // A sine file: `frames` frames at `rate`, `channels` channels, channel c at
  // amplitude (c + 1) / 4 so channels can be told apart.
  std::string writeSine(const std::string& name, int rate, int channels, int frames,
                        int format = SF_FORMAT_CAF | SF_FORMAT_PCM_16) {
    const std::string path = (_dir / name).string();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<float> samples(size_t(frames) * channels);
    for (int f = 0; f < frames; ++f) {
      for (int c = 0; c < channels; ++c) {
        samples[size_t(f) * channels + c] =
            float((c + 1) / 4.0 * std::sin(2 * M_PI * 441.0 * f / rate));
      }
    }
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return path;
  }
  std::string writeBytes(const std::string& name, const std::string& bytes) {
    const std::string path = (_dir / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path _dir;
};

TEST_F(MediaReaderTest, OutputSettingsForTheCodecFormat) {
  const AudioStreamBasicDescription codec = codecAudioDescription();
  const auto settings = MediaReader::outputSettingsFromAudioDescription(&codec);
  EXPECT_EQ(settings.formatID, kAudioFormatLinearPCM);
  EXPECT_EQ(settings.sampleRate, 48000.0);
  EXPECT_EQ(settings.numberOfChannels, 2u);
  EXPECT_EQ(settings.bitDepth, 16u);
  EXPECT_EQ(settings.isBigEndian, 0);
  EXPECT_EQ(settings.isFloat, 0);
  EXPECT_EQ(settings.isNonInterleaved, 0);
  const AudioStreamBasicDescription planar = makeLinearPCMFormat(22050, 3, true, false);
  const auto p = MediaReader::outputSettingsFromAudioDescription(&planar);
  EXPECT_EQ(p.isFloat, 1);
  EXPECT_EQ(p.isNonInterleaved, 1);
  EXPECT_EQ(p.bitDepth, 32u);
}

TEST_F(MediaReaderTest, OneSecondAt48kHasCapacityFor48000FramesAndReportsWhatWasRead) {
  const std::string path = writeSine("one.caf", 44100, 2, 44100);
  const AudioStreamBasicDescription codec = codecAudioDescription();
  AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(path, &codec));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->mNumberBuffers, 1u);
  EXPECT_EQ(list->mBuffers[0].mNumberChannels, 2u);
  const UInt32 bytes = list->mBuffers[0].mDataByteSize;
  EXPECT_LE(bytes, 48000u * 4);
  EXPECT_GT(bytes, 47900u * 4);  // the resampler delivers (nearly) all of it
  EXPECT_EQ(bytes % 4, 0u);
  // The level survives resampling: the left channel's peak is a quarter of full scale.
  const auto* s = static_cast<const int16_t*>(list->mBuffers[0].mData);
  int peakLeft = 0, peakRight = 0;
  for (UInt32 f = 1000; f < bytes / 4 - 1000; ++f) {
    peakLeft = std::max(peakLeft, std::abs(int(s[2 * f])));
    peakRight = std::max(peakRight, std::abs(int(s[2 * f + 1])));
  }
  EXPECT_NEAR(peakLeft, 8192, 200);
  EXPECT_NEAR(peakRight, 16384, 300);
  // No gap anywhere: every 5 ms window (two periods of the 441 Hz sine) peaks near the level.
  for (UInt32 start = 240; start + 240 < bytes / 4 - 240; start += 240) {
    int windowPeak = 0;
    for (UInt32 f = start; f < start + 240; ++f)
      windowPeak = std::max(windowPeak, std::abs(int(s[2 * f])));
    ASSERT_GT(windowPeak, 7500) << "dropout at frame " << start;
  }
}

TEST_F(MediaReaderTest, SameRateIsBitExact) {
  const std::string path = writeSine("exact.caf", 44100, 2, 1000);
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<int16_t> expected(2000);
  sf_readf_short(file, expected.data(), 1000);
  sf_close(file);
  const AudioStreamBasicDescription engine = engineAudioDescription();
  AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(path, &engine));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->mBuffers[0].mDataByteSize, 4000u);
  EXPECT_EQ(std::memcmp(list->mBuffers[0].mData, expected.data(), 4000), 0);
}

TEST_F(MediaReaderTest, NonInterleavedFloatGivesOneMonoBufferPerChannel) {
  const std::string path = writeSine("planar.wav", 44100, 2, 4410, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  const AudioStreamBasicDescription planar = makeLinearPCMFormat(44100, 2, true, false);
  AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(path, &planar));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->mNumberBuffers, 2u);
  for (UInt32 b = 0; b < 2; ++b) {
    EXPECT_EQ(list->mBuffers[b].mNumberChannels, 1u);
    EXPECT_EQ(list->mBuffers[b].mDataByteSize, 4410u * 4);
  }
  const auto* left = static_cast<const float*>(list->mBuffers[0].mData);
  const auto* right = static_cast<const float*>(list->mBuffers[1].mData);
  EXPECT_NEAR(right[25], 2 * left[25], 1e-6);  // sample 25 is the sine's peak
  EXPECT_NEAR(left[25], 0.25f, 1e-4);
}

TEST_F(MediaReaderTest, MonoFileFillsBothChannelsAndStereoFoldsToMono) {
  const std::string mono = writeSine("mono.wav", 44100, 1, 100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  const AudioStreamBasicDescription stereo = engineAudioDescription();
  AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(mono, &stereo));
  ASSERT_TRUE(list);
  const auto* s = static_cast<const int16_t*>(list->mBuffers[0].mData);
  EXPECT_NE(s[50], 0);
  EXPECT_EQ(s[50], s[51]);
  const AudioStreamBasicDescription one = makeLinearPCMFormat(44100, 1);
  const std::string two = writeSine("two.wav", 44100, 2, 100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  AudioBufferListPtr folded(MediaReader::createRawPCMOfAssetAtURL(two, &one));
  ASSERT_TRUE(folded);
  EXPECT_EQ(folded->mBuffers[0].mDataByteSize, 200u);
  EXPECT_NEAR(static_cast<const int16_t*>(folded->mBuffers[0].mData)[25], 0.375 * 32768, 2);
}

TEST_F(MediaReaderTest, BadFilesGiveNothingAndOneLogLine) {
  const std::string good = writeSine("good.caf", 44100, 2, 2000);
  std::ifstream in(good, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string corrupt = bytes;
  for (size_t i = 8; i < 64 && i < corrupt.size(); ++i) corrupt[i] = char(0xA5);

  const std::vector<std::string> paths = {
      (_dir / "missing.caf").string(),
      writeBytes("empty.caf", ""),
      writeBytes("text.caf", "this is not a sound file at all, just words"),
      writeBytes("corrupt.caf", corrupt),
      writeSine("silent-empty.caf", 44100, 2, 0),
  };
  const AudioStreamBasicDescription engine = engineAudioDescription();
  for (const auto& path : paths) {
    testing::LogCapture capture(LogLevelError);
    AudioBufferList* list = MediaReader::createRawPCMOfAssetAtURL(path, &engine);
    EXPECT_EQ(list, nullptr) << path;
    audioBufferListFree(list);
    EXPECT_EQ(capture.count("Reading " + path + " failed with 3"), 1) << path;
    EXPECT_EQ(capture.messages().size(), 1u) << path;
  }
}

TEST_F(MediaReaderTest, TruncatedFileNeverWritesPastItsCapacity) {
  // The header promises 44100 frames; only part of the data is there.
  const std::string good = writeSine("long.wav", 44100, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  std::ifstream in(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string path = writeBytes("cut.wav", bytes.substr(0, bytes.size() / 3));
  const AudioStreamBasicDescription codec = codecAudioDescription();
  AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(path, &codec));
  if (list) {  // what could be read, never more than the capacity
    EXPECT_LE(list->mBuffers[0].mDataByteSize, 48000u * 4);
    EXPECT_GT(list->mBuffers[0].mDataByteSize, 0u);
  }
}

TEST_F(MediaReaderTest, UnsupportedRequestsAreRefused) {
  const std::string path = writeSine("x.caf", 44100, 2, 100);
  AudioStreamBasicDescription odd = engineAudioDescription();
  odd.mBitsPerChannel = 24;
  testing::LogCapture capture(LogLevelError);
  EXPECT_EQ(MediaReader::createRawPCMOfAssetAtURL(path, &odd), nullptr);
  EXPECT_EQ(MediaReader::createRawPCMOfAssetAtURL(path, nullptr), nullptr);
  EXPECT_EQ(capture.messages().size(), 2u);
}

// The generated sounds: present, short, distinct, faded at both ends and
// never near clipping.
TEST(Sounds, GeneratedSoundsAreCleanAndDistinct) {
  const AudioStreamBasicDescription engine = engineAudioDescription();
  std::vector<std::vector<int16_t>> sounds;
  for (const char* name : {"beep-short-high", "beep-short-low", "hangup", "beep"}) {
    const std::string path = soundResourcePath(name);
    ASSERT_FALSE(path.empty()) << name << " not in " << soundResourceDirectory();
    AudioBufferListPtr list(MediaReader::createRawPCMOfAssetAtURL(path, &engine));
    ASSERT_TRUE(list) << name;
    const auto* s = static_cast<const int16_t*>(list->mBuffers[0].mData);
    const size_t n = list->mBuffers[0].mDataByteSize / 2;
    EXPECT_LT(n / 2, 44100u) << name << " is longer than a second";
    EXPECT_GT(n / 2, 2000u) << name;
    int peak = 0;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::abs(int(s[i])));
    EXPECT_LT(peak, 24000) << name;
    EXPECT_GT(peak, 8000) << name;
    // No click: the first and last 2 ms start and end near zero and rise smoothly.
    EXPECT_LT(std::abs(s[0]) + std::abs(s[n - 1]), 2) << name;
    int biggestStep = 0;
    for (size_t i = 2; i < n; i += 2)
      biggestStep = std::max(biggestStep, std::abs(s[i] - s[i - 2]));
    EXPECT_LT(biggestStep, peak / 2) << name;
    sounds.emplace_back(s, s + n);
  }
  for (size_t a = 0; a < sounds.size(); ++a) {
    for (size_t b = a + 1; b < sounds.size(); ++b) EXPECT_NE(sounds[a], sounds[b]);
  }
}

TEST(Sounds, MissingResourceHasNoPath) {
  EXPECT_TRUE(soundResourcePath("no-such-sound").empty());
}

}  // namespace
}  // namespace qur
