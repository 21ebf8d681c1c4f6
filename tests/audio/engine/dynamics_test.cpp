#include "audio/engine/dynamics_processor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "audio/engine/audio_unit_filter.h"
#include "audio/engine/virtual_device.h"
#include "audio/realtime_logger.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"

namespace qur {
namespace {

constexpr double kRate = 44100.0;

struct Settings {
  float threshold = -20, headRoom = 5, ratio = 2, expansionThreshold = -50, attack = 0.002f,
        release = 0.05f, gain = 0;
};

std::unique_ptr<DynamicsProcessor> makeProcessorPtr(const Settings& s) {
  auto owned = std::make_unique<DynamicsProcessor>();
  DynamicsProcessor& p = *owned;
  EXPECT_EQ(p.initialize(engineAudioDescription(), 4096), noErr);
  const float values[] = {s.threshold, s.headRoom, s.ratio, s.expansionThreshold,
                          s.attack,    s.release,  s.gain};
  for (UInt32 id = 0; id < 7; ++id) {
    EXPECT_EQ(p.setParameter(id, kAudioUnitScope_Global, 0, values[id], 0), noErr) << id;
  }
  return owned;
}

// Runs a 1 kHz stereo sine at `levelDb` (peak, dBFS) through the processor for
// one second and returns the output's peak level over the last 200 ms.
double steadyOutputDb(DynamicsProcessor& p, double levelDb) {
  const double amplitude = std::pow(10.0, levelDb / 20.0) * 32767.0;
  std::vector<int16_t> block(441 * 2);
  double peak = 0;
  for (int cycle = 0, n = 0; cycle < 100; ++cycle) {
    for (int f = 0; f < 441; ++f, ++n) {
      const auto v = int16_t(std::lround(amplitude * std::sin(2 * M_PI * 1000.0 * n / kRate)));
      block[2 * size_t(f)] = block[2 * size_t(f) + 1] = v;
    }
    p.processInt16(block.data(), 441);
    if (cycle >= 80) {
      for (int16_t v : block) peak = std::max(peak, std::fabs(double(v)));
    }
  }
  return 20 * std::log10(std::max(peak, 1e-3) / 32767.0);
}

TEST(DynamicsProcessor, StaticCurveShape) {
  // Continuous at both thresholds, slope one in between, bounded above.
  EXPECT_NEAR(DynamicsProcessor::staticCurve(-20, -20, 5, 2, -50, 0), -20, 1e-5);
  EXPECT_NEAR(DynamicsProcessor::staticCurve(-35, -20, 5, 2, -50, 0), -35, 1e-5);
  EXPECT_NEAR(DynamicsProcessor::staticCurve(-50, -20, 5, 2, -50, 0), -50, 1e-5);
  EXPECT_NEAR(DynamicsProcessor::staticCurve(-60, -20, 5, 2, -50, 0), -70, 1e-5);
  EXPECT_LE(DynamicsProcessor::staticCurve(200, -20, 5, 2, -50, 3), -20 + 5 + 3);
  EXPECT_LT(DynamicsProcessor::staticCurve(0, -20, 5, 2, -50, 3), -20 + 5 + 3);
  float previous = -1000;
  for (float in = -120; in < 20; in += 0.5f) {
    const float out = DynamicsProcessor::staticCurve(in, -34.4f, 9.8f, 2.25f, -55.9f, 15);
    EXPECT_GT(out, previous) << "curve must rise with the input at " << in;
    previous = out;
  }
}

TEST(DynamicsProcessor, SineLevelsFollowTheCurve) {
  Settings s;
  s.gain = 6;
  {
    // Between the thresholds only the master gain applies.
    auto owned = makeProcessorPtr(s);
    DynamicsProcessor& p = *owned;
    EXPECT_NEAR(steadyOutputDb(p, -30), -24, 0.5);
  }
  {
    // 10 dB under the expansion threshold comes out 20 dB under it (ratio 2).
    auto owned = makeProcessorPtr(s);
    DynamicsProcessor& p = *owned;
    EXPECT_NEAR(steadyOutputDb(p, -60), -70 + 6, 1.0);
  }
  {
    // Far above the threshold the output stays within the head room.
    auto owned = makeProcessorPtr(s);
    DynamicsProcessor& p = *owned;
    const double out = steadyOutputDb(p, -1);
    EXPECT_LE(out, -20 + 5 + 6 + 0.2);
    EXPECT_GT(out, -20 + 6);  // but it is still louder than the threshold
  }
}

TEST(DynamicsProcessor, AttackIsFasterThanRelease) {
  Settings s;
  s.attack = 0.001f;
  s.release = 0.5f;
  auto owned = makeProcessorPtr(s);
  DynamicsProcessor& p = *owned;
  steadyOutputDb(p, -40);  // settle at a quiet level
  steadyOutputDb(p, -1);   // loud: the gain comes down within milliseconds
  // Back to quiet: with a slow release the gain stays low for a while, so the
  // first 10 ms of the quiet passage come out well under their steady level.
  std::vector<int16_t> block(441 * 2);
  const double amplitude = std::pow(10.0, -40 / 20.0) * 32767.0;
  for (int f = 0; f < 441; ++f) {
    block[2 * size_t(f)] = block[2 * size_t(f) + 1] =
        int16_t(std::lround(amplitude * std::sin(2 * M_PI * 1000.0 * f / kRate)));
  }
  p.processInt16(block.data(), 441);
  double peak = 0;
  for (int16_t v : block) peak = std::max(peak, std::fabs(double(v)));
  EXPECT_LT(20 * std::log10(peak / 32767.0), -40 - 6);
}

TEST(DynamicsProcessor, ParametersByIdWithStatusResults) {
  DynamicsProcessor p;
  float value = 0;
  EXPECT_EQ(p.setParameter(4, kAudioUnitScope_Global, 0, 0.025f, 0), noErr);
  EXPECT_EQ(p.getParameter(4, kAudioUnitScope_Global, 0, &value), noErr);
  EXPECT_EQ(value, 0.025f);
  EXPECT_EQ(p.getParameter(7, kAudioUnitScope_Global, 0, &value), kEffectUnitErrInvalidParameter);
  EXPECT_EQ(p.setParameter(99, kAudioUnitScope_Global, 0, 1, 0), kEffectUnitErrInvalidParameter);
  EXPECT_EQ(p.setParameter(0, kAudioUnitScope_Global, 0, NAN, 0),
            kEffectUnitErrInvalidParameterValue);
  EXPECT_EQ(p.setParameter(6, kAudioUnitScope_Global, 0, 500, 0),
            kEffectUnitErrInvalidParameterValue);
  EXPECT_EQ(p.getParameter(0, 1, 0, &value), kEffectUnitErrInvalidScope);
  AudioStreamBasicDescription odd = engineAudioDescription();
  odd.mBitsPerChannel = 24;
  EXPECT_EQ(p.initialize(odd, 512), kEffectUnitErrFormatNotSupported);
}

TEST(DynamicsProcessorConcurrency, ParameterWritesWhileRendering) {
  auto owned = makeProcessorPtr(Settings{});
  DynamicsProcessor& p = *owned;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      p.setParameter(kDynamicsProcessorParam_MasterGain, kAudioUnitScope_Global, 0, float(i % 30),
                     0);
      p.setParameter(kDynamicsProcessorParam_Threshold, kAudioUnitScope_Global, 0, -float(i % 40),
                     0);
    }
  });
  std::vector<int16_t> block(441 * 2, 1000);
  for (int i = 0; i < 2000; ++i) p.processInt16(block.data(), 441);
  stop = true;
  writer.join();
  float gain = 0;
  EXPECT_EQ(p.getParameter(kDynamicsProcessorParam_MasterGain, 0, 0, &gain), noErr);
  EXPECT_GE(gain, 0);
}

