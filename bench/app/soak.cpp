// Two walkie-talkies in one process, connected over loopback TCP with
// virtual audio in real time, talking in turns for ten minutes (or
// --minutes N). Prints the wire messages each sent and the other received
// (equal while connected), the receivers' underflows (dropouts), and how
// much resident memory grew after the first minute.
#include <malloc.h>
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
#include "audio/run_loop_thread.h"
#include "log/log.h"
#include "peers/peer_session.h"
#include "peers/session_controller.h"
#include "signals/main_queue.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class UnderflowCounter : public qur::Logger {
 public:
  void logMessage(const qur::LogMessage& message) override {
    if (message.message.find("Buffer underflow") != std::string::npos) ++_count;
  }
  int count() const { return _count; }

 private:
  std::atomic<int> _count{0};
};

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
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: qur_soak [--minutes N]\n");
      return 2;
    }
  }
  auto loop = std::make_shared<qur::MainLoop>();
  qur::setMainQueue(loop);
  auto underflows = std::make_shared<UnderflowCounter>();
  qur::addLogger(underflows);
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
  std::printf("  dropouts (receiver underflows): %d\n", underflows->count());
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
