// Several walkie-talkies as real processes (`qur-wtalkie-cli run`), each in
// its own network namespace with virtual audio: microphone files in,
// speaker recordings out, JSON events on standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/recording_analysis.h"
#include "support/child_process.h"
#include "support/e2e_support.h"
#include "support/json_field.h"
#include "support/link_impairment.h"
#include "support/netns.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::isEvent;
using testing::jsonField;
using testing::NetnsLab;
using testing::wavSizesComplete;

long long timeMs(const std::string& line) {
  return std::atoll(jsonField(line, "time_ms")->c_str());
}

struct TestFiles {
  std::filesystem::path dir;
  std::string speech;
  TestFiles() {
    char pattern[] = "/tmp/qur-e2e-XXXXXX";
    dir = mkdtemp(pattern);
    speech = (dir / "speech.wav").string();
    // A synthesized phrase followed by a short pause, so the looped
    // microphone has a recognisable shape.
    const std::string raw = (dir / "raw.wav").string();
    std::system(("espeak-ng -s 150 -w " + raw +
                 " 'Hello from the first device, can you hear me clearly' && sox " + raw +
                 " -r 44100 -c 2 " + speech + " pad 0 0.4")
                    .c_str());
  }
  ~TestFiles() { std::filesystem::remove_all(dir); }
  std::string path(const std::string& name) const { return (dir / name).string(); }
  std::string tone(const std::string& name, int hz, double seconds) const {
    const std::string file = path(name);
    std::system(("sox -n -r 44100 -c 2 -b 16 " + file + " synth " + std::to_string(seconds) +
                 " sine " + std::to_string(hz) + " vol 0.4")
                    .c_str());
    return file;
  }
};

class Device {
 public:
  Device(const NetnsLab& lab, int host, std::string name, const std::string& mic,
         std::string speaker, const std::string& accept,
         const std::vector<std::string>& options = {})
      : _name(std::move(name)), _speaker(std::move(speaker)) {
    std::vector<std::string> argv = {QUR_CLI_PATH, "run",  "--name",      _name,
                                     "--mic",      mic,    "--speaker",   _speaker,
                                     "--accept",   accept, "--interface", NetnsLab::kInterface,
                                     "--events",   "json"};
    argv.insert(argv.end(), options.begin(), options.end());
    _process = lab.spawn(host, argv);
  }

  // The first matching event not returned before, whether it arrived
  // already or arrives within the timeout.
  std::optional<std::string> wait(const std::string& event,
                                  const std::optional<std::string>& peer = std::nullopt,
                                  const std::optional<std::string>& value = std::nullopt,
                                  std::chrono::milliseconds timeout = 20s) {
    auto unused = [&](std::size_t i) {
      return !_used.count(i) && isEvent(_process->lines()[i], event, peer, value);
    };
    for (std::size_t i = _mark; i < _process->lines().size(); ++i) {
      if (unused(i)) {
        _used.insert(i);
        return _process->lines()[i];
      }
    }
    auto line = _process->waitForLine(
        [&](const std::string& l) { return isEvent(l, event, peer, value); }, timeout);
    if (line) _used.insert(_process->lines().size() - 1);
    return line;
  }
  bool sawEvent(const std::string& event, const std::optional<std::string>& value = std::nullopt,
                const std::optional<std::string>& peer = std::nullopt) const {
    for (const auto& line : _process->lines())
      if (isEvent(line, event, peer, value)) return true;
    return false;
  }
  // Reads what has arrived so far without waiting for anything in particular.
  void pump(std::chrono::milliseconds duration) {
    _process->waitForLine([](const std::string&) { return false; }, duration);
  }
  void send(const std::string& command) { _process->writeLine(command); }
  int quit() { return _process->quit(15s); }
  // As a script with a pipe it keeps open does it.
  int quitWithInputOpen() {
    send("quit");
    return _process->waitForExit(15s);
  }
  // Later waits look only at events from here on.
  void mark() { _mark = _process->lines().size(); }
  // Until the latest "connected" event says true.
  bool waitConnected(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::optional<std::string> last;
      for (const auto& line : _process->lines())
        if (isEvent(line, "connected")) last = line;
      if (last && jsonField(*last, "value") == "true") return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      pump(100ms);
    }
  }
  ChildProcess& process() { return *_process; }
  // The latest events, for failure messages.
  std::string tail(std::size_t count = 12) const {
    const auto& lines = _process->lines();
    std::string out = "\n--- last events of " + _name + ":\n";
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
      out += lines[i] + "\n";
    return out;
  }
  const std::string& name() const { return _name; }
  const std::string& speaker() const { return _speaker; }

 private:
  std::string _name;
  std::string _speaker;
  std::unique_ptr<ChildProcess> _process;
  std::set<std::size_t> _used;
  std::size_t _mark = 0;
};

