// The engine on the native sound-server device, against a private PulseAudio
// server this suite starts: a tone played comes back on the null sink's
// monitor at its level, the device outlives the server being killed, and its
// streams follow when moved to another sink.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/engine/audio_engine.h"
#include "audio/engine/portaudio_device.h"
#include "audio/engine/pulse_device.h"
#include "support/engine_test_support.h"
#include "support/log_capture.h"
#include "support/pulse_server_test.h"
#include "support/test_main.h"

namespace qur {
namespace {

using namespace std::chrono_literals;

// pactl against the test's server; its output, or nullopt when it failed.
std::optional<std::string> pactl(const std::string& arguments) {
  std::string output;
  FILE* pipe = popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::nullopt;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  return pclose(pipe) == 0 ? std::optional<std::string>(output) : std::nullopt;
}

class PulseDeviceTest : public testing::PulseServerTest {
 protected:
  // A tone into the default sink, whose monitor is the microphone.
  struct Rig {
    PulseDevice* device = nullptr;
    std::unique_ptr<AudioEngine> engine;
    std::shared_ptr<testing::LevelReceiver> level = std::make_shared<testing::LevelReceiver>();
  };
  static Rig makeRig(std::string sink = {}, std::string source = {}) {
    Rig rig;
    auto device = std::make_unique<PulseDevice>(std::move(sink), 441, std::move(source));
    rig.device = device.get();
    rig.engine = std::make_unique<AudioEngine>(
        AudioEngine::interleaved16BitStereoAudioDescription(), true, true, std::move(device));
    // The microphone hears the speaker on purpose here.
    rig.engine->setVoiceProcessingEnabled(false);
    rig.engine->addChannels({std::make_shared<testing::ToneChannel>(1000.0, 0.25)});
    rig.engine->addInputReceiver(rig.level);
    return rig;
  }
  static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return testing::mainLoop().runUntil(condition, timeout);
  }
  // The input level over `span` of running, after the bridge has settled.
  static double levelOver(Rig& rig, std::chrono::milliseconds span) {
    testing::mainLoop().runFor(300ms);
    rig.level->reset();
    testing::mainLoop().runFor(span);
    return rig.level->dbfs();
  }
};

// A sine of peak 0.25 full scale is at -15 dBFS RMS.
constexpr double kToneDbfs = -15.05;

TEST_F(PulseDeviceTest, ToneComesBackOnTheMonitorAtItsLevelWithTheLatenciesMeasured) {
  Rig rig = makeRig();
  ASSERT_TRUE(rig.engine->inputAvailable()) << rig.engine->lastError();
  EXPECT_NE(rig.device->name().find("sound server"), std::string::npos) << rig.device->name();
  ASSERT_TRUE(rig.engine->start()) << rig.engine->lastError();
  const double level = levelOver(rig, 1500ms);
  EXPECT_NEAR(level, kToneDbfs, 1.0);
  // Measured while running, not the figures the streams were opened with.
  EXPECT_GT(rig.engine->outputLatency(), 0.0);
  EXPECT_LT(rig.engine->outputLatency(), 0.2);
  EXPECT_GT(rig.engine->inputLatency(), 0.0);
  EXPECT_LT(rig.engine->inputLatency(), 0.2);
  rig.engine->stop();
  const auto cycles = rig.device->cycleCount();
  testing::mainLoop().runFor(200ms);
  EXPECT_EQ(rig.device->cycleCount(), cycles) << "a cycle ran after stop()";
}

TEST_F(PulseDeviceTest, NamesPickTheServersSinksAndSourcesByNameOrDescription) {
  struct Case {
    const char* sink;
    const char* source;
    bool opens;
  };
  const Case cases[] = {
      {"nullsink", "nullsink.monitor", true},
      {"Null Output", "Monitor of Null Output", true},  // descriptions
      {"ullsin", "", true},                             // part of a name
      {"default", "pulse", true},                       // PortAudio's names for the default
      {"no such sink", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sink) + " / " + c.source);
    PulseDevice device(c.sink, 441, c.source);
    struct Silent : AudioDeviceClient {
      void audioDeviceCycle(const int16_t*, int16_t* output, uint32_t frames, uint64_t) override {
        std::fill(output, output + frames * 2, int16_t(0));
      }
    } client;
    std::string error;
    EXPECT_EQ(device.open(AudioDeviceFormat{}, &client, &error), c.opens) << error;
    if (!c.opens) {
      EXPECT_NE(error.find(c.sink), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(device.sinkName(), "nullsink");
    EXPECT_TRUE(device.inputAvailable());
    device.close();
  }
  const auto devices = pulseDevices();
  const auto has = [&](const char* name, bool output) {
    return std::any_of(devices.begin(), devices.end(), [&](const AudioDeviceInfo& d) {
      return d.name == name && (output ? d.outputChannels : d.inputChannels) > 0 &&
             !d.description.empty();
    });
  };
  EXPECT_TRUE(has("nullsink", true));
  EXPECT_TRUE(has("nullsrc", false));
  // Monitors only where one is the default source, as here.
  EXPECT_TRUE(has("nullsink.monitor", false));
  EXPECT_FALSE(has("nullsrc.monitor", false));
}

TEST_F(PulseDeviceTest, SurvivesTheServerKilledAndRestarted) {
  Rig rig = makeRig();
  testing::LogCapture capture;
  ASSERT_TRUE(rig.engine->start()) << rig.engine->lastError();
  ASSERT_TRUE(waitFor([&] { return rig.device->cycleCount() > 50; }, 10s));
  server->kill();
  ASSERT_TRUE(waitFor([&] { return rig.engine->isInterrupted(); }, 10s));
  EXPECT_TRUE(capture.contains("lost (stream error)"));
  std::string error;
  ASSERT_TRUE(server->start(&error)) << error;
  ASSERT_TRUE(waitFor([&] { return !rig.engine->isInterrupted(); }, 20s));
  EXPECT_TRUE(capture.contains("is back"));
  EXPECT_NEAR(levelOver(rig, 1000ms), kToneDbfs, 1.0);
  rig.engine->stop();
}

TEST_F(PulseDeviceTest, StreamsMovedToAnotherSinkGoOnThere) {
  const auto module = pactl("load-module module-null-sink sink_name=othersink rate=44100");
  ASSERT_TRUE(module);
  Rig rig = makeRig();
  ASSERT_TRUE(rig.engine->start()) << rig.engine->lastError();
  EXPECT_NEAR(levelOver(rig, 500ms), kToneDbfs, 1.0);

  // The speaker to the other sink: the microphone (the first sink's
  // monitor) no longer hears it; then the microphone follows it.
  const auto moveOurs = [](const char* kind, const char* to) {
    const auto list = pactl(std::string("list short ") + kind);
    ASSERT_TRUE(list);
    // Ours are the streams of this process; the keep-alive client is another.
    const auto own = pactl(std::string("list ") + kind);
    ASSERT_TRUE(own);
    const std::string pid = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    size_t at = own->find(pid);
    ASSERT_NE(at, std::string::npos);
    const size_t header = own->rfind(" #", at);
    ASSERT_NE(header, std::string::npos);
    const std::string index = own->substr(header + 2, own->find('\n', header) - header - 2);
    const std::string verb =
        std::string(kind) == "sink-inputs" ? "move-sink-input " : "move-source-output ";
    ASSERT_TRUE(pactl(verb + index + " " + to));
  };
  moveOurs("sink-inputs", "othersink");
  ASSERT_TRUE(waitFor([&] { return rig.device->sinkName() == "othersink"; }, 5s));
  EXPECT_LT(levelOver(rig, 500ms), -60.0);
  moveOurs("source-outputs", "othersink.monitor");
  ASSERT_TRUE(waitFor([&] { return rig.device->sourceName() == "othersink.monitor"; }, 5s));
  EXPECT_NEAR(levelOver(rig, 500ms), kToneDbfs, 1.0);
  EXPECT_FALSE(rig.engine->isInterrupted());
  rig.engine->stop();
  pactl("unload-module " + *module);
}

}  // namespace
}  // namespace qur

