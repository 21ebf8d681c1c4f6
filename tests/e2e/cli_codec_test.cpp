// qur-wtalkie-cli end to end: spoken words (espeak-ng, made here) through the
// loopback chain and through a recorded wire stream, checked against the
// input after alignment; and the program's answers to bad input.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "support/e2e_support.h"

namespace {

namespace fs = std::filesystem;

constexpr double kWindow = 0.005;  // envelope resolution, seconds

// Standard output and error together.
qur::testing::ShellResult run(const std::string& arguments) {
  return qur::testing::runShell(std::string(QUR_CLI_PATH) + " " + arguments + " 2>&1");
}

// Mono samples (channels averaged) and the rate of a sound file.
struct Sound {
  std::vector<double> samples;
  double rate = 0;
  double seconds() const { return rate > 0 ? double(samples.size()) / rate : 0; }
};

Sound readSound(const std::string& path) {
  Sound sound;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return sound;
  std::vector<double> interleaved(std::size_t(info.frames) * std::size_t(info.channels));
  const sf_count_t frames = sf_readf_double(file, interleaved.data(), info.frames);
  sf_close(file);
  sound.rate = info.samplerate;
  sound.samples.resize(std::size_t(frames));
  for (sf_count_t i = 0; i < frames; ++i) {
    double sum = 0;
    for (int c = 0; c < info.channels; ++c) sum += interleaved[std::size_t(i * info.channels + c)];
    sound.samples[std::size_t(i)] = sum / info.channels;
  }
  return sound;
}

// RMS in windows of kWindow seconds.
std::vector<double> envelope(const Sound& sound) {
  const double per = sound.rate * kWindow;
  const auto windows = std::size_t(double(sound.samples.size()) / per);
  std::vector<double> env(windows);
  for (std::size_t w = 0; w < windows; ++w) {
    const auto a = std::size_t(double(w) * per), b = std::size_t(double(w + 1) * per);
    double sum = 0;
    for (std::size_t i = a; i < b; ++i) sum += sound.samples[i] * sound.samples[i];
    env[w] = std::sqrt(sum / double(b - a));
  }
  return env;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b, long lag,
                   std::size_t length) {
  // Pearson correlation of a[i] and b[i + lag] for i in [0, length).
  double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < length && i < a.size(); ++i) {
    const long j = long(i) + lag;
    if (j < 0 || std::size_t(j) >= b.size()) continue;
    const double x = a[i], y = b[std::size_t(j)];
    sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
    ++n;
  }
  if (n < 10) return 0;
  const double cov = sab - sa * sb / double(n);
  const double va = saa - sa * sa / double(n), vb = sbb - sb * sb / double(n);
  return va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0;
}

// The lag (in windows) at which b best matches a, searched over [from, to].
long bestLag(const std::vector<double>& a, const std::vector<double>& b, long from, long to,
             double* best) {
  long lag = from;
  *best = -2;
  for (long l = from; l <= to; ++l) {
    const double c = correlation(a, b, l, a.size());
    if (c > *best) *best = c, lag = l;
  }
  return lag;
}

struct Analysis {
  double speechCorrelation = 0;
  long lag = 0;  // windows from input to output
  double startBeepCorrelation = 0;
  double endBeepCorrelation = 0;
  long startBeepAt = -1, endBeepAt = -1;  // windows in the output
  long speechFirst = 0, speechLast = 0;   // aligned speech in the output, windows
  double longestDropout = 0;              // seconds
};

Analysis analyse(const Sound& input, const Sound& output, const Sound& beep) {
  Analysis a;
  const auto in = envelope(input);
  const auto out = envelope(output);
  const auto beepEnv = envelope(beep);
  std::vector<double> reversedBeep(beepEnv.rbegin(), beepEnv.rend());

  a.lag = bestLag(in, out, 0, long(1.0 / kWindow), &a.speechCorrelation);

  // Where the input has sound, relative to its own loudest window.
  const double inMax = *std::max_element(in.begin(), in.end());
  const double outMax = *std::max_element(out.begin(), out.end());
  std::size_t first = in.size(), last = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] > 0.1 * inMax) first = std::min(first, i), last = i;
  }
  a.speechFirst = long(first) + a.lag;
  a.speechLast = long(last) + a.lag;

  // Dropouts: input sounding, output silent.
  std::size_t run = 0, longest = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const long j = long(i) + a.lag;
    const bool sounding = in[i] > 0.2 * inMax;
    const bool silent =
        j < 0 || std::size_t(j) >= out.size() || out[std::size_t(j)] < 0.02 * outMax;
    run = sounding && silent ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  a.longestDropout = double(longest) * kWindow;

  // The start sound before the speech, the end sound (reversed) after it.
  a.startBeepAt = bestLag(beepEnv, out, 0, std::max(0L, a.speechFirst), &a.startBeepCorrelation);
  a.endBeepAt = bestLag(reversedBeep, out, a.speechLast - long(beepEnv.size()),
                        long(out.size()) - long(beepEnv.size()), &a.endBeepCorrelation);
  return a;
}

class CliCodecTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("qur-cli-codec-" + std::to_string(getpid()));
    fs::create_directories(dir);
    speech = (dir / "speech.wav").string();
    const std::string command =
        "espeak-ng -s 150 -w " + speech +
        " 'The quick brown fox jumps over the lazy dog near the river bank.'"
        " >/dev/null 2>&1";
    haveSpeech = std::system(command.c_str()) == 0 && fs::exists(speech);
  }
  static void TearDownTestSuite() { fs::remove_all(dir); }

  void SetUp() override {
    if (!haveSpeech) GTEST_SKIP() << "espeak-ng is not installed";
  }

  static std::string path(const std::string& name) { return (dir / name).string(); }

  static void expectSpeechWithSounds(const Analysis& a, const std::string& what) {
    SCOPED_TRACE(what);
    std::printf(
        "%s: speech correlation %.3f at %.0f ms, start sound %.3f, end sound %.3f, "
        "longest dropout %.0f ms\n",
        what.c_str(), a.speechCorrelation, 1e3 * double(a.lag) * kWindow, a.startBeepCorrelation,
        a.endBeepCorrelation, 1e3 * a.longestDropout);
    EXPECT_GE(a.speechCorrelation, 0.8);
    EXPECT_GE(a.startBeepCorrelation, 0.8);
    EXPECT_GE(a.endBeepCorrelation, 0.8);
    // In order: start sound, speech, end sound.
    EXPECT_LT(a.startBeepAt, a.speechFirst);
    EXPECT_GT(a.endBeepAt, a.speechLast);
    EXPECT_LE(a.longestDropout, 0.020);
  }

  static inline fs::path dir;
  static inline std::string speech;
  static inline bool haveSpeech = false;
};

