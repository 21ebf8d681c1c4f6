// The playout buffer's audio-thread side: taking packets in, measuring
// their jitter, and deciding frame by frame what is heard.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/opus_packet_redundancy.h"
#include "audio/playout_buffer.h"

namespace qur {

namespace {

constexpr double kSampleRate = 48000.0;
constexpr std::uint32_t kMinFrameSamples = 120;   // 2.5 ms
constexpr std::uint32_t kMaxFrameSamples = 5760;  // 120 ms
// Arrivals this close to an outage's first late packet belong to its burst.
constexpr std::int64_t kBurstNs = 2'000'000;
// The backlog beyond target that is skipped rather than caught up slowly.
constexpr double kHardLimitSeconds = 0.120;
// Shares of speech that catching up may cut: gently just above target,
// faster further away, so that about a second brings it back.
constexpr double kShortening = 0.05;
constexpr double kFastShortening = 0.10;

bool isNewer(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b) > 0;
}

std::int32_t microseconds(double seconds) {
  return std::int32_t(std::lround(std::clamp(seconds, -1000.0, 1000.0) * 1e6));
}

}  // namespace

void PlayoutBuffer::publishTarget(double target) {
  _target = target;
  _targetUs.store(microseconds(target), std::memory_order_relaxed);
}

PlayoutBuffer::Session* PlayoutBuffer::findSession(std::uint32_t id) {
  for (int i = 0; i < _sessionCount; ++i) {
    Session& s = _sessions[(_sessionHead + i) % kMaxSessions];
    if (s.id == id) return &s;
  }
  return nullptr;
}

PlayoutBuffer::Session* PlayoutBuffer::addSession(std::uint32_t id) {
  // Only a sender that opens sessions without ending them gets here.
  if (_sessionCount == kMaxSessions) popSession();
  Session& s = _sessions[(_sessionHead + _sessionCount) % kMaxSessions];
  s = Session{};
  s.id = id;
  ++_sessionCount;
  if (!_haveNewest || isNewer(id, _newestSession)) _newestSession = id;
  _haveNewest = true;
  return &s;
}

void PlayoutBuffer::popSession() {
  if (_sessionCount == 0) return;
  releaseSession(_sessions[_sessionHead].id);
  _sessionHead = (_sessionHead + 1) % kMaxSessions;
  --_sessionCount;
}

int PlayoutBuffer::findSlot(std::uint32_t session, std::uint32_t number) const {
  for (int i = 0; i < kSlotCount; ++i) {
    if (_slotUsed[i] && _slots[i]->sessionNumber == session && _slots[i]->packetNumber == number)
      return i;
  }
  return -1;
}

int PlayoutBuffer::lowestSlot(std::uint32_t session, std::uint32_t from) const {
  int best = -1;
  for (int i = 0; i < kSlotCount; ++i) {
    if (!_slotUsed[i] || _slots[i]->sessionNumber != session) continue;
    const std::uint32_t n = _slots[i]->packetNumber;
    if (n < from) continue;
    if (best < 0 || n < _slots[best]->packetNumber) best = i;
  }
  return best;
}

void PlayoutBuffer::releaseSlot(int slot) {
  if (slot >= 0) _slotUsed[slot] = false;
  if (slot == _pendingSlot) _pendingSlot = -1;
}

void PlayoutBuffer::releaseSession(std::uint32_t session) {
  for (int i = 0; i < kSlotCount; ++i) {
    if (_slotUsed[i] && _slots[i]->sessionNumber == session) releaseSlot(i);
  }
}

std::int64_t PlayoutBuffer::frameNanoseconds(const Session& session) const {
  const std::uint32_t samples = session.frameSamples ? session.frameSamples : _lastFrameSamples;
  return std::int64_t(double(samples) / kSampleRate * 1e9);
}

double PlayoutBuffer::floorSeconds(const Session& session) const {
  const double frame = double(frameNanoseconds(session)) / 1e9;
  // Long packets keep the reserve of two that such senders were built for.
  return frame >= 0.05 ? 2 * frame : frame;
}

double PlayoutBuffer::delaySeconds(const Session& session, std::uint32_t number,
                                   std::uint64_t playTime) const {
  const std::int64_t due = std::int64_t(number) * frameNanoseconds(session) + session.base;
  return double(std::int64_t(playTime) - due) / 1e9;
}