namespace qur {
namespace {

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// While the sound server is stopped (SIGSTOP, as a hung daemon), no thread of
// ours may loop waiting for it: whatever the backend, the process uses at
// most a small share of a core until the server continues, and cycles then
// resume.
class AudioDeviceStoppedServerConcurrency : public testing::PulseServerTest {};

TEST_F(AudioDeviceStoppedServerConcurrency, NoThreadLoopsWhileTheServerIsStopped) {
  struct Backend {
    const char* name;
    std::function<std::unique_ptr<AudioDevice>()> make;
  };
  const Backend backends[] = {
      {"sound server", [] { return std::make_unique<PulseDevice>(); }},
      {"PortAudio", [] { return std::make_unique<PortAudioDevice>(std::string(), 441); }},
  };
  for (const Backend& backend : backends) {
    SCOPED_TRACE(backend.name);
    AudioEngine engine(AudioEngine::interleaved16BitStereoAudioDescription(), true, true,
                       backend.make());
    engine.setVoiceProcessingEnabled(false);
    engine.addChannels({std::make_shared<testing::ToneChannel>(440.0, 0.1)});
    ASSERT_TRUE(engine.start()) << engine.lastError();
    AudioDevice* device = engine.device();
    ASSERT_TRUE(testing::mainLoop().runUntil([&] { return device->cycleCount() > 100; }, 10s));
    const auto cpuOver = [](std::chrono::milliseconds span) {
      const double before = processCpuSeconds();
      testing::mainLoop().runFor(span);
      return (processCpuSeconds() - before) / (double(span.count()) / 1000);
    };
    const double idle = cpuOver(2s);

    ASSERT_TRUE(server->freeze());
    const double cpuBefore = processCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    testing::mainLoop().runFor(4s);
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    ASSERT_TRUE(server->thaw());
    std::printf("%s: %.3f CPU seconds in %.1f s with the server stopped (%.1f %% of a core)\n",
                backend.name, cpu, wall, cpu / wall * 100);
    EXPECT_LE(cpu, 0.05 * wall);
    const uint64_t resumedFrom = device->cycleCount();
    EXPECT_TRUE(testing::mainLoop().runUntil(
        [&] { return !engine.isInterrupted() && device->cycleCount() > resumedFrom + 100; }, 20s));
    const double after = cpuOver(2s);
    std::printf("%s: %.1f %% of a core before the stop, %.1f %% in the 2 s after it\n",
                backend.name, idle * 100, after * 100);
    engine.stop();
  }
}

}  // namespace
}  // namespace qur
