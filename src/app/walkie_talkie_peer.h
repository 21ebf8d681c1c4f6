// One connected remote device as the controller sees it: the receive chain
// that turns its wire messages into audio on our speaker (wire message
// source -> stream receiver -> decoder, an engine channel) and a signal
// telling whether it is talking.
#pragma once

#include <memory>

#include "app/opus_stream_receiver.h"
#include "audio/audio_types.h"
#include "peers/peer_id.h"
#include "signals/signal.h"
#include "wire/stream.h"

namespace qur {

class OpusDecoder;
class WireMessageStreamSource;

class WalkieTalkiePeer {
 public:
  // The decoder renders in audioDescription (the engine's format). The sounds
  // belong to the caller and must outlive the peer. Null (after a log line)
  // when the decoder cannot be set up.
  static std::shared_ptr<WalkieTalkiePeer> create(
      const AudioStreamBasicDescription& audioDescription, const PeerID& peerID,
      AudioBufferList* sessionStartSound, AudioBufferList* sessionEndSound);
  ~WalkieTalkiePeer();
  WalkieTalkiePeer(const WalkieTalkiePeer&) = delete;
  WalkieTalkiePeer& operator=(const WalkieTalkiePeer&) = delete;

  // Every stream status that arrives from this peer (0 stopped, 1 started),
  // on the thread that delivers its data. Hot: no value on subscription.
  Signal<int> statusSignal() const;
  // statusSignal as "is talking".
  Signal<bool> transmitting() const;
  // How this peer's voice reaches us, about once a second while it talks
  // (and at the end of each transmission), on the thread that delivers its
  // data. Hot.
  Signal<LinkReport> linkReports() const;
  // How our voice reaches this peer, as it reports it. Hot, same thread.
  Signal<ReceiverReport> receiverReports() const;

  const PeerID& peerID() const { return _peerID; }
  const std::shared_ptr<OpusDecoder>& decoder() const { return _decoder; }
  const std::shared_ptr<WireMessageStreamSource>& wireMessageSource() const {
    return _wireMessageSource;
  }
  const std::shared_ptr<OpusStreamReceiver>& streamReceiver() const { return _streamReceiver; }

 private:
  explicit WalkieTalkiePeer(const PeerID& peerID) : _peerID(peerID) {}

  // Fields never change after creation, so reads need no lock.
  std::shared_ptr<OpusStreamReceiver> _streamReceiver;
  const PeerID _peerID;
  std::shared_ptr<OpusDecoder> _decoder;
  std::shared_ptr<WireMessageStreamSource> _wireMessageSource;
};

}  // namespace qur
