#include "audio/engine/audio_engine.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <thread>

#include "audio/engine/audio_device.h"
#include "audio/engine/virtual_device.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"
#include "support/test_main.h"

namespace qur {
namespace {

using testing::ArithmeticFilter;
using testing::ConstantChannel;
using testing::RecordingReceiver;
using Clock = VirtualDeviceOptions::Clock;

struct ManualEngine {
  explicit ManualEngine(bool input = true, VirtualDeviceOptions options = {}) {
    options.clock = Clock::Manual;
    options.output = VirtualDeviceOptions::Output::Memory;
    options.memoryCapacityFrames = 441 * 200;
    auto owned = std::make_unique<VirtualDevice>(options);
    device = owned.get();
    engine = std::make_unique<AudioEngine>(AudioEngine::interleaved16BitStereoAudioDescription(),
                                           input, true, std::move(owned));
    EXPECT_TRUE(engine->start());
  }
  // Output of the next cycle (441 frames, interleaved).
  std::vector<int16_t> cycle() {
    device->clearCapturedOutput();
    device->runCycles(1);
    return device->capturedOutput();
  }
  VirtualDevice* device;
  std::unique_ptr<AudioEngine> engine;
};

TEST(AudioEngineDeviceSpec, ParsesKindsNamesAndOptions) {
  auto choice = parseAudioDeviceChoice("portaudio:USB Headset,buffer=256");
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->kind, AudioDeviceChoice::Kind::PortAudio);
  EXPECT_EQ(choice->deviceName, "USB Headset");
  EXPECT_EQ(choice->framesPerBuffer, 256u);
  choice = parseAudioDeviceChoice("virtual:fast");
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->kind, AudioDeviceChoice::Kind::Virtual);
  EXPECT_TRUE(choice->freeRunning);
  std::string error;
  EXPECT_FALSE(parseAudioDeviceChoice("alsa", &error));
  EXPECT_NE(error.find("alsa"), std::string::npos);
  EXPECT_FALSE(parseAudioDeviceChoice("virtual,buffer=3"));
  EXPECT_FALSE(parseAudioDeviceChoice("virtual,buffer=12x"));
  EXPECT_FALSE(parseAudioDeviceChoice("virtual:slow"));
  EXPECT_FALSE(parseAudioDeviceChoice("portaudio,colour=red"));
}

TEST(AudioEngineDeviceSpec, SoundServerAndAutomaticChoices) {
  struct Case {
    const char* text;
    bool valid;
    AudioDeviceChoice::Kind kind;
    const char* name;
  };
  const Case cases[] = {
      {"", true, AudioDeviceChoice::Kind::Automatic, ""},
      {"auto", true, AudioDeviceChoice::Kind::Automatic, ""},
      {"pulse", true, AudioDeviceChoice::Kind::Pulse, ""},
      {"pulse:Built-in Audio Analog Stereo", true, AudioDeviceChoice::Kind::Pulse,
       "Built-in Audio Analog Stereo"},
      {"pulse:usb,buffer=256", true, AudioDeviceChoice::Kind::Pulse, "usb"},
      {"auto:usb", false, AudioDeviceChoice::Kind::Automatic, ""},
      {"pulseaudio", false, AudioDeviceChoice::Kind::Automatic, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto choice = parseAudioDeviceChoice(c.text, &error);
    ASSERT_EQ(choice.has_value(), c.valid) << error;
    if (!choice) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(choice->kind, c.kind);
    EXPECT_EQ(choice->deviceName, c.name);
  }
}

TEST(AudioEngineDeviceSpec, EnvironmentChoosesTheDevice) {
  setenv(kAudioDeviceEnvironmentVariable, "virtual:fast,buffer=128", 1);
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true);
  unsetenv(kAudioDeviceEnvironmentVariable);
  ASSERT_NE(engine.device(), nullptr);
  EXPECT_EQ(engine.device()->name(), "virtual device");
  EXPECT_EQ(engine.device()->framesPerBuffer(), 128u);
  EXPECT_FALSE(engine.device()->isRealTime());
}