// A invites B (found through discovery), B accepts when asked.
void connect(Device& a, Device& b) {
  if (!a.sawEvent("peer_found", std::nullopt, b.name())) {
    ASSERT_TRUE(a.wait("peer_found", b.name(), std::nullopt, 20s))
        << a.name() << " never saw " << b.name();
  }
  a.send("invite " + b.name());
  if (b.wait("invitation", a.name(), std::nullopt, 10s)) b.send("accept");
  ASSERT_TRUE(b.wait("peer_connected", a.name(), std::nullopt, 10s));
  ASSERT_TRUE(a.wait("peer_connected", b.name(), std::nullopt, 10s));
  // Transmissions are refused until the controller reports itself connected.
  ASSERT_TRUE(a.waitConnected());
  ASSERT_TRUE(b.waitConnected());
}

AnalysisSignal load(const std::string& path) {
  auto signal = loadAnalysisSignal(path);
  EXPECT_TRUE(signal) << path;
  return signal ? *signal : AnalysisSignal{};
}

AnalysisSignal beepSound() {
  return load(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
}

// Power of one frequency in a stretch of the signal (Goertzel), per sample.
double tonePower(const AnalysisSignal& signal, double hz) {
  const double w = 2 * M_PI * hz / AnalysisSignal::kSampleRate;
  double s1 = 0, s2 = 0;
  for (float x : signal.samples) {
    const double s = x + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
  return signal.samples.empty() ? 0 : power / double(signal.samples.size() * signal.samples.size());
}

class WalkieTalkieEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
    NetnsLab::removeStale("qure");
  }
  TestFiles files;
};

TEST_F(WalkieTalkieEndToEnd, SpeechReachesTheInvitedPeerBetweenItsSessionSounds) {
  NetnsLab lab(2, "qure");
  ASSERT_TRUE(lab.ok());
  const std::string silence = files.tone("silence.wav", 0, 1.0);
  Device a(lab, 0, "alpha", files.speech, files.path("alpha.wav"), "never");
  Device b(lab, 1, "bravo", silence, files.path("bravo.wav"), "ask");
  connect(a, b);

  a.mark();
  b.mark();
  a.send("talk 3.5");
  auto aOn = a.wait("transmitting", std::nullopt, "true");
  auto aOff = a.wait("transmitting", std::nullopt, "false", 10s);
  ASSERT_TRUE(aOn && aOff);
  auto bOn = b.wait("peer_talking", "alpha", "true");
  auto bOff = b.wait("peer_talking", "alpha", "false", 10s);
  ASSERT_TRUE(bOn && bOff);
  // The status messages travel ahead of the audio: B learns of the start and
  // end within the network delay, not after the reserve plays out.
  EXPECT_GE(timeMs(*bOn), timeMs(*aOn) - 5);
  EXPECT_LT(timeMs(*bOn) - timeMs(*aOn), 500);
  EXPECT_GE(timeMs(*bOff), timeMs(*aOff) - 5);
  EXPECT_LT(timeMs(*bOff) - timeMs(*aOff), 1000);
  EXPECT_NEAR(double(timeMs(*bOff) - timeMs(*bOn)) / 1000.0, 3.5, 0.5);

  b.pump(1500ms);
  EXPECT_EQ(b.quitWithInputOpen(), 0);
  EXPECT_EQ(a.quit(), 0);
  EXPECT_TRUE(wavSizesComplete(b.speaker())) << b.speaker();

  const AnalysisSignal heard = load(b.speaker());
  const HeardReport report = analyseTransmission(heard, beepSound());
  ASSERT_TRUE(report.startSound) << "no start sound in " << b.speaker();
  ASSERT_TRUE(report.endSound) << "no end sound in " << b.speaker();
  EXPECT_TRUE(report.inOrder()) << "start " << *report.startSound << " voice " << report.voiceStart
                                << "-" << report.voiceEnd << " end " << *report.endSound;
  EXPECT_NEAR(report.voiceLength(), 3.5, 0.6);
  const auto comparison =
      compareVoice(slice(heard, report.voiceStart, report.voiceEnd), load(files.speech));
  std::printf(
      "bravo heard: start sound %.2f s, voice %.2f s, end sound %.2f s; envelope "
      "correlation %.3f, longest dropout %.0f ms\n",
      *report.startSound, report.voiceLength(), *report.endSound, comparison.envelopeCorrelation,
      comparison.longestDropout * 1000);
  EXPECT_GE(comparison.envelopeCorrelation, 0.8);
  EXPECT_LE(comparison.longestDropout, 0.020);
}