// The dynamics effect inside the engine's input chain.
TEST(AudioUnitFilter, ProcessesExactlyWhatTheChainHandsIt) {
  VirtualDeviceOptions options;
  options.clock = VirtualDeviceOptions::Clock::Manual;
  options.input = VirtualDeviceOptions::Input::Tone;
  options.toneFrequency = 1000;
  options.toneAmplitude = std::pow(10.0, -30 / 20.0);
  AudioEngine engine(engineAudioDescription(), true, true,
                     std::make_unique<VirtualDevice>(options));
  auto* device = static_cast<VirtualDevice*>(engine.device());
  std::string error;
  auto filter = AudioUnitFilter::create({kAudioUnitType_Effect, kAudioUnitSubType_DynamicsProcessor,
                                         kAudioUnitManufacturer_Platform, 0, 0},
                                        &engine, &error);
  ASSERT_TRUE(filter) << error;
  ASSERT_EQ(
      filter->audioUnit()->setParameter(kDynamicsProcessorParam_ExpansionThreshold, 0, 0, -60, 0),
      noErr);
  ASSERT_EQ(filter->audioUnit()->setParameter(kDynamicsProcessorParam_MasterGain, 0, 0, 12, 0),
            noErr);
  auto receiver = std::make_shared<testing::PeakReceiver>();
  engine.addInputFilter(filter);
  engine.addInputReceiver(receiver);
  ASSERT_TRUE(engine.start());
  device->runCycles(100);
  // -30 dBFS in, between the thresholds: +12 dB of master gain.
  EXPECT_NEAR(receiver->peakDb(), -18, 0.5);
}

