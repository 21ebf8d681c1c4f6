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

// One 10 ms cycle of a 1 kHz sine at levelDb (peak dBFS), continuing the
// phase; the processed cycle.
std::vector<int16_t> processCycle(DynamicsProcessor& p, double levelDb, int& n) {
  std::vector<int16_t> block(441 * 2);
  const double amplitude = std::pow(10.0, levelDb / 20.0) * 32767.0;
  for (int f = 0; f < 441; ++f, ++n) {
    block[2 * size_t(f)] = block[2 * size_t(f) + 1] =
        int16_t(std::lround(amplitude * std::sin(2 * M_PI * 1000.0 * n / kRate)));
  }
  p.processInt16(block.data(), 441);
  return block;
}

// Output peak level of one cycle, dBFS.
double cycleOutputDb(DynamicsProcessor& p, double levelDb, int& n) {
  double peak = 0;
  for (int16_t v : processCycle(p, levelDb, n)) peak = std::max(peak, std::fabs(double(v)));
  return 20 * std::log10(std::max(peak, 1e-3) / 32767.0);
}

// Output RMS level of one cycle, dBFS.
double cycleRmsDb(DynamicsProcessor& p, double levelDb, int& n) {
  double sum = 0;
  const auto block = processCycle(p, levelDb, n);
  for (int16_t v : block) sum += double(v) * v;
  return 10 * std::log10(std::max(sum / double(block.size()), 1e-6) / (32767.0 * 32767.0));
}

// Cycles until the output's peak comes within 1 dB of `steady` at a level.
int cyclesToSettle(DynamicsProcessor& p, double levelDb, double steady) {
  int n = 0;
  for (int cycle = 1; cycle <= 400; ++cycle) {
    if (std::fabs(cycleOutputDb(p, levelDb, n) - steady) <= 1.0) return cycle;
  }
  return 400;
}

// Attack shapes the way down into compression, release the way back: with
// the two times swapped the two transitions swap speed as well.
TEST(DynamicsProcessor, AttackAndReleaseEachShapeTheirOwnDirection) {
  int settle[2][2] = {};  // [fast attack?][0 loud step, 1 quiet step]
  for (const bool fastAttack : {true, false}) {
    SCOPED_TRACE(fastAttack ? "fast attack, slow release" : "slow attack, fast release");
    Settings s;
    s.headRoom = 40;  // a curve ceiling above full scale: only the gain moves
    s.attack = fastAttack ? 0.001f : 0.2f;
    s.release = fastAttack ? 1.0f : 0.01f;
    auto owned = makeProcessorPtr(s);
    DynamicsProcessor& p = *owned;
    const double loudSteady = steadyOutputDb(p, -1);
    for (int i = 0; i < 4; ++i) steadyOutputDb(p, -40);
    const double quietSteady = steadyOutputDb(p, -40);
    settle[fastAttack][0] = cyclesToSettle(p, -1, loudSteady);
    for (int i = 0; i < 4; ++i) steadyOutputDb(p, -1);
    settle[fastAttack][1] = cyclesToSettle(p, -40, quietSteady);
  }
  EXPECT_LE(settle[1][0], 2) << "fast attack: the gain comes down within milliseconds";
  EXPECT_GE(settle[0][0], 4 * settle[1][0]) << "slow attack";
  EXPECT_LE(settle[0][1], 10) << "fast release: back within a few cycles";
  EXPECT_GE(settle[1][1], 4 * settle[0][1]) << "slow release";
}

// The application's settings: a strong expander below -55.9 dB and 15 dB of
// make-up gain.
Settings presets() {
  return Settings{-34.4f, 9.8f, 2.25f, -55.9f, 0.025f, 0.05f, 15.0f};
}

// The first word after a pause: digital silence drives the expander as far
// down as it goes, and the speech that follows must not wait for it.
TEST(DynamicsProcessor, SpeechAfterDigitalSilenceIsAtItsLevelWithinTenMilliseconds) {
  for (const double level : {-40.0, -30.0, -20.0, -10.0}) {
    SCOPED_TRACE(level);
    auto owned = makeProcessorPtr(presets());
    DynamicsProcessor& p = *owned;
    std::vector<int16_t> silence(441 * 2, 0);
    for (int i = 0; i < 100; ++i) p.processInt16(silence.data(), 441);
    int n = 0;
    const double onset = cycleRmsDb(p, level, n);
    for (int i = 0; i < 60; ++i) cycleRmsDb(p, level, n);
    const double steady = cycleRmsDb(p, level, n);
    EXPECT_GT(steady, -40.0) << "the tone is well above the expander";
    EXPECT_NEAR(onset, steady, 6.0);
  }
}

// Whatever comes in, nothing goes out at or above full scale: a sudden step
// from quiet to full scale while the compressor still attacks, full-scale
// noise under the largest master gain, and float input beyond full scale.
TEST(DynamicsProcessor, NoSampleReachesFullScaleForAnyInput) {
  {
    auto owned = makeProcessorPtr(presets());
    DynamicsProcessor& p = *owned;
    steadyOutputDb(p, -40);
    std::size_t atFullScale = 0;
    int n = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
      std::vector<int16_t> block(441 * 2);
      for (int f = 0; f < 441; ++f, ++n) {
        block[2 * size_t(f)] = block[2 * size_t(f) + 1] =
            int16_t(std::lround(32767.0 * std::sin(2 * M_PI * 1000.0 * n / kRate)));
      }
      p.processInt16(block.data(), 441);
      for (int16_t v : block) atFullScale += v >= 32767 || v <= -32768;
    }
    EXPECT_EQ(atFullScale, 0u) << "-40 to 0 dBFS step";
  }
  {
    Settings s = presets();
    s.gain = 40;
    s.attack = 0.2f;
    auto owned = makeProcessorPtr(s);
    DynamicsProcessor& p = *owned;
    std::uint32_t seed = 12345;
    std::size_t atFullScale = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
      std::vector<int16_t> block(441 * 2);
      for (auto& v : block) {
        seed = seed * 1664525u + 1013904223u;
        v = int16_t(seed >> 16);
      }
      p.processInt16(block.data(), 441);
      for (int16_t v : block) atFullScale += v >= 32767 || v <= -32768;
    }
    EXPECT_EQ(atFullScale, 0u) << "full-scale noise, 40 dB master gain";
  }
  {
    auto p = std::make_unique<DynamicsProcessor>();
    AudioStreamBasicDescription format = engineAudioDescription();
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBitsPerChannel = 32;
    format.mBytesPerFrame = format.mBytesPerPacket = 8;
    ASSERT_EQ(p->initialize(format, 4096), noErr);
    std::vector<float> block(441 * 2);
    float loudest = 0;
    for (int cycle = 0, n = 0; cycle < 50; ++cycle) {
      const float amplitude = cycle < 25 ? 0.01f : 4.0f;
      for (int f = 0; f < 441; ++f, ++n) {
        block[2 * size_t(f)] = block[2 * size_t(f) + 1] =
            amplitude * float(std::sin(2 * M_PI * 1000.0 * n / kRate));
      }
      p->processFloat(block.data(), 441);
      for (float v : block) loudest = std::max(loudest, std::fabs(v));
    }
    EXPECT_LT(loudest, 1.0f) << "float input at four times full scale";
  }
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
