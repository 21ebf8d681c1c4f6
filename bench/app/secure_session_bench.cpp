// What TLS costs the walkie-talkie, beside the same chain over clear TCP in
// the same run: two devices in one process (virtual audio in real time, a
// tone as microphone) connect over loopback, then one talks. Printed per
// mode: invite -> connected on both sides, and process CPU per second of
// voice (encoder, session, decoder, mixing of both devices, as a call runs),
// with the idle CPU of the connected pair beside it. Rounds alternate the
// modes so a busy machine hurts both alike; each figure is the median.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/run_loop_thread.h"
#include "log/log.h"
#include "peers/peer_session.h"
#include "peers/session_controller.h"
#include "signals/main_queue.h"
#include "support/plain_sessions.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTalk = 4s;
constexpr auto kIdle = 2s;

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct Device {
  std::shared_ptr<qur::AudioEngine> engine;
  std::shared_ptr<qur::WalkieTalkieController> controller;
  ~Device() {
    controller.reset();
    if (engine) engine->stop();
  }
};

std::unique_ptr<Device> makeDevice(const std::string& name, double hz) {
  qur::VirtualDeviceOptions options;
  options.input = qur::VirtualDeviceOptions::Input::Tone;
  options.toneFrequency = hz;
  options.toneAmplitude = 0.3;
  auto device = std::make_unique<Device>();
  device->engine = std::make_shared<qur::AudioEngine>(
      qur::AudioEngine::interleaved16BitStereoAudioDescription(), true, false,
      std::make_unique<qur::VirtualDevice>(options));
  device->controller = qur::WalkieTalkieController::create(device->engine, name);
  if (!device->controller || !device->engine->start()) return nullptr;
  return device;
}

bool sees(const Device& at, const Device& other) {
  const auto table = at.controller->connectedPeers();
  return table->count(other.controller->multipeerController()->session()->myPeerID()) > 0;
}

struct Mode {
  const char* name;
  bool plain;
  std::vector<double> connectMs;
  std::vector<double> talkCpu;  // CPU seconds per second of voice
  std::vector<double> idleCpu;  // CPU seconds per second, connected and quiet
  std::uint64_t sent = 0;
};

// One pair in the mode: connect, stay quiet, talk, part.
bool round(qur::MainLoop& loop, Mode& mode, int index) {
  qur::peers::testing::setPlainSessions(mode.plain);
  const std::string suffix = std::to_string(getpid()) + "-" + std::to_string(index);
  auto a = makeDevice("bench-tls-a-" + suffix, 440);
  auto b = makeDevice("bench-tls-b-" + suffix, 660);
  qur::peers::testing::setPlainSessions(false);
  if (!a || !b) {
    std::fprintf(stderr, "secure session bench: could not set up the devices\n");
    return false;
  }
  auto sessionA = a->controller->multipeerController()->session();
  auto sessionB = b->controller->multipeerController()->session();
  sessionB->setInvitationHandler(qur::acceptAllInvitations());
  loop.runFor(200ms);

  const auto invited = Clock::now();
  sessionA->invitePeer({"127.0.0.1", sessionB->port()}, sessionB->myPeerID());
  if (!loop.runUntil([&] { return sees(*a, *b) && sees(*b, *a); }, 10s)) {
    std::fprintf(stderr, "secure session bench: the devices did not connect (%s)\n", mode.name);
    return false;
  }
  mode.connectMs.push_back(
      std::chrono::duration<double, std::milli>(Clock::now() - invited).count());
  loop.runFor(300ms);

  double cpu = cpuSeconds();
  auto start = Clock::now();
  loop.runFor(kIdle);
  mode.idleCpu.push_back((cpuSeconds() - cpu) /
                         std::chrono::duration<double>(Clock::now() - start).count());

  const auto sentBefore = a->controller->messagesSent();
  cpu = cpuSeconds();
  start = Clock::now();
  a->controller->startTransmission();
  loop.runFor(kTalk);
  a->controller->endTransmission();
  mode.talkCpu.push_back((cpuSeconds() - cpu) /
                         std::chrono::duration<double>(Clock::now() - start).count());
  mode.sent += a->controller->messagesSent() - sentBefore;
  loop.runFor(300ms);
  a->controller->multipeerController()->disconnect();
  loop.runFor(300ms);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: qur_bench_secure_session [--rounds N]\n");
      return 2;
    }
  }
  auto loop = std::make_shared<qur::MainLoop>();
  qur::setMainQueue(loop);
  qur::setLogLevel(qur::LogLevelError);
  qur::addLogger(std::make_shared<qur::ConsoleLogger>());
  qur::RunLoopThread::sharedInstance()->start();

  Mode plain{"clear TCP (baseline)", true, {}, {}, {}};
  Mode tls{"TLS 1.3", false, {}, {}, {}};
  for (int i = 0; i < rounds; ++i) {
    // Alternate which goes first so neither always meets a warmer machine.
    Mode& first = i % 2 ? tls : plain;
    Mode& second = i % 2 ? plain : tls;
    if (!round(*loop, first, 2 * i) || !round(*loop, second, 2 * i + 1)) return 1;
  }

  std::printf("two devices on loopback, %d rounds per mode, medians; %.0f s of voice a round\n",
              rounds, std::chrono::duration<double>(kTalk).count());
  for (const Mode* mode : {&plain, &tls}) {
    std::printf(
        "%-22s invite->connected %7.2f ms  CPU per voice second %6.1f ms (idle %6.1f ms)  "
        "messages sent %llu\n",
        mode->name, median(mode->connectMs), 1000 * median(mode->talkCpu),
        1000 * median(mode->idleCpu), static_cast<unsigned long long>(mode->sent));
  }
  const double talkRatio = median(tls.talkCpu) / median(plain.talkCpu);
  const double netPlain = median(plain.talkCpu) - median(plain.idleCpu);
  const double netTls = median(tls.talkCpu) - median(tls.idleCpu);
  std::printf("CPU per voice second, TLS / clear: %.3f (target: at most 1.10)\n", talkRatio);
  if (netPlain > 0) {
    std::printf("  talking minus idle, TLS / clear: %.3f\n", netTls / netPlain);
  }
  std::printf("invite->connected, TLS - clear: %+.2f ms (target: at most +20 ms)\n",
              median(tls.connectMs) - median(plain.connectMs));
  return 0;
}