void PlayoutBuffer::insert(const OpusPacket* packet) {
  const std::uint32_t id = packet->sessionNumber;
  Session* session = findSession(id);
  if (packet->kind != OpusPacketKind::Audio) {
    if (!session) {
      // A signal for a session already played out is stale.
      if (_haveNewest && !isNewer(id, _newestSession)) return;
      session = addSession(id);
    }
    if (packet->kind == OpusPacketKind::SessionStart) {
      if (!session->begun && !session->startSound && !session->ended) {
        session->startSound = packet->audioBufferList;
        session->startPending = packet->audioBufferList != nullptr;
      }
    } else if (packet->kind == OpusPacketKind::SessionEnd) {
      session->ended = true;
      session->endSound = packet->audioBufferList;
    }
    return;
  }
  insertAudio(packet);
}

void PlayoutBuffer::insertAudio(const OpusPacket* packet) {
  count(_received);
  const std::uint32_t id = packet->sessionNumber;
  const std::uint32_t number = packet->packetNumber;
  Session* session = findSession(id);
  if (!session) {
    if (_haveNewest && !isNewer(id, _newestSession)) {
      count(_late);
      return;
    }
    session = addSession(id);  // joined during a transmission: no start sound
  }
  if ((session->begun && number < session->nextNumber) || session->ended) {
    count(_late);
    return;
  }
  if (findSlot(id, number) >= 0) {
    count(_duplicates);
    return;
  }
  if (packet->dataLength > kSlotDataBytes) {
    count(_dropped);
    return;
  }
  int free = -1;
  for (int i = 0; i < kSlotCount && free < 0; ++i) {
    if (!_slotUsed[i] && i != _pendingSlot) free = i;
  }
  if (free < 0) {
    // Full: the oldest of the first session is the most stale.
    free = lowestSlot(_sessions[_sessionHead].id, 0);
    if (free < 0 || free == _pendingSlot) {
      count(_dropped);
      return;
    }
    releaseSlot(free);
    count(_dropped);
  }
  std::memcpy(_slots[free], packet, opusPacketSize(packet));
  _slotUsed[free] = true;
  if (session->frameSamples == 0) {
    session->frameSamples = std::clamp(packet->frameCount, kMinFrameSamples, kMaxFrameSamples);
    _lastFrameSamples = session->frameSamples;
  }
  estimate(*session, number, packet->arrivalTime ? packet->arrivalTime : _lastPlayTime);
}

void PlayoutBuffer::estimate(Session& session, std::uint32_t number, std::uint64_t arrival) {
  const std::int64_t relative =
      std::int64_t(arrival) - std::int64_t(number) * frameNanoseconds(session);
  Sample& sample = _samples[_sampleNext];
  sample.relative = relative;
  sample.session = session.id;
  _sampleNext = (_sampleNext + 1) % kWindow;
  _sampleCount = std::min(_sampleCount + 1, kWindow);

  // The fastest packet of the window: what an unhurried network delivers.
  std::int64_t base = relative;
  for (int i = 0; i < _sampleCount; ++i) {
    if (_samples[i].session == session.id) base = std::min(base, _samples[i].relative);
  }
  session.base = base;
  session.haveBase = true;

  // An outage is not jitter: the packets it held back come in one burst and
  // would otherwise lift the target to the ceiling for seconds.
  const double jitter = double(relative - base) / 1e9;
  const bool burst = _lastBurstArrival != 0 &&
                     std::int64_t(arrival - _lastBurstArrival) < kBurstNs &&
                     std::int64_t(arrival - _lastBurstArrival) >= 0;
  sample.counted = !(jitter > _ceiling || burst);
  sample.jitterMs = float(jitter * 1000.0);
  if (!sample.counted) _lastBurstArrival = arrival;

  int n = 0;
  double sum = 0;
  for (int i = 0; i < _sampleCount; ++i) {
    if (!_samples[i].counted) continue;
    _scratch[n++] = _samples[i].jitterMs;
    sum += _samples[i].jitterMs;
  }
  if (n == 0) return;
  const int k = std::max(0, int(std::ceil(0.95 * n)) - 1);
  std::nth_element(_scratch, _scratch + k, _scratch + n);
  _jitterP95 = _scratch[k] / 1000.0;
  _jitterMeanUs.store(microseconds(sum / n / 1000.0), std::memory_order_relaxed);
  _jitterP95Us.store(microseconds(_jitterP95), std::memory_order_relaxed);
  const double frame = double(frameNanoseconds(session)) / 1e9;
  publishTarget(std::clamp(_jitterP95 + frame, floorSeconds(session), _ceiling));
}

