// Mouth-to-ear latency between two walkie-talkie processes on loopback with
// virtual audio in real time. A's microphone is silence with a click every
// 3 s; during one long transmission B records its speaker. Both processes
// report the wall-clock time of their first audio cycle, which places every
// recorded sample in time. Printed beside the delay the design implies: the
// packet being filled, the target of B's playout buffer (as B reports it),
// the encoder's poll interval, the codec's and the sending converter's
// look-ahead and one device buffer on each side.
#include <opus/opus.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/recording_analysis.h"
#include "app/walkie_talkie_controller.h"
#include "audio/opus_encoder.h"
#include "audio/pcm_format_converter.h"
#include "support/child_process.h"
#include "support/json_field.h"

namespace {

using namespace std::chrono_literals;
using qur::testing::ChildProcess;
using qur::testing::jsonField;

constexpr double kRate = 44100.0;
constexpr double kLoopSeconds = 3.0;
constexpr double kClickAt = 1.5;
constexpr double kDeviceBufferSeconds = 441 / kRate;

void writeWav(const std::string& path, const std::vector<std::int16_t>& stereo) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const std::uint32_t bytes = std::uint32_t(stereo.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(44100);
  u32(44100 * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(stereo.data()), bytes);
}

// A quiet hum keeps the microphone's expander open, so the click's onset is
// not shaped by its attack.
std::vector<std::int16_t> clickTrack() {
  std::vector<std::int16_t> samples(std::size_t(kLoopSeconds * kRate) * 2, 0);
  for (std::size_t i = 0; i < samples.size() / 2; ++i) {
    const auto hum = std::int16_t(100 * std::sin(2 * M_PI * 200.0 * double(i) / kRate));
    samples[i * 2] = samples[i * 2 + 1] = hum;
  }
  const std::size_t at = std::size_t(kClickAt * kRate);
  for (std::size_t i = 0; i < std::size_t(0.006 * kRate); ++i) {
    const auto v = std::int16_t(16000 * std::sin(2 * M_PI * 1000.0 * double(i) / kRate));
    samples[(at + i) * 2] = samples[(at + i) * 2 + 1] = v;
  }
  return samples;
}

long long firstCycle(ChildProcess& process) {
  auto line = process.waitForLine(
      [](const std::string& l) { return l.find("\"audio_clock\"") != std::string::npos; }, 10s);
  return line ? std::atoll(jsonField(*line, "first_cycle_us")->c_str()) : 0;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/qur-latency-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  const std::string mic = (dir / "clicks.wav").string();
  const std::string heard = (dir / "b.wav").string();
  writeWav(mic, clickTrack());
  setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 0);

  const double transmission = 13.0;
  ChildProcess a({QUR_CLI_PATH, "run", "--name", "latency-a", "--mic", mic, "--speaker",
                  (dir / "a.wav").string(), "--accept", "never", "--interface", "lo", "--events",
                  "json"});
  ChildProcess b({QUR_CLI_PATH, "run", "--name", "latency-b", "--speaker", heard, "--accept",
                  "auto", "--interface", "lo", "--events", "json"});
  const long long firstA = firstCycle(a);
  const long long firstB = firstCycle(b);
  if (!firstA || !firstB) {
    std::fprintf(stderr, "latency: the audio devices did not start\n");
    return 1;
  }
  if (!a.waitForLine(
          [](const std::string& l) { return l.find("\"peer_found\"") != std::string::npos; },
          20s)) {
    std::fprintf(stderr, "latency: the peers did not find each other\n");
    return 1;
  }
  a.writeLine("invite latency-b");
  // Transmissions are refused until the controller reports itself connected.
  if (!a.waitForLine(
          [](const std::string& l) {
            return l.find("\"event\":\"connected\"") != std::string::npos &&
                   l.find("\"value\":true") != std::string::npos;
          },
          15s)) {
    std::fprintf(stderr, "latency: the peers did not connect\n");
    return 1;
  }
  a.writeLine("talk " + std::to_string(transmission));
  auto transmitting = [](bool value) {
    return [value](const std::string& l) {
      return l.find("\"transmitting\"") != std::string::npos &&
             l.find(value ? "\"value\":true" : "\"value\":false") != std::string::npos;
    };
  };
  a.waitForLine(transmitting(true), 5s);
  a.waitForLine(transmitting(false), std::chrono::milliseconds(int(transmission * 1000) + 10000));
  b.waitForLine([](const std::string&) { return false; }, 1500ms);
  // The target B's buffer settled on, from its last report of the talk.
  double targetMs = 0;
  for (const auto& line : b.lines()) {
    if (line.find("\"event\":\"link\"") == std::string::npos) continue;
    if (auto target = jsonField(line, "target_ms")) targetMs = std::atof(target->c_str());
  }
  b.quit(15s);
  a.quit(15s);