TEST(AudioEngineMix, VolumePanMasterAndMute) {
  ManualEngine m;
  auto channel = std::make_shared<ConstantChannel>(1000);
  m.engine->addChannels({channel});
  auto out = m.cycle();
  ASSERT_EQ(out.size(), 882u);
  EXPECT_EQ(out[0], 1000);
  EXPECT_EQ(out[881], 1000);

  channel->setVolume(0.5f);
  out = m.cycle();
  EXPECT_EQ(out[0], 500);
  EXPECT_EQ(out[1], 500);

  channel->setVolume(1.0f);
  channel->setPan(-1.0f);  // hard left: the right side all but vanishes
  out = m.cycle();
  EXPECT_EQ(out[0], 1000);
  EXPECT_LE(std::abs(out[1]), 1);

  channel->setPan(0);
  m.engine->setMasterOutputVolume(0.25f);
  EXPECT_EQ(m.cycle()[0], 250);
  m.engine->setMuteOutput(true);
  EXPECT_EQ(m.cycle()[0], 0);
  m.engine->setMuteOutput(false);
  EXPECT_EQ(m.cycle()[0], 250);
}

TEST(AudioEngineMix, SumsChannelsAndClipsInsteadOfWrapping) {
  ManualEngine m;
  auto a = std::make_shared<ConstantChannel>(20000);
  auto b = std::make_shared<ConstantChannel>(20000);
  auto c = std::make_shared<ConstantChannel>(-3000);
  m.engine->addChannels({a, c});
  EXPECT_EQ(m.cycle()[0], 17000);
  m.engine->addChannels({b});
  EXPECT_EQ(m.cycle()[0], 32767);  // 37000 saturates rather than wrapping negative
}

TEST(AudioEngineMix, SilentMutedAndStoppedChannelsContributeNothing) {
  ManualEngine m;
  auto loud = std::make_shared<ConstantChannel>(9000);
  auto quiet = std::make_shared<ConstantChannel>(7);
  // The quiet channel renders after the loud one into the same scratch bus;
  // writing nothing must mean silence, not the loud channel's leftovers.
  m.engine->addChannels({loud, quiet});
  EXPECT_EQ(m.cycle()[0], 9007);
  quiet->silent = true;
  EXPECT_EQ(m.cycle()[0], 9000);
  loud->setChannelIsMuted(true);
  EXPECT_EQ(m.cycle()[0], 0);
  const int rendersWhileMuted = loud->renders.load();
  m.cycle();
  EXPECT_EQ(loud->renders.load(), rendersWhileMuted);  // a muted bus is not pulled
  loud->setChannelIsMuted(false);
  loud->setChannelIsPlaying(false);
  EXPECT_EQ(m.cycle()[0], 0);
  loud->setChannelIsPlaying(true);
  EXPECT_EQ(m.cycle()[0], 9000);
}

TEST(AudioEngineMix, AddingAChannelTwiceKeepsOneCopy) {
  ManualEngine m;
  auto channel = std::make_shared<ConstantChannel>(100);
  m.engine->addChannels({channel});
  m.engine->addChannels({channel, channel});
  EXPECT_EQ(m.engine->channels().size(), 1u);
  EXPECT_EQ(m.cycle()[0], 100);
  m.engine->removeChannels({channel});
  EXPECT_TRUE(m.engine->channels().empty());
  EXPECT_EQ(m.cycle()[0], 0);
  m.engine->removeChannels({channel});  // not present: nothing happens
}

TEST(AudioEngineMix, ChannelLimitIsAHundred) {
  ManualEngine m;
  testing::LogCapture capture;
  std::vector<std::shared_ptr<AudioPlayable>> channels;
  for (int i = 0; i < 101; ++i) channels.push_back(std::make_shared<ConstantChannel>(1));
  m.engine->addChannels(channels);
  EXPECT_EQ(m.engine->channels().size(), 100u);
  EXPECT_EQ(capture.count("Warning: Channel limit reached"), 1);
  EXPECT_EQ(m.cycle()[0], 100);
}