PlayoutStep PlayoutBuffer::next(std::uint64_t playTime) {
  if (_pendingSlot >= 0) releaseSlot(_pendingSlot);
  _lastPlayTime = playTime;
  bool skipping = false;
  // Each pass either returns or skips one packet number: bounded.
  for (int pass = 0; pass < 4 * kSlotCount; ++pass) {
    if (_sessionCount == 0) return {};
    Session& s = _sessions[_sessionHead];
    if (s.startPending) {
      s.startPending = false;
      PlayoutStep step;
      step.action = PlayoutAction::StartSound;
      step.sound = s.startSound;
      return step;
    }
    auto endSession = [&] {
      PlayoutStep step;
      step.action = PlayoutAction::EndSound;
      step.sound = s.endSound;
      popSession();
      return step;
    };
    if (!s.begun) {
      const int first = lowestSlot(s.id, 0);
      if (first < 0) return s.ended ? endSession() : PlayoutStep{};
      const std::uint32_t number = _slots[first]->packetNumber;
      // The first packet waits until the buffer holds its target.
      if (!s.ended && delaySeconds(s, number, playTime) < _target) return {};
      s.begun = true;
      s.nextNumber = number;
    }
    const std::uint32_t frameSamples = s.frameSamples ? s.frameSamples : _lastFrameSamples;
    const double frame = double(frameSamples) / kSampleRate;
    const double margin = std::max(frame / 2, 0.010);
    const double hardLimit = std::max(kHardLimitSeconds, 2 * frame);
    auto conceal = [&](bool advance) {
      PlayoutStep step;
      step.frames = frameSamples;
      if (advance) ++s.nextNumber;
      if (++s.concealedInARow > kMaxConcealedInARow) {
        step.action = PlayoutAction::Silence;
      } else {
        step.action = PlayoutAction::Conceal;
        count(_concealed);
      }
      return step;
    };

    const int slot = findSlot(s.id, s.nextNumber);
    const int later = slot < 0 ? lowestSlot(s.id, s.nextNumber + 1) : -1;
    if (slot < 0 && later < 0) {
      // Dry: the end, or the next packet is late. Waiting for it (rather
      // than giving it up) lets the delay grow where the network needs it.
      if (s.ended) return endSession();
      return conceal(false);
    }
    const double excess = delaySeconds(s, s.nextNumber, playTime) - _target;
    if (excess > (skipping ? 2 * margin : hardLimit)) {
      // Far behind (an outage's backlog, a stalled player): what is this
      // late would only be heard late. Once skipping, it goes on to near the
      // target rather than leave the rest to the slow way.
      skipping = true;
      if (slot >= 0) {
        releaseSlot(slot);
        count(_dropped);
      } else {
        count(_lost);
      }
      ++s.nextNumber;
      continue;
    }
    if (slot >= 0) {
      // Below target a frame is added where it is least heard: after quiet.
      if (excess < -3 * margin || (excess < -margin && _lastQuiet)) return conceal(false);
      PlayoutStep step;
      step.action = PlayoutAction::Decode;
      step.packet = _slots[slot];
      step.frames = frameSamples;
      if (excess > margin) {
        step.dropIfQuiet = true;
        _shorteningCredit +=
            double(frameSamples) * (excess > 3 * margin ? kFastShortening : kShortening);
        step.maxShortening = std::uint32_t(_shorteningCredit);
      } else {
        _shorteningCredit = 0;
      }
      _pendingSlot = slot;
      ++s.nextNumber;
      s.concealedInARow = 0;
      _delayUs.store(microseconds(excess + _target), std::memory_order_relaxed);
      return step;
    }
    // Missing, with later packets here: reordered or lost.
    if (excess < -margin) return conceal(false);
    count(_lost);
    const int following = findSlot(s.id, s.nextNumber + 1);
    if (following >= 0 &&
        opusPacketCarriesRedundancy(_slots[following]->data, _slots[following]->dataLength)) {
      ++s.nextNumber;
      s.concealedInARow = 0;
      PlayoutStep step;
      step.action = PlayoutAction::DecodeFec;
      step.packet = _slots[following];
      step.frames = frameSamples;
      return step;
    }
    return conceal(true);
  }
  return {};
}

void PlayoutBuffer::completed(const PlayoutStep& step, const PlayoutOutcome& outcome) {
  switch (step.action) {
    case PlayoutAction::Decode:
      count(outcome.dropped ? _dropped : _played);
      if (outcome.removed > 0) {
        count(_shortened);
        _shorteningCredit = std::max(0.0, _shorteningCredit - outcome.removed);
      }
      _lastQuiet = outcome.quiet;
      if (_pendingSlot >= 0) releaseSlot(_pendingSlot);
      break;
    case PlayoutAction::DecodeFec:
      count(_recovered);
      _lastQuiet = outcome.quiet;
      break;
    default:
      break;
  }
}

}  // namespace qur