  auto recording = qur::loadAnalysisSignal(heard);
  auto beep = qur::loadAnalysisSignal(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
  if (!recording || !beep) return 1;
  const qur::HeardReport report = qur::analyseTransmission(*recording, *beep);
  if (!report.inOrder()) {
    std::fprintf(stderr, "latency: B's recording holds no complete transmission (%s)\n",
                 heard.c_str());
    return 1;
  }
  // Click onsets between the session sounds: loud after 100 ms of quieter.
  const double rate = qur::AnalysisSignal::kSampleRate;
  const std::size_t from = std::size_t((*report.startSound + beep->duration() + 0.05) * rate);
  const std::size_t to = std::size_t((*report.endSound - 0.05) * rate);
  std::vector<double> latencies;
  std::size_t quietSince = from;
  for (std::size_t i = from; i < to && i < recording->samples.size(); ++i) {
    if (std::fabs(recording->samples[i]) < 0.1) continue;
    if (double(i - quietSince) / rate > 0.1) {
      const double heardAt = double(firstB) / 1e6 + double(i) / rate;
      const double sinceA = heardAt - double(firstA) / 1e6 - kClickAt;
      const double latency = sinceA - std::floor(sinceA / kLoopSeconds) * kLoopSeconds;
      latencies.push_back(latency);
    }
    quietSince = i;
  }
  if (latencies.empty()) {
    std::fprintf(stderr, "latency: no click found in %s\n", heard.c_str());
    return 1;
  }
  std::sort(latencies.begin(), latencies.end());
  const double median = latencies[latencies.size() / 2];
  const double frame = qur::WalkieTalkieController::kDefaultFrameMilliseconds / 1000.0;
  int lookaheadSamples = 0;
  int opusError = 0;
  ::OpusEncoder* opus = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &opusError);
  if (opus) {
    opus_encoder_ctl(opus, OPUS_GET_LOOKAHEAD(&lookaheadSamples));
    opus_encoder_destroy(opus);
  }
  const double lookahead = lookaheadSamples / 48000.0;
  // A packet leaves only once the sender's resampler has read that far past
  // its end. The receiving converter's look-ahead delays nothing: the decoder
  // simply takes the next packet that much earlier.
  auto converter =
      qur::PCMFormatConverter::create(qur::engineAudioDescription(), qur::codecAudioDescription());
  const double resampler = converter ? converter->lookAheadFrames() / 48000.0 : 0.0;
  const double design = frame + targetMs / 1000.0 + lookahead + resampler +
                        qur::OpusEncoder::kPollInterval + 2 * kDeviceBufferSeconds;
  std::printf("mouth-to-ear latency, %zu clicks: median %.1f ms (min %.1f, max %.1f)\n",
              latencies.size(), median * 1000, latencies.front() * 1000, latencies.back() * 1000);
  std::printf(
      "design delay: %.1f ms = %.0f ms packet + %.1f ms playout target (B's report) + %.1f ms "
      "Opus look-ahead + %.1f ms resampler look-ahead + %.0f ms poll + 2 x %.0f ms device "
      "buffers\n",
      design * 1000, frame * 1000, targetMs, lookahead * 1000, resampler * 1000,
      qur::OpusEncoder::kPollInterval * 1000, kDeviceBufferSeconds * 1000);
  std::printf("measured - design: %+.1f ms (target: at most +30 ms); ratio %.2f\n",
              (median - design) * 1000, median / design);
  std::filesystem::remove_all(dir);
  return median - design <= 0.030 ? 0 : 2;
}