TEST(AudioEngineInput, FiltersRunInOrderAndReceiversGetTheSameCycle) {
  VirtualDeviceOptions options;
  options.input = VirtualDeviceOptions::Input::Feed;
  int cycle = 0;
  // Every cycle's microphone carries its own number, so a receiver can tell
  // which cycle its audio came from.
  options.feed = [&cycle](int16_t* samples, uint32_t frames, int channels) {
    ++cycle;
    for (uint32_t i = 0; i < frames * uint32_t(channels); ++i) samples[i] = int16_t(cycle);
  };
  ManualEngine m(true, options);
  auto receiver = std::make_shared<RecordingReceiver>();
  m.engine->addInputFilter(std::make_shared<ArithmeticFilter>(2, 0));
  m.engine->addInputReceiver(receiver);
  m.engine->addInputFilter(std::make_shared<ArithmeticFilter>(1, 1000));
  m.device->runCycles(5);
  ASSERT_EQ(receiver->count.load(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(receiver->firstSamples[size_t(i)], (i + 1) * 2 + 1000);
  EXPECT_EQ(receiver->lastSource, kAudioEngineSourceInput);
  EXPECT_EQ(receiver->lastBytes, 441u * 4);
}

TEST(AudioEngineInput, FilterThatDoesNotPullDeliversSilence) {
  VirtualDeviceOptions options;
  options.input = VirtualDeviceOptions::Input::Tone;
  options.toneFrequency = 0.001;  // nearly constant, far from zero after the first samples
  options.toneAmplitude = 0.5;
  ManualEngine m(true, options);
  auto receiver = std::make_shared<RecordingReceiver>();
  m.engine->addInputFilter(std::make_shared<ArithmeticFilter>(1, 0, false));
  m.engine->addInputReceiver(receiver);
  m.device->runCycles(3);
  ASSERT_EQ(receiver->count.load(), 3u);
  EXPECT_EQ(receiver->firstSamples[2], 0);
}

TEST(AudioEngineInput, CallbackTableHoldsFifteen) {
  ManualEngine m;
  testing::LogCapture capture;
  for (int i = 0; i < 16; ++i) m.engine->addInputReceiver(std::make_shared<RecordingReceiver>(1));
  EXPECT_EQ(capture.count("Warning: Maximum number of callbacks reached"), 1);
}

TEST(AudioEngineInput, NoInputWithoutMicrophone) {
  VirtualDeviceOptions options;
  options.hasInput = false;
  testing::LogCapture capture;
  ManualEngine m(true, options);
  EXPECT_FALSE(m.engine->inputAvailable());
  EXPECT_TRUE(
      capture.contains("Engine: No input available. Using MediaPlayback category instead."));
  auto receiver = std::make_shared<RecordingReceiver>();
  m.engine->addInputReceiver(receiver);
  m.device->runCycles(3);
  EXPECT_EQ(receiver->count.load(), 0u);
}

struct MessageProbe {
  static void handler(AudioEngine* engine, void* data, int length) {
    EXPECT_TRUE(mainQueue().isMainThread());
    seenEngine = engine;
    seen.assign(static_cast<char*>(data), size_t(length));
  }
  static inline AudioEngine* seenEngine = nullptr;
  static inline std::string seen;
};

class MessageChannel : public AudioPlayable {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* channel, AudioEngine* engine, const AudioTimeStamp*, UInt32,
                         AudioBufferList*) {
    auto* self = static_cast<MessageChannel*>(channel);
    if (!self->sent.exchange(true)) {
      char text[300];
      std::memset(text, 'x', sizeof text);  // longer than the handler's stack copy
      std::memcpy(text, "hello", 5);
      audioEngineSendAsynchronousMessageToMainThread(engine, &MessageProbe::handler, text,
                                                     sizeof text);
    }
    return noErr;
  }
  std::atomic<bool> sent{false};
};

TEST(AudioEngineMessages, AudioThreadMessageRunsOnTheMainQueueWithACopy) {
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), false, false,
                     testing::makeVirtualDevice(Clock::RealTime));
  ASSERT_TRUE(engine.start());
  MessageProbe::seen.clear();
  engine.addChannels({std::make_shared<MessageChannel>()});
  ASSERT_TRUE(testing::mainLoop().runUntil([] { return !MessageProbe::seen.empty(); },
                                           std::chrono::seconds(5)));
  EXPECT_EQ(MessageProbe::seenEngine, &engine);
  EXPECT_EQ(MessageProbe::seen.size(), 300u);
  EXPECT_EQ(MessageProbe::seen.substr(0, 6), "hellox");
  engine.stop();
}

