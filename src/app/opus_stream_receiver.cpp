#include "app/opus_stream_receiver.h"

#include "audio/opus_decoder.h"
#include "log/log.h"
#include "signals/signal_operators.h"
#include "wire/wire_message_stream.h"

namespace qur {

std::shared_ptr<OpusStreamReceiver> OpusStreamReceiver::create(
    std::shared_ptr<OpusDecoder> decoder, std::shared_ptr<WireMessageStreamSource> stream,
    AudioBufferList* sessionStartSound, AudioBufferList* sessionEndSound) {
  std::shared_ptr<OpusStreamReceiver> receiver(new OpusStreamReceiver());
  receiver->_decoder = std::move(decoder);
  receiver->_stream = std::move(stream);
  if (receiver->_stream) receiver->_stream->setDelegate(receiver);
  circularBufferSetUp(&receiver->_incomingBuffer, kIncomingBufferBytes);
  receiver->_currentSessionNumber = 0xFFFFFFFFu;
  receiver->_packetsInBuffer.store(0);
  receiver->_bufferThresholdReached = false;
  receiver->_sessionStartSound = sessionStartSound;
  receiver->_sessionEndSound = sessionEndSound;
  receiver->_signalPacket = opusPacketCreate(0);
  receiver->_playout = receiver->_decoder && receiver->_decoder->hasPlayout();
  return receiver;
}

OpusStreamReceiver::~OpusStreamReceiver() {
  _linkReports->sendCompleted();
  circularBufferTearDown(&_incomingBuffer);
  opusPacketFree(_signalPacket);
}

void OpusStreamReceiver::wireMessageStreamReceivedOpusPacket(WireMessageStreamSource&,
                                                             const OpusPacket* packet) {
  _audioPacketsReceived.fetch_add(1, std::memory_order_relaxed);
  feedOpusPacket(packet);
}

void OpusStreamReceiver::wireMessageStreamReceivedStreamStatus(WireMessageStreamSource&,
                                                               int status) {
  receivedStreamStatus(status);
}

void OpusStreamReceiver::receivedStreamStatus(int status) {
  switch (status) {
    case static_cast<int>(StreamStatus::Started):
      // A sender announces a start again when its button is pressed twice
      // within one transmission; the queued start is still the right one.
      if (_inTransmission) break;
      _inTransmission = true;
      _transmissionsStarted.fetch_add(1, std::memory_order_relaxed);
      ++_currentSessionNumber;  // wraps: the first start makes it 0
      _bufferThresholdReached = false;
      opusPacketClearHeader(_signalPacket);
      _signalPacket->kind = OpusPacketKind::SessionStart;
      _signalPacket->sessionNumber = _currentSessionNumber;
      _signalPacket->audioBufferList = _sessionStartSound;
      feedOpusPacket(_signalPacket);
      break;
    case static_cast<int>(StreamStatus::Stopped):
      _inTransmission = false;
      _transmissionsStopped.fetch_add(1, std::memory_order_relaxed);
      opusPacketClearHeader(_signalPacket);
      _signalPacket->kind = OpusPacketKind::SessionEnd;
      _signalPacket->sessionNumber = _currentSessionNumber;
      _signalPacket->audioBufferList = _sessionEndSound;
      feedOpusPacket(_signalPacket);
      flushSession();
      if (_playout) report(true);
      break;
    default:
      break;
  }
}

void OpusStreamReceiver::feedOpusPacket(const OpusPacket* packet) {
  // Only an oversized packet from a misbehaving sender fails to fit. It is
  // treated as never having arrived: counting it would make the count claim
  // a record the ring does not hold and shrink the reserve for good.
  if (!opusPacketBufferWrite(&_incomingBuffer, packet)) {
    QUR_LOG_ERROR("Dropped a packet of %u bytes that does not fit the receive buffer",
                  static_cast<unsigned>(opusPacketSize(packet)));
    return;
  }
  const std::int32_t held = _packetsInBuffer.fetch_add(1, std::memory_order_seq_cst) + 1;
  if (_playout) {
    // The playout buffer orders and times everything; it needs to know when
    // each packet came.
    const UInt64 now = _clock();
    opusPacketBufferPeek(&_incomingBuffer)->arrivalTime = now;
    flushPacketToDecoder();
    if (packet->kind == OpusPacketKind::Audio &&
        double(now - _lastReport) >= kReportInterval * kHostTicksPerSecond) {
      report(false);
    }
    return;
  }
  if (!_bufferThresholdReached && held <= kReservePackets) return;
  if (held <= kReservePackets) {
    QUR_LOG_ERROR("Buffer underflow: Now in session %d, %d in buffer",
                  static_cast<int>(_currentSessionNumber), held);
  }
  _bufferThresholdReached = true;
  flushPacketToDecoder();
}

void OpusStreamReceiver::flushPacketToDecoder() {
  OpusPacket* packet = opusPacketBufferPeek(&_incomingBuffer);
  if (!packet) return;
  // The decoder orders sessions by this receiver's count, not the sender's:
  // a sender that talked before we joined stamps a number we never counted.
  packet->sessionNumber = _currentSessionNumber;
  // A full decoder ring loses the packet.
  opusPacketBufferWrite(_decoder->inputBuffer(), packet);
  _packetsInBuffer.fetch_sub(1, std::memory_order_seq_cst);
  opusPacketBufferConsume(&_incomingBuffer);
}

void OpusStreamReceiver::report(bool endOfTransmission) {
  const UInt64 now = _clock();
  const PlayoutStatistics s = _decoder->playoutStatistics();
  LinkReport r;
  r.intervalSeconds = _lastReport == 0 ? 0.0 : double(now - _lastReport) / kHostTicksPerSecond;
  const std::uint64_t lost = s.lost - _reported.lost;
  const std::uint64_t turns =
      lost + (s.played - _reported.played) + (s.dropped - _reported.dropped);
  r.lossFraction = turns == 0 ? 0.0 : double(lost) / double(turns);
  r.late = s.late - _reported.late;
  r.jitterMeanMs = s.jitterMeanMs;
  r.jitterP95Ms = s.jitterP95Ms;
  r.targetMs = s.targetMs;
  r.delayMs = s.delayMs;
  r.concealed = s.concealed;
  r.recoveredByFec = s.recoveredByFec;
  r.endOfTransmission = endOfTransmission;
  _reported = s;
  _lastReport = now;
  _linkReports->sendNext(r);
}

void OpusStreamReceiver::flushSession() {
  // Calls arrive one at a time in the sender's order, so nothing of a later
  // transmission can be queued yet when its predecessor stops.
  while (opusPacketBufferPeek(&_incomingBuffer)) flushPacketToDecoder();
}

}  // namespace qur
