// Two walkie-talkies in one process, connected over loopback TCP with
// virtual audio in real time, talking in turns for ten minutes (or
// --minutes N). Prints the wire messages each sent and the other received
// (equal while connected), what the receivers' playout buffers concealed,
// and how much resident memory grew after the first minute. With --loss PCT
// (root) the process first moves into a network namespace of its own, whose
// loopback then loses that share of TCP packets.
#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "app/opus_stream_receiver.h"
#include "app/walkie_talkie_controller.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/virtual_device.h"
#include "audio/opus_decoder.h"
#include "audio/run_loop_thread.h"
#include "log/log.h"
#include "peers/peer_session.h"
#include "peers/session_controller.h"
#include "signals/main_queue.h"
#include "support/link_impairment.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Bytes handed out by malloc in all arenas: separates a leak from the
// allocator keeping freed memory.
long heapInUseKiB() {
  return long(mallinfo2().uordblks / 1024);
}

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Device {
  std::shared_ptr<qur::AudioEngine> engine;
  std::shared_ptr<qur::WalkieTalkieController> controller;
};

Device makeDevice(const char* name, double hz) {
  qur::VirtualDeviceOptions options;
  options.input = qur::VirtualDeviceOptions::Input::Tone;
  options.toneFrequency = hz;
  options.toneAmplitude = 0.3;
  Device device;
  device.engine = std::make_shared<qur::AudioEngine>(
      qur::AudioEngine::interleaved16BitStereoAudioDescription(), true, false,
      std::make_unique<qur::VirtualDevice>(options));
  device.controller = qur::WalkieTalkieController::create(device.engine, name);
  if (!device.controller || !device.engine->start()) {
    std::fprintf(stderr, "soak: could not set up %s\n", name);
    std::exit(1);
  }
  return device;
}

std::shared_ptr<qur::WalkieTalkiePeer> peerOf(const Device& at, const Device& other) {
  const auto table = at.controller->connectedPeers();
  const auto it = table->find(other.controller->multipeerController()->session()->myPeerID());
  return it == table->end() ? nullptr : it->second;
}

std::uint64_t received(const std::shared_ptr<qur::WalkieTalkiePeer>& peer) {
  const auto& receiver = peer->streamReceiver();
  return receiver->audioPacketsReceived() + receiver->transmissionsStarted() +
         receiver->transmissionsStopped();
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  std::string loss;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--loss") == 0 && i + 1 < argc) {
      loss = argv[++i];
    } else {
      std::fprintf(stderr, "usage: qur_soak [--minutes N] [--loss PCT]\n");
      return 2;
    }
  }
  std::unique_ptr<qur::testing::LinkImpairment> netem;
  if (!loss.empty()) {
    // A loopback of our own: the loss touches nobody else's traffic.
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
      std::fprintf(stderr, "soak: --loss needs root (a network namespace of its own)\n");
      return 1;
    }
    netem = std::make_unique<qur::testing::LinkImpairment>(
        "", "lo", std::vector<std::string>{"--loss", loss});
    if (!netem->ok()) {
      std::fprintf(stderr, "soak: cannot impair the loopback (iptables-nft, NFQUEUE)\n");
      return 1;
    }
  }
  auto loop = std::make_shared<qur::MainLoop>();
  qur::setMainQueue(loop);
  qur::addLogger(std::make_shared<qur::ConsoleLogger>());
  qur::RunLoopThread::sharedInstance()->start();

  Device a = makeDevice("soak-a", 440);
  Device b = makeDevice("soak-b", 660);
  auto sessionA = a.controller->multipeerController()->session();
  auto sessionB = b.controller->multipeerController()->session();
  sessionB->setInvitationHandler(qur::acceptAllInvitations());
  sessionA->invitePeer({"127.0.0.1", sessionB->port()}, sessionB->myPeerID());
  if (!loop->runUntil([&] { return peerOf(a, b) && peerOf(b, a); }, 10s)) {
    std::fprintf(stderr, "soak: the devices did not connect\n");
    return 1;
  }
  loop->runFor(500ms);

  const auto start = Clock::now();
  const auto total = std::chrono::duration<double>(minutes * 60);
  // The baseline is taken once allocations of the first turns have settled.
  const auto baselineAt = std::min<std::chrono::duration<double>>(60s, total / 3);
  long baseline = 0;
  long heapBaseline = 0;
  int turns = 0;
  bool disconnected = false;
  while (Clock::now() - start < total) {
    Device& talker = turns % 2 == 0 ? a : b;
    talker.controller->startTransmission();
    loop->runFor(4s);
    talker.controller->endTransmission();
    loop->runFor(1s);
    ++turns;
    if (!a.controller->isConnected() || !b.controller->isConnected()) {
      disconnected = true;
      break;
    }
    if (!baseline && Clock::now() - start >= baselineAt) {
      baseline = residentKiB();
      heapBaseline = heapInUseKiB();
    }
  }
  loop->runFor(1s);
  const long final = residentKiB();
  const long heapFinal = heapInUseKiB();
  if (!baseline) {
    baseline = final;
    heapBaseline = heapFinal;
  }

  const auto atB = peerOf(b, a), atA = peerOf(a, b);
  const std::uint64_t sentA = a.controller->messagesSent(), sentB = b.controller->messagesSent();
  const std::uint64_t gotB = atB ? received(atB) : 0, gotA = atA ? received(atA) : 0;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("soak: %.1f min, %d turns%s\n", seconds / 60, turns,
              disconnected ? " (stopped: a peer disconnected)" : "");
  std::printf("  a -> b: %llu wire messages sent, %llu received\n", (unsigned long long)sentA,
              (unsigned long long)gotB);
  std::printf("  b -> a: %llu wire messages sent, %llu received\n", (unsigned long long)sentB,
              (unsigned long long)gotA);
  for (const auto& [label, peer] : {std::pair{"b hearing a", atB}, std::pair{"a hearing b", atA}}) {
    if (!peer) continue;
    const auto stats = peer->decoder()->playoutStatistics();
    std::printf(
        "  %s: %llu played, %llu lost (%llu rebuilt from redundancy), %llu frames concealed, "
        "%llu late, %llu dropped to catch up; jitter %.1f/%.1f ms, target %.0f ms\n",
        label, (unsigned long long)stats.played, (unsigned long long)stats.lost,
        (unsigned long long)stats.recoveredByFec, (unsigned long long)stats.concealed,
        (unsigned long long)stats.late, (unsigned long long)stats.dropped, stats.jitterMeanMs,
        stats.jitterP95Ms, stats.targetMs);
  }
  std::printf(
      "  resident memory: %ld KiB after %.0f s, %ld KiB at the end: %+ld KiB (target: "
      "under 1024)\n",
      baseline, std::chrono::duration<double>(baselineAt).count(), final, final - baseline);
  std::printf("  heap in use: %ld KiB after %.0f s, %ld KiB at the end: %+ld KiB\n", heapBaseline,
              std::chrono::duration<double>(baselineAt).count(), heapFinal,
              heapFinal - heapBaseline);
  const bool ok = !disconnected && sentA == gotB && sentB == gotA && final - baseline < 1024;
  std::printf("  %s\n", ok ? "OK" : "FAILED");
  a.controller->multipeerController()->disconnect();
  loop->runFor(300ms);
  return ok ? 0 : 1;
}