TEST(AudioEngineLifecycle, StartFailsWithoutADeviceAndSaysWhy) {
  VirtualDeviceOptions options;
  options.input = VirtualDeviceOptions::Input::WavFile;
  options.inputFile = "/nonexistent/microphone.wav";
  testing::LogCapture capture;
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::make_unique<VirtualDevice>(options));
  std::string error;
  EXPECT_FALSE(engine.start(&error));
  EXPECT_NE(error.find("Couldn't initialize audio session"), std::string::npos);
  EXPECT_EQ(engine.lastError(), error);
  EXPECT_FALSE(engine.isRunning());
  EXPECT_TRUE(capture.contains("Engine: Starting Engine"));
}

TEST(AudioEngineLifecycle, StopEndsCyclesAndKeepsTables) {
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     testing::makeVirtualDevice(Clock::FreeRunning));
  auto channel = std::make_shared<ConstantChannel>(5);
  engine.addChannels({channel});
  ASSERT_TRUE(engine.start());
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return channel->renders.load() > 10; },
                                           std::chrono::seconds(5)));
  engine.stop();
  const int renders = channel->renders.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(channel->renders.load(), renders);
  EXPECT_EQ(engine.channels().size(), 1u);
  ASSERT_TRUE(engine.start());
  EXPECT_TRUE(testing::mainLoop().runUntil([&] { return channel->renders.load() > renders + 10; },
                                           std::chrono::seconds(5)));
}

TEST(AudioEngineDeviceLoss, VirtualDeviceUnpluggedAndBack) {
  auto owned = testing::makeVirtualDevice(Clock::RealTime);
  VirtualDevice* device = owned.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(owned));
  auto channel = std::make_shared<ConstantChannel>(5);
  engine.addChannels({channel});
  testing::LogCapture capture;
  ASSERT_TRUE(engine.start());
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return channel->renders.load() > 5; },
                                           std::chrono::seconds(5)));
  device->setUnplugged(true);
  // The flag and the log line are set one after the other on the poll thread.
  ASSERT_TRUE(testing::mainLoop().runUntil(
      [&] { return engine.isInterrupted() && capture.contains("lost"); }, std::chrono::seconds(5)));
  EXPECT_TRUE(engine.isRunning());

  // Tables change while the device is away; the change must hold when it returns.
  auto second = std::make_shared<ConstantChannel>(6);
  engine.addChannels({second});
  engine.removeChannels({channel});
  const int before = second->renders.load();
  EXPECT_EQ(before, 0);

  device->setUnplugged(false);
  ASSERT_TRUE(testing::mainLoop().runUntil(
      [&] { return !engine.isInterrupted() && capture.contains("is back"); },
      std::chrono::seconds(5)));
  EXPECT_TRUE(testing::mainLoop().runUntil([&] { return second->renders.load() > 5; },
                                           std::chrono::seconds(5)));
  EXPECT_EQ(channel->callsAfterRemoval.load(), 0);
  engine.stop();
}

TEST(AudioEngineConcurrency, AddAndRemoveChannelsAThousandTimesWhileRunning) {
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     testing::makeVirtualDevice(Clock::FreeRunning));
  auto resident = std::make_shared<ConstantChannel>(1);
  engine.addChannels({resident});
  ASSERT_TRUE(engine.start());
  int violations = 0;
  for (int i = 0; i < 1000; ++i) {
    auto a = std::make_shared<ConstantChannel>(2);
    auto b = std::make_shared<ConstantChannel>(3);
    engine.addChannels({a, b});
    engine.removeChannels({a});
    // Once removeChannels returns the audio thread must not call it again.
    a->removed = true;
    engine.removeChannels({b});
    b->removed = true;
    std::this_thread::yield();
    violations += a->callsAfterRemoval.load() + b->callsAfterRemoval.load();
  }
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(engine.channels().size(), 1u);
  EXPECT_GT(resident->renders.load(), 0);
  engine.stop();
}