TEST_F(WalkieTalkieEndToEnd, ThreeDevicesShareOneSessionAndMixTwoTalkers) {
  NetnsLab lab(3, "qure");
  ASSERT_TRUE(lab.ok());
  // The phrase starts with the talk: its pause never falls where the voice's
  // length is measured.
  Device a(lab, 0, "alpha", files.speech, files.path("alpha.wav"), "never", {"--mic-from-talk"});
  Device b(lab, 1, "bravo", files.tone("b.wav", 500, 2.0), files.path("bravo.wav"), "auto");
  Device c(lab, 2, "charlie", files.tone("c.wav", 1300, 2.0), files.path("charlie.wav"), "auto");
  connect(a, b);
  connect(a, c);
  // Members of one session meet each other too.
  ASSERT_TRUE(b.wait("peer_connected", "charlie", std::nullopt, 15s));
  ASSERT_TRUE(c.wait("peer_connected", "bravo", std::nullopt, 15s));

  a.send("talk 2.5");
  ASSERT_TRUE(b.wait("peer_talking", "alpha", "false", 10s));
  ASSERT_TRUE(c.wait("peer_talking", "alpha", "false", 10s));
  b.pump(1000ms);

  b.send("talk 3");
  c.send("talk 3");
  ASSERT_TRUE(a.wait("peer_talking", "bravo", "true", 5s));
  ASSERT_TRUE(a.wait("peer_talking", "charlie", "true", 5s));
  auto overlapStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(a.wait("peer_talking", "bravo", "false", 10s));
  ASSERT_TRUE(a.wait("peer_talking", "charlie", "false", 10s));
  EXPECT_GT(std::chrono::steady_clock::now() - overlapStart, 2s);
  a.pump(1500ms);

  EXPECT_EQ(c.quit(), 0);
  EXPECT_EQ(b.quit(), 0);
  EXPECT_EQ(a.quit(), 0);

  const AnalysisSignal beep = beepSound();
  for (Device* listener : {&b, &c}) {
    const HeardReport report = analyseTransmission(load(listener->speaker()), beep);
    EXPECT_TRUE(report.inOrder()) << listener->name() << " did not hear alpha's transmission";
    EXPECT_NEAR(report.voiceLength(), 2.5, 0.6) << listener->name();
  }
  // Alpha heard both tones at once: in the middle of the overlap each one
  // stands far above the level of a frequency nobody sent.
  const AnalysisSignal heard = load(a.speaker());
  const HeardReport both = analyseTransmission(heard, beep);
  ASSERT_TRUE(both.startSound);
  const AnalysisSignal middle = slice(heard, *both.startSound + 1.0, *both.startSound + 2.5);
  // 1650 Hz is neither tone nor any of their intermodulation products.
  const double b500 = tonePower(middle, 500), c1300 = tonePower(middle, 1300),
               none = tonePower(middle, 1650);
  std::printf("alpha heard: 500 Hz %.4f, 1300 Hz %.4f, 1650 Hz %.6f\n", b500, c1300, none);
  EXPECT_GT(b500, 100 * none);
  EXPECT_GT(c1300, 100 * none);
}