TEST(AudioUnitFilter, UnknownEffectIsRefused) {
  AudioEngine engine(engineAudioDescription(), true, true,
                     testing::makeVirtualDevice(VirtualDeviceOptions::Clock::Manual));
  std::string error;
  EXPECT_EQ(AudioUnitFilter::create({kAudioUnitType_Effect, 1234, 5678, 0, 0}, &engine, &error),
            nullptr);
  EXPECT_FALSE(error.empty());
}

// An effect that always fails, to see the filter's failure path.
class FailingUnit : public EffectUnit {
 public:
  OSStatus initialize(const AudioStreamBasicDescription&, UInt32) override { return noErr; }
  OSStatus render(EffectUnitPullInput, void*, const AudioTimeStamp*, UInt32,
                  AudioBufferList*) override {
    return fourCC("fail");
  }
  OSStatus getParameter(UInt32, UInt32, UInt32, float*) const override { return noErr; }
  OSStatus setParameter(UInt32, UInt32, UInt32, float, UInt32) override { return noErr; }
};

TEST(AudioUnitFilter, RenderFailureIsLoggedAndStillReturnsSuccess) {
  AudioEngine engine(engineAudioDescription(), true, true,
                     testing::makeVirtualDevice(VirtualDeviceOptions::Clock::Manual));
  auto filter = AudioUnitFilter::createWithUnit(std::make_unique<FailingUnit>(),
                                                {kAudioUnitType_Effect, 1, 2, 0, 0}, &engine);
  ASSERT_TRUE(filter);
  std::vector<int16_t> data(64, 0);
  AudioBufferList list{1, {{2, 128, data.data()}}};
  testing::LogCapture capture;
  EXPECT_EQ(filter->filterCallback()(filter.get(), &engine, nullptr, nullptr, nullptr, 32, &list),
            noErr);
  engine.processMainThreadMessages();
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string expected =
      "AudioUnitRender result " + std::to_string(fourCC("fail")) + " 6661696C fail\n";
  EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("audio_unit_filter.cpp:"), std::string::npos) << lines[0];
}

// ---- Real-time logger ------------------------------------------------------