struct Counter : AudioPlayable {
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* c, AudioEngine* e, const AudioTimeStamp*, UInt32,
                         AudioBufferList*) {
    auto* self = static_cast<Counter*>(c);
    int n = self->sent.load(std::memory_order_relaxed);
    if (n < 200) {
      audioEngineSendAsynchronousMessageToMainThread(e, &handle, &n, sizeof n);
      self->sent.store(n + 1, std::memory_order_relaxed);
    }
    return noErr;
  }
  static void handle(AudioEngine*, void* data, int) {
    int n;
    std::memcpy(&n, data, sizeof n);
    if (n == received) ++received;
  }
  std::atomic<int> sent{0};
  static inline int received = 0;
};

TEST(AudioEngineConcurrency, MessagesFromTheAudioThreadAreAllDelivered) {
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     testing::makeVirtualDevice(Clock::RealTime));
  Counter::received = 0;
  ASSERT_TRUE(engine.start());
  engine.addChannels({std::make_shared<Counter>()});
  EXPECT_TRUE(testing::mainLoop().runUntil([] { return Counter::received == 200; },
                                           std::chrono::seconds(10)));
  engine.stop();
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

// Microphone from a WAV file through the engine into a WAV file on the speaker
// side: a loopback channel plays back what the receiver heard.
class LoopbackChannel : public AudioPlayable, public AudioReceiver {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  AudioEngineReceiverCallback receiverCallback() const override { return &receive; }
  static void receive(AudioReceiver* r, AudioEngine*, int, const AudioTimeStamp*, UInt32 frames,
                      const AudioBufferList* audio) {
    auto* self = static_cast<LoopbackChannel*>(r);
    std::memcpy(self->held, audio->mBuffers[0].mData, frames * 4);
  }
  static OSStatus render(AudioPlayable* c, AudioEngine*, const AudioTimeStamp*, UInt32 frames,
                         AudioBufferList* audio) {
    std::memcpy(audio->mBuffers[0].mData, static_cast<LoopbackChannel*>(c)->held, frames * 4);
    return noErr;
  }
  int16_t held[441 * 2] = {};
};