TEST_F(CliCodecTest, SpeechThroughLoopbackAndThroughTheRecordedWire) {
  const auto looped = run("loopback --mic " + speech + " --speaker " + path("out.wav") +
                          " --wire " + path("out.wire"));
  ASSERT_EQ(looped.status, 0) << looped.output;
  EXPECT_NE(looped.output.find("Opus packets"), std::string::npos) << looped.output;

  const Sound input = readSound(speech);
  const Sound output = readSound(path("out.wav"));
  const Sound beep = readSound(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
  ASSERT_GT(input.seconds(), 1.0);
  ASSERT_GT(beep.seconds(), 0.05);
  EXPECT_EQ(output.rate, 44100.0);
  // Start sound, a 180 ms reserve, the speech and the end sound all fit.
  EXPECT_GT(output.seconds(), input.seconds() + 2 * beep.seconds());
  const Analysis loop = analyse(input, output, beep);
  expectSpeechWithSounds(loop, "loopback");

  const auto played = run("play-wire " + path("out.wire") + " --speaker " + path("replay.wav"));
  ASSERT_EQ(played.status, 0) << played.output;
  const Sound replay = readSound(path("replay.wav"));
  expectSpeechWithSounds(analyse(input, replay, beep), "play-wire");
  // The recording carries the same speech as the loopback played.
  double same = 0;
  bestLag(envelope(output), envelope(replay), -long(0.5 / kWindow), long(0.5 / kWindow), &same);
  EXPECT_GE(same, 0.9);
}

TEST_F(CliCodecTest, CorruptFramesAreSkippedReportedAndPlaybackGoesOn) {
  const auto looped =
      run("loopback --mic " + speech + " --speaker " + path("c.wav") + " --wire " + path("c.wire"));
  ASSERT_EQ(looped.status, 0) << looped.output;
  std::ifstream in(path("c.wire"), std::ios::binary);
  const std::vector<unsigned char> original((std::istreambuf_iterator<char>(in)), {});
  std::vector<unsigned char> bytes = original;
  // Walk the frames and ruin the payload of two in the middle: one with
  // bytes that are no wire message, one with an impossible length prefix.
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 4 <= bytes.size();) {
    starts.push_back(at);
    const std::size_t length = (std::size_t(bytes[at]) << 24) | (std::size_t(bytes[at + 1]) << 16) |
                               (std::size_t(bytes[at + 2]) << 8) | bytes[at + 3];
    at += 4 + length;
  }
  ASSERT_GT(starts.size(), 20u);
  const std::size_t garbage = starts[starts.size() / 3];
  for (std::size_t i = garbage + 4; i < starts[starts.size() / 3 + 1]; ++i) bytes[i] = 0xFF;
  std::ofstream(path("corrupt.wire"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  // An oversized frame: a length beyond what any reader accepts, then its bytes.
  std::vector<unsigned char> oversized = original;
  const std::size_t cut = starts[2 * starts.size() / 3];
  std::vector<unsigned char> junk = {0x00, 0x01, 0x00, 0x00};  // 65536 bytes follow
  junk.resize(4 + 65536, 0xAB);
  oversized.insert(oversized.begin() + long(cut), junk.begin(), junk.end());
  std::ofstream(path("oversized.wire"), std::ios::binary)
      .write(reinterpret_cast<const char*>(oversized.data()), std::streamsize(oversized.size()));

  const Sound input = readSound(speech);
  const Sound beep = readSound(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
  for (const std::string name : {"corrupt", "oversized"}) {
    SCOPED_TRACE(name);
    const auto played =
        run("play-wire " + path(name + ".wire") + " --speaker " + path(name + ".wav"));
    EXPECT_EQ(played.status, 1) << played.output;
    EXPECT_NE(played.output.find("skipped"), std::string::npos) << played.output;
    // Playback went on past the bad frame: the speech after it is there.
    const Sound output = readSound(path(name + ".wav"));
    const Analysis a = analyse(input, output, beep);
    EXPECT_GE(a.endBeepCorrelation, 0.8);
    const auto in = envelope(input);
    const std::vector<double> lastThird(in.begin() + long(2 * in.size() / 3), in.end());
    double after = 0;
    bestLag(lastThird, envelope(output), 0, long(output.seconds() / kWindow), &after);
    EXPECT_GE(after, 0.8);
  }
}

TEST_F(CliCodecTest, ClearAnswersForBadUse) {
  auto r = run("loopback --mic " + path("missing.wav") + " --speaker " + path("x.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot read microphone file"), std::string::npos) << r.output;

  r = run("loopback --mic " + dir.string() + " --speaker " + path("x.wav"));
  EXPECT_EQ(r.status, 1) << r.output;

  std::ofstream(path("notasound.wav")) << "this is not audio";
  r = run("loopback --mic " + path("notasound.wav") + " --speaker " + path("x.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot decode"), std::string::npos) << r.output;

  r = run("play-wire " + path("missing.wire") + " --speaker " + path("x.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot read wire file"), std::string::npos) << r.output;

  r = run("loopback --mic " + speech + " --speakers " + path("x.wav"));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("unknown option --speakers"), std::string::npos) << r.output;

  // The run command shares these checks and their messages.
  r = run("run --mic " + path("missing.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot read microphone file"), std::string::npos) << r.output;
  r = run("run --mic " + speech + " --speaker " + path("no/such/dir/x.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot write speaker file"), std::string::npos) << r.output;
  r = run("run stray");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("unexpected argument 'stray' (try run --help)"), std::string::npos)
      << r.output;

  // Without the "beep" the loopback and the wire player have no voice chain.
  fs::create_directories(dir / "nosounds");
  const char* sounds = std::getenv("QUR_WTALKIE_SOUNDS");
  const std::string previousSounds = sounds ? sounds : "";
  setenv("QUR_WTALKIE_SOUNDS", path("nosounds").c_str(), 1);
  for (const std::string& command : {"loopback --mic " + speech + " --speaker " + path("x.wav"),
                                     "play-wire " + speech + " --speaker " + path("x.wav")}) {
    r = run(command);
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.output.find("could not set up the voice chain"), std::string::npos) << r.output;
  }
  if (sounds) {
    setenv("QUR_WTALKIE_SOUNDS", previousSounds.c_str(), 1);
  } else {
    unsetenv("QUR_WTALKIE_SOUNDS");
  }

  r = run("record");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("unknown command"), std::string::npos) << r.output;

  r = run("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("play-wire"), std::string::npos);
  r = run("loopback --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("--wire"), std::string::npos);
}

}  // namespace