TEST(RealtimeThreadLogger, TenKeptEleventhWarnsTwelfthDropped) {
  AudioEngine engine(engineAudioDescription(), false, false,
                     testing::makeVirtualDevice(VirtualDeviceOptions::Clock::Manual));
  RealtimeThreadLogger logger;
  auto block = logger.loggerBlock();
  testing::LogCapture capture;
  for (int i = 0; i < 12; ++i) {
    block(&engine, false, LogLevelAll, LogFlagError, "file.c", 7, "fn", "message %d", i);
  }
  EXPECT_EQ(logger.pendingRecords(), 11);
  engine.processMainThreadMessages();
  EXPECT_EQ(logger.pendingRecords(), 0);
  const auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 11u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(messages[size_t(i)].message, "message " + std::to_string(i));
    EXPECT_EQ(messages[size_t(i)].line, 7);
    EXPECT_EQ(messages[size_t(i)].function, "fn");
    EXPECT_EQ(messages[size_t(i)].file, "file.c");
  }
  EXPECT_EQ(messages[10].message, "WARNING: QURRealTimeThreadLoggerHandler Buffer is full!");
  EXPECT_EQ(messages[10].flag, LogFlagWarning);
}

TEST(RealtimeThreadLogger, TruncatesAndFiltersByLevel) {
  AudioEngine engine(engineAudioDescription(), false, false,
                     testing::makeVirtualDevice(VirtualDeviceOptions::Clock::Manual));
  RealtimeThreadLogger logger;
  auto block = logger.loggerBlock();
  testing::LogCapture capture;
  const std::string longText(700, 'a');
  block(&engine, true, LogLevelError, LogFlagError, "f", 1, "g", "%s", longText.c_str());
  block(&engine, true, LogLevelError, LogFlagWarning, "f", 2, "g", "not at this level");
  block(nullptr, true, LogLevelAll, LogFlagError, "f", 3, "g", "no engine, no record");
  EXPECT_EQ(logger.pendingRecords(), 2);
  engine.processMainThreadMessages();
  const auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].message, std::string(511, 'a'));
}

TEST(RealtimeThreadLogger, DrainAfterTheLoggerIsGoneIsHarmless) {
  AudioEngine engine(engineAudioDescription(), false, false,
                     testing::makeVirtualDevice(VirtualDeviceOptions::Clock::Manual));
  testing::LogCapture capture;
  {
    RealtimeThreadLogger logger;
    logger.loggerBlock()(&engine, false, LogLevelAll, LogFlagError, "f", 1, "g", "last words");
  }  // its destructor hands the record to the log
  EXPECT_EQ(capture.count("last words"), 1);
  engine.processMainThreadMessages();  // the queued drain finds no logger
  EXPECT_EQ(capture.count("last words"), 1);
}

TEST(RealtimeThreadLoggerConcurrency, AudioThreadLogsWhileMainThreadDrains) {
  AudioEngine engine(engineAudioDescription(), false, false,
                     testing::makeVirtualDevice(VirtualDeviceOptions::Clock::Manual));
  RealtimeThreadLogger logger;
  auto block = logger.loggerBlock();
  testing::LogCapture capture;
  std::atomic<bool> done{false};
  std::thread audio([&] {
    for (int i = 0; i < 2000; ++i) {
      block(&engine, false, LogLevelAll, LogFlagError, "f", i, "g", "n=%d", i);
      if (i % 8 == 0) std::this_thread::yield();
    }
    done = true;
  });
  while (!done) engine.processMainThreadMessages();
  audio.join();
  engine.processMainThreadMessages();
  // Records arrive whole and in order; some may be dropped while the ring is full.
  int last = -1;
  for (const auto& m : capture.messages()) {
    if (m.message.rfind("n=", 0) != 0) continue;
    const int n = std::stoi(m.message.substr(2));
    EXPECT_GT(n, last);
    EXPECT_EQ(m.line, n);
    last = n;
  }
  EXPECT_GE(last, 0);
}

}  // namespace
}  // namespace qur
