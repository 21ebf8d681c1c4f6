// The receive buffer of one remote talker on the audio thread: packets
// ordered by their counter and played by the output clock, not by arrivals.
//
// Its target delay follows the measured jitter of arrivals (the 95th
// percentile of how much later than the fastest packet of the last few
// seconds each packet came, plus one frame), between a floor of one frame
// (two for 60 ms packets) and a ceiling. The player asks it what to play
// whenever it needs the next frame and says when that frame will be heard;
// the buffer answers with the next packet, a concealment (a packet missing
// or none there yet), a frame rebuilt from the next packet's redundancy, or
// a session sound. Above target it catches up: quiet frames are dropped,
// speech is shortened by a few percent, and a backlog beyond the hard limit
// is skipped, so a stall never delays what follows for long.
//
// Threads: everything but construction and statistics() runs on the audio
// thread, allocation- and lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/audio_types.h"
#include "audio/opus_packet.h"

namespace qur {

// Counts since creation and the latest figures; any thread.
struct PlayoutStatistics {
  std::uint64_t received = 0;        // audio packets taken in
  std::uint64_t played = 0;          // decoded and heard in their turn
  std::uint64_t lost = 0;            // turns passed without their packet
  std::uint64_t recoveredByFec = 0;  // of those, rebuilt from the next packet
  std::uint64_t concealed = 0;       // frames made up (lost packets and dry spells)
  std::uint64_t late = 0;            // came after their turn had passed
  std::uint64_t duplicates = 0;
  std::uint64_t dropped = 0;    // received but skipped to catch up
  std::uint64_t shortened = 0;  // speech frames shortened to catch up
  double jitterMeanMs = 0;
  double jitterP95Ms = 0;
  double targetMs = 0;
  double delayMs = 0;  // how long the frame played last waited beyond the fastest packet
};

enum class PlayoutAction {
  Wait,        // nothing to play yet: silence until the next cycle
  StartSound,  // play sound: a transmission begins
  EndSound,    // play sound, then start afresh (converter and codec)
  Decode,      // decode packet
  DecodeFec,   // rebuild the missing frame from the redundancy in packet
  Conceal,     // make up one frame (loss concealment)
  Silence,     // one frame of silence: concealment has run its course
};

struct PlayoutStep {
  PlayoutAction action = PlayoutAction::Wait;
  const OpusPacket* packet = nullptr;
  const AudioBufferList* sound = nullptr;
  std::uint32_t frames = 0;  // samples per channel at 48 kHz the step stands for
  // Over target: a quiet frame may be dropped, and speech shortened by at
  // most this many samples per channel.
  bool dropIfQuiet = false;
  std::uint32_t maxShortening = 0;
};

struct PlayoutOutcome {
  bool quiet = false;         // the frame was (near) silence
  bool dropped = false;       // not played at all
  std::uint32_t removed = 0;  // samples per channel cut out
};

class PlayoutBuffer {
 public:
  static constexpr int kSlotCount = 64;
  // Larger packets are refused: 60 ms at Opus's top bitrate fits, and our
  // senders stay below 614 bytes.
  static constexpr std::uint32_t kSlotDataBytes = 4000;
  // Arrivals the jitter figures look back over (2.56 s of 20 ms packets).
  static constexpr int kWindow = 128;
  static constexpr double kDefaultCeilingSeconds = 0.4;
  static constexpr int kMaxSessions = 4;
  // Concealment fades out within this many frames; later ones are silence.
  static constexpr int kMaxConcealedInARow = 5;

  explicit PlayoutBuffer(double ceilingSeconds = kDefaultCeilingSeconds);
  ~PlayoutBuffer();
  PlayoutBuffer(const PlayoutBuffer&) = delete;
  PlayoutBuffer& operator=(const PlayoutBuffer&) = delete;

  // Audio thread. Takes a copy of an audio packet (stamped with its arrival
  // time) or a session signal, both stamped with the receiver's session count.
  void insert(const OpusPacket* packet);
  // Audio thread. What to play next, whose first sample will be heard at
  // playTime (host nanoseconds). Every step but Wait must be answered with
  // completed() before the next call; the packet stays valid until then.
  PlayoutStep next(std::uint64_t playTime);
  void completed(const PlayoutStep& step, const PlayoutOutcome& outcome);

  // Audio thread: nothing held and no session under way.
  bool isIdle() const { return _sessionCount == 0; }
  // Any thread.
  PlayoutStatistics statistics() const;
  double ceilingSeconds() const { return _ceiling; }

 private:
  struct Session {
    std::uint32_t id = 0;
    const AudioBufferList* startSound = nullptr;
    const AudioBufferList* endSound = nullptr;
    bool startPending = false;
    bool ended = false;
    bool begun = false;
    std::uint32_t nextNumber = 0;
    std::uint32_t frameSamples = 0;  // 0 until its first packet
    bool haveBase = false;
    std::int64_t base = 0;  // least (arrival - media time) of the window, ns
    int concealedInARow = 0;
  };
  struct Sample {
    std::int64_t relative = 0;  // arrival - media time, ns
    std::uint32_t session = 0;
    bool counted = false;  // part of the jitter figures (not an outage burst)
    float jitterMs = 0;
  };

  Session* findSession(std::uint32_t id);
  Session* addSession(std::uint32_t id);
  void popSession();
  void insertAudio(const OpusPacket* packet);
  void estimate(Session& session, std::uint32_t number, std::uint64_t arrival);
  int findSlot(std::uint32_t session, std::uint32_t number) const;
  // The held packet of the session with the lowest number at or above `from`.
  int lowestSlot(std::uint32_t session, std::uint32_t from) const;
  void releaseSlot(int slot);
  void releaseSession(std::uint32_t session);
  std::int64_t frameNanoseconds(const Session& session) const;
  double delaySeconds(const Session& session, std::uint32_t number, std::uint64_t playTime) const;
  double floorSeconds(const Session& session) const;
  void publishTarget(double target);
  void count(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  const double _ceiling;
  OpusPacket* _slots[kSlotCount] = {};
  bool _slotUsed[kSlotCount] = {};
  int _pendingSlot = -1;
  Session _sessions[kMaxSessions];
  int _sessionHead = 0;
  int _sessionCount = 0;
  bool _haveNewest = false;
  std::uint32_t _newestSession = 0;

  Sample _samples[kWindow];
  int _sampleCount = 0;
  int _sampleNext = 0;
  float _scratch[kWindow] = {};
  std::uint64_t _lastBurstArrival = 0;
  // Stands in for the arrival time of a packet nobody stamped.
  std::uint64_t _lastPlayTime = 0;
  double _jitterP95 = 0;  // seconds
  std::uint32_t _lastFrameSamples = 960;
  double _target = 0;
  bool _lastQuiet = true;
  // Samples per channel that catching up may still cut from speech.
  double _shorteningCredit = 0;

  // Statistics, written on the audio thread only.
  std::atomic<std::uint64_t> _received{0}, _played{0}, _lost{0}, _recovered{0}, _concealed{0},
      _late{0}, _duplicates{0}, _dropped{0}, _shortened{0};
  std::atomic<std::int32_t> _jitterMeanUs{0}, _jitterP95Us{0}, _targetUs{0}, _delayUs{0};
};

}  // namespace qur