TEST(AudioEngineVirtualFiles, MicrophoneFileComesOutInTheSpeakerFile) {
  const std::string in = ::testing::TempDir() + "qur-mic.wav";
  const std::string out = ::testing::TempDir() + "qur-speaker.wav";
  {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;  // a mono microphone file feeds both channels
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(in.c_str(), SFM_WRITE, &info);
    std::vector<int16_t> samples(441 * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(i + 1);
    sf_writef_short(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
  }
  VirtualDeviceOptions options;
  options.clock = Clock::Manual;
  options.input = VirtualDeviceOptions::Input::WavFile;
  options.inputFile = in;
  options.loopInputFile = false;
  options.output = VirtualDeviceOptions::Output::WavFile;
  options.outputFile = out;
  auto owned = std::make_unique<VirtualDevice>(options);
  VirtualDevice* device = owned.get();
  {
    AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                       std::move(owned));
    auto loopback = std::make_shared<LoopbackChannel>();
    engine.addInputReceiver(loopback);
    engine.addChannels({loopback});
    ASSERT_TRUE(engine.start());
    EXPECT_EQ(device->runCycles(6), 6u);
    engine.stop();
  }  // closing the device finishes the file
  SF_INFO info{};
  SNDFILE* file = sf_open(out.c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.frames, 441 * 6);
  std::vector<int16_t> got(size_t(info.frames) * 2);
  sf_readf_short(file, got.data(), info.frames);
  sf_close(file);
  for (size_t f = 0; f < 441 * 4; ++f) {
    ASSERT_EQ(got[2 * f], int16_t(f + 1)) << f;
    ASSERT_EQ(got[2 * f + 1], int16_t(f + 1)) << f;
  }
  for (size_t f = 441 * 4; f < 441 * 6; ++f) ASSERT_EQ(got[2 * f], 0) << "after the file ends";
  std::remove(in.c_str());
  std::remove(out.c_str());
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

// A device driven by two threads at once, as when a replaced stream keeps
// calling back next to the new one; stopping it leaves the threads running
// until `release()`, as an abandoned stream's would.
class TwoThreadDevice : public AudioDevice {
 public:
  ~TwoThreadDevice() override { release(); }
  bool open(const AudioDeviceFormat& format, AudioDeviceClient* client, std::string*) override {
    _client = client;
    _channels = format.channels;
    return true;
  }
  bool start(std::string*) override {
    if (!_threads.empty()) return true;
    _run = true;
    for (int i = 0; i < 2; ++i) {
      _threads.emplace_back([this] {
        std::vector<int16_t> input(64 * size_t(_channels), 3);
        std::vector<int16_t> output(64 * size_t(_channels));
        while (_run.load()) {
          _client->audioDeviceCycle(input.data(), output.data(), 64, 0);
          _cycles.fetch_add(1);
          std::this_thread::yield();
        }
      });
    }
    return true;
  }
  void stop() override {}
  void close() override {}
  void release() {
    _run = false;
    for (auto& thread : _threads) thread.join();
    _threads.clear();
  }
  bool isHealthy() const override { return true; }
  bool inputAvailable() const override { return true; }
  double inputLatency() const override { return 0; }
  uint32_t framesPerBuffer() const override { return 64; }
  uint64_t cycleCount() const override { return _cycles.load(); }
  std::string name() const override { return "two threads"; }
  bool isRealTime() const override { return false; }

 private:
  AudioDeviceClient* _client = nullptr;
  int _channels = 2;
  std::atomic<bool> _run{false};
  std::atomic<uint64_t> _cycles{0};
  std::vector<std::thread> _threads;
};

// Entries into and exits from render; a second entry before the exit is an overlap.
class OverlapChannel : public AudioPlayable {
 public:
  AudioEngineRenderCallback renderCallback() const override { return &render; }
  static OSStatus render(AudioPlayable* c, AudioEngine*, const AudioTimeStamp*, UInt32,
                         AudioBufferList*) {
    auto* self = static_cast<OverlapChannel*>(c);
    if (self->inside.fetch_add(1) != 0) self->overlaps.fetch_add(1);
    self->renders.fetch_add(1);
    std::this_thread::yield();
    self->inside.fetch_sub(1);
    return noErr;
  }
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> renders{0};
};

TEST(AudioEngineConcurrency, TwoDeviceThreadsNeverRenderAtOnce) {
  auto owned = std::make_unique<TwoThreadDevice>();
  TwoThreadDevice* device = owned.get();
  AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                     std::move(owned));
  auto probe = std::make_shared<OverlapChannel>();
  auto receiver = std::make_shared<RecordingReceiver>(1000);
  engine.addChannels({probe});
  engine.addInputReceiver(receiver);
  ASSERT_TRUE(engine.start());
  int violations = 0;
  for (int i = 0; i < 200; ++i) {
    auto extra = std::make_shared<ConstantChannel>(1);
    engine.addChannels({extra});
    engine.removeChannels({extra});
    extra->removed = true;
    violations += extra->callsAfterRemoval.load();
  }
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return probe->renders.load() > 2000; },
                                           std::chrono::seconds(20)));
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(probe->overlaps.load(), 0);
  EXPECT_GT(engine.refusedCycles(), 0u);

  // Stopped, the engine turns away a device that goes on calling.
  engine.stop();
  const int atStop = probe->renders.load();
  const uint64_t refused = engine.refusedCycles();
  ASSERT_TRUE(testing::mainLoop().runUntil([&] { return engine.refusedCycles() > refused + 100; },
                                           std::chrono::seconds(20)));
  EXPECT_EQ(probe->renders.load(), atStop);
  device->release();
}

}  // namespace
}  // namespace qur
