#include "audio/playout_buffer.h"

#include <algorithm>

namespace qur {

PlayoutBuffer::PlayoutBuffer(double ceilingSeconds) : _ceiling(std::max(0.06, ceilingSeconds)) {
  for (auto& slot : _slots) slot = opusPacketCreate(kSlotDataBytes);
  publishTarget(0.02);
}

PlayoutBuffer::~PlayoutBuffer() {
  for (auto* slot : _slots) opusPacketFree(slot);
}

PlayoutStatistics PlayoutBuffer::statistics() const {
  constexpr auto relaxed = std::memory_order_relaxed;
  PlayoutStatistics s;
  s.received = _received.load(relaxed);
  s.played = _played.load(relaxed);
  s.lost = _lost.load(relaxed);
  s.recoveredByFec = _recovered.load(relaxed);
  s.concealed = _concealed.load(relaxed);
  s.late = _late.load(relaxed);
  s.duplicates = _duplicates.load(relaxed);
  s.dropped = _dropped.load(relaxed);
  s.shortened = _shortened.load(relaxed);
  s.jitterMeanMs = _jitterMeanUs.load(relaxed) / 1000.0;
  s.jitterP95Ms = _jitterP95Us.load(relaxed) / 1000.0;
  s.targetMs = _targetUs.load(relaxed) / 1000.0;
  s.delayMs = _delayUs.load(relaxed) / 1000.0;
  return s;
}

}  // namespace qur