TEST_F(WalkieTalkieEndToEnd, RefusedWhileAloneAndRecoversFromAPeerKilledMidTransmission) {
  NetnsLab lab(2, "qure");
  ASSERT_TRUE(lab.ok());
  const std::string silence = files.tone("silence.wav", 0, 1.0);
  Device a(lab, 0, "alpha", files.speech, files.path("alpha.wav"), "never");
  auto b = std::make_unique<Device>(lab, 1, "bravo", silence, files.path("bravo.wav"), "auto");
  ASSERT_TRUE(a.wait("ready") && b->wait("ready"));
  ASSERT_TRUE(a.wait("peer_found", "bravo"));

  a.send("talk on");
  ASSERT_TRUE(a.wait("talk_refused", std::nullopt, std::nullopt, 5s));
  a.send("status");
  auto status = a.wait("status");
  ASSERT_TRUE(status);
  EXPECT_EQ(jsonField(*status, "transmitting"), "false");
  EXPECT_FALSE(a.sawEvent("transmitting", "true"));
  b->pump(500ms);
  EXPECT_FALSE(b->sawEvent("peer_talking"));

  connect(a, *b);
  a.mark();
  a.send("talk on");
  ASSERT_TRUE(a.wait("transmitting", std::nullopt, "true"));
  ASSERT_TRUE(b->wait("peer_talking", "alpha", "true"));
  b->pump(800ms);
  b->process().kill(SIGKILL);
  b.reset();

  ASSERT_TRUE(a.wait("peer_disconnected", "bravo", std::nullopt, 15s));
  ASSERT_TRUE(a.wait("connected", std::nullopt, "false", 5s));
  a.send("talk off");
  a.pump(2500ms);

  // A new device in the same place is invited into the renewed session.
  Device b2(lab, 1, "bravo-again", silence, files.path("bravo2.wav"), "auto");
  ASSERT_TRUE(b2.wait("ready"));
  connect(a, b2);
  a.send("talk 1.5");
  ASSERT_TRUE(b2.wait("peer_talking", "alpha", "true", 10s)) << a.tail() << b2.tail();
  ASSERT_TRUE(b2.wait("peer_talking", "alpha", "false", 10s));
  b2.pump(1000ms);
  EXPECT_EQ(b2.quit(), 0);
  EXPECT_EQ(a.quit(), 0);

  const auto hangup = load(std::string(QUR_SOUNDS_DIR) + "/hangup.caf");
  const auto matches = findSound(load(a.speaker()), hangup, 0.7);
  EXPECT_EQ(matches.size(), 1u) << "the hang-up sound should play once";
  const HeardReport again = analyseTransmission(load(b2.speaker()), beepSound());
  ASSERT_TRUE(again.startSound && again.endSound) << "nothing heard in the new session";
  EXPECT_LT(*again.startSound, *again.endSound);
  EXPECT_GT(again.voiceLength(), 0.5) << "voice " << again.voiceStart << "-" << again.voiceEnd;
}

// Over a link that loses 2 % of the talker's TCP segments and delays them
// by 30 +- 20 ms, the listener still hears start sound, voice and end sound,
// the voice whole, and reports the jitter it measured and the buffer it
// keeps for it.
TEST_F(WalkieTalkieEndToEnd, ImpairedLinkStillCarriesTheVoiceAndIsReported) {
  NetnsLab lab(2, "qure");
  ASSERT_TRUE(lab.ok());
  const std::string silence = files.tone("silence.wav", 0, 1.0);
  Device a(lab, 0, "alpha", files.speech, files.path("alpha.wav"), "never");
  Device b(lab, 1, "bravo", silence, files.path("bravo.wav"), "auto");
  connect(a, b);
  testing::LinkImpairment netem(lab.host(0), NetnsLab::kInterface,
                                {"--loss", "2", "--delay", "30", "--jitter", "20", "--seed", "11"});
  ASSERT_TRUE(netem.ok()) << "iptables-nft with NFQUEUE is needed";

  a.send("talk 4");
  ASSERT_TRUE(b.wait("peer_talking", "alpha", "true", 10s));
  ASSERT_TRUE(b.wait("peer_talking", "alpha", "false", 15s));
  b.pump(1500ms);
  b.send("status");
  const auto status = b.wait("status");
  ASSERT_TRUE(status);
  EXPECT_NE(status->find("\"links\":[{\"peer\":\"alpha\""), std::string::npos) << *status;

  std::vector<std::string> links;
  for (const auto& line : b.process().lines()) {
    if (isEvent(line, "link", "alpha")) links.push_back(line);
  }
  ASSERT_GE(links.size(), 4u) << "about once a second and at the end" << b.tail();
  const std::string& last = links.back();
  EXPECT_EQ(jsonField(last, "end"), "true") << last;
  EXPECT_GT(std::atof(jsonField(last, "jitter_p95_ms")->c_str()), 10.0) << last;
  EXPECT_GT(std::atof(jsonField(last, "target_ms")->c_str()), 30.0) << last;
  EXPECT_EQ(b.quitWithInputOpen(), 0);
  EXPECT_EQ(a.quit(), 0);

  const AnalysisSignal heard = load(b.speaker());
  const HeardReport report = analyseTransmission(heard, beepSound());
  ASSERT_TRUE(report.startSound && report.endSound) << b.speaker();
  EXPECT_TRUE(report.inOrder());
  const auto comparison =
      compareVoice(slice(heard, report.voiceStart, report.voiceEnd), load(files.speech));
  std::printf(
      "bravo heard over the impaired link: voice %.2f s, correlation %.3f, longest "
      "dropout %.0f ms\n",
      report.voiceLength(), comparison.envelopeCorrelation, comparison.longestDropout * 1000);
  EXPECT_GE(comparison.envelopeCorrelation, 0.8);
  EXPECT_LE(comparison.longestDropout, 0.060);
}

}  // namespace
}  // namespace qur
