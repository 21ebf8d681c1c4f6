#include "app/dynamic_range_compressor.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/engine/virtual_device.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"

namespace qur {
namespace {

std::unique_ptr<AudioEngine> manualEngine(VirtualDeviceOptions options = {}) {
  options.clock = VirtualDeviceOptions::Clock::Manual;
  return std::make_unique<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(), true,
                                       true, std::make_unique<VirtualDevice>(options));
}

TEST(DynamicRangeCompressor, PresetsReadBackAfterCreation) {
  auto engine = manualEngine();
  auto compressor = DynamicRangeCompressor::create(engine.get());
  ASSERT_TRUE(compressor);
  EXPECT_EQ(compressor->threshold(), -34.4f);
  EXPECT_EQ(compressor->headRoom(), 9.8f);
  EXPECT_EQ(compressor->expansionRatio(), 2.25f);
  EXPECT_EQ(compressor->expansionThreshold(), -55.9f);
  EXPECT_EQ(compressor->attackTime(), 0.025f);
  EXPECT_EQ(compressor->releaseTime(), 0.05f);
  EXPECT_EQ(compressor->masterGain(), 15.0f);
}

TEST(DynamicRangeCompressor, EachPropertyWritesOnlyItsOwnParameter) {
  auto engine = manualEngine();
  auto compressor = DynamicRangeCompressor::create(engine.get());
  ASSERT_TRUE(compressor);
  const char* keys[] = {"threshold",  "headRoom",    "expansionRatio", "expansionThreshold",
                        "attackTime", "releaseTime", "masterGain"};
  for (UInt32 id = 0; id < 7; ++id) {
    std::vector<float> before;
    for (UInt32 k = 0; k < 7; ++k) before.push_back(compressor->getAudioUnitParamterValue(k));
    // A value inside every parameter's range and different from its preset.
    const float value = before[id] == 1.5f ? 1.25f : (id == 4 ? 0.1f : (id == 3 ? -30.f : 1.5f));
    ASSERT_TRUE(compressor->setValueForKey(keys[id], value));
    for (UInt32 k = 0; k < 7; ++k) {
      const float now = compressor->getAudioUnitParamterValue(k);
      if (k == id) {
        EXPECT_EQ(now, value) << keys[id];
      } else {
        EXPECT_EQ(now, before[k]) << keys[id] << " changed parameter " << k;
      }
    }
    EXPECT_EQ(compressor->valueForKey(keys[id]), value);
  }
  compressor->setAttackTime(0.05f);
  EXPECT_EQ(compressor->getAudioUnitParamterValue(4), 0.05f);
  EXPECT_FALSE(compressor->setValueForKey("loudness", 1));
  EXPECT_FALSE(compressor->valueForKey("loudness"));
}

TEST(DynamicRangeCompressor, UnknownIdsAndBadValuesAreLogged) {
  auto engine = manualEngine();
  auto compressor = DynamicRangeCompressor::create(engine.get());
  ASSERT_TRUE(compressor);
  testing::LogCapture capture;
  EXPECT_TRUE(std::isnan(compressor->getAudioUnitParamterValue(42)));
  EXPECT_EQ(capture.count("Failed to get parameter value for 42, error -10878 occured"), 1);
  compressor->setAudioUnitParameterToValue(42, 1.0f);
  EXPECT_EQ(capture.count("Failed to set parameter value for 42, error -10878 occured"), 1);
  compressor->setMasterGain(NAN);
  EXPECT_EQ(capture.count("Failed to set parameter value for 6"), 1);
  EXPECT_EQ(compressor->masterGain(), 15.0f);  // a failed write changes nothing
}

TEST(DynamicRangeCompressor, WithoutAnEffectThereIsNoCompressor) {
  // The effect takes 16-bit and float audio; a 24-bit engine leaves no compressor.
  AudioStreamBasicDescription odd = AudioEngine::interleaved16BitStereoAudioDescription();
  odd.mBitsPerChannel = 24;
  odd.mBytesPerFrame = 6;
  AudioEngine engine(
      odd, true, true,
      std::make_unique<VirtualDevice>(VirtualDeviceOptions{VirtualDeviceOptions::Clock::Manual}));
  testing::LogCapture capture;
  EXPECT_EQ(DynamicRangeCompressor::create(&engine), nullptr);
  EXPECT_EQ(capture.count("Failed to initialize AUDynamicsCompressor: "), 1);
}

TEST(DynamicRangeCompressor, RaisesAQuietMicrophoneByTheMasterGain) {
  VirtualDeviceOptions options;
  options.input = VirtualDeviceOptions::Input::Tone;
  options.toneFrequency = 1000;
  options.toneAmplitude = std::pow(10.0, -40 / 20.0);  // between the thresholds
  auto engine = manualEngine(options);
  auto compressor = DynamicRangeCompressor::create(engine.get());
  ASSERT_TRUE(compressor);
  auto receiver = std::make_shared<testing::PeakReceiver>();
  engine->addInputFilter(compressor);
  engine->addInputReceiver(receiver);
  ASSERT_TRUE(engine->start());
  static_cast<VirtualDevice*>(engine->device())->runCycles(100);
  EXPECT_NEAR(receiver->peakDb(), -40 + 15, 0.5);
  compressor->setMasterGain(0);
  static_cast<VirtualDevice*>(engine->device())->runCycles(100);
  EXPECT_NEAR(receiver->peakDb(), -40, 0.5);
}

}  // namespace
}  // namespace qur
