#include "app/walkie_talkie_peer.h"

#include "app/opus_stream_receiver.h"
#include "audio/opus_decoder.h"
#include "log/log.h"
#include "signals/signal_operators.h"
#include "wire/wire_message_stream.h"

namespace qur {

std::shared_ptr<WalkieTalkiePeer> WalkieTalkiePeer::create(
    const AudioStreamBasicDescription& audioDescription, const PeerID& peerID,
    AudioBufferList* sessionStartSound, AudioBufferList* sessionEndSound) {
  std::shared_ptr<WalkieTalkiePeer> peer(new WalkieTalkiePeer(peerID));
  peer->_decoder = OpusDecoder::create(audioDescription);
  if (!peer->_decoder) {
    QUR_LOG_ERROR("Could not create the decoder for peer %s", peerID.description().c_str());
    return nullptr;
  }
  // A network between us: play by the clock, conceal what is missing.
  peer->_decoder->enablePlayout();
  peer->_wireMessageSource = std::make_shared<WireMessageStreamSource>();
  peer->_streamReceiver = OpusStreamReceiver::create(peer->_decoder, peer->_wireMessageSource,
                                                     sessionStartSound, sessionEndSound);
  if (!peer->_streamReceiver) {
    QUR_LOG_ERROR("Could not create the stream receiver for peer %s", peerID.description().c_str());
    return nullptr;
  }
  return peer;
}

WalkieTalkiePeer::~WalkieTalkiePeer() = default;

Signal<int> WalkieTalkiePeer::statusSignal() const {
  return _wireMessageSource->statusSignal();
}

Signal<bool> WalkieTalkiePeer::transmitting() const {
  return statusSignal().map([](const int& status) { return status == 1; });
}

Signal<LinkReport> WalkieTalkiePeer::linkReports() const {
  return _streamReceiver->linkReports();
}

Signal<ReceiverReport> WalkieTalkiePeer::receiverReports() const {
  return _wireMessageSource->receiverReportSignal();
}

}  // namespace qur
