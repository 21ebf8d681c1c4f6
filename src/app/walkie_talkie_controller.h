// The centre of the walkie-talkie: owns the peer session (and listens to its
// peer state changes), the outgoing chain (encoder -> streamer -> wire sink
// -> session sink, to every connected peer), the incoming router and one
// WalkieTalkiePeer per connected device, whose decoder is an engine channel.
// Keeps the transmission state the talk button drives, plays the feedback
// sounds, and publishes the connected state, the peer table and a
// disconnect command.
//
// Threads: peer state reports, the peer table publications and the
// notifications of `connected` arrive on the session's serial callback
// queue; setTransmitting runs on the main thread. The peer table is
// published as an immutable snapshot, so readers on any thread never see it
// change under them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/opus_stream_receiver.h"
#include "app/voice_path.h"
#include "audio/audio_buffer_list.h"
#include "peers/peer_id.h"
#include "peers/split_delegate.h"
#include "signals/command.h"
#include "signals/disposable.h"
#include "signals/property.h"
#include "signals/signal.h"
#include "signals/subject.h"
#include "wire/stream.h"

namespace qur {

class AudioEngine;
class AudioFilePlayer;
class MultipeerMessageSink;
class MultipeerMessageSource;
class MultipeerSessionController;
class WalkieTalkiePeer;

class WalkieTalkieController : public MultipeerPeerStateDelegate,
                               public std::enable_shared_from_this<WalkieTalkieController> {
 public:
  static constexpr const char* kServiceType = "qur-wtalkie";
  static constexpr float kBeepVolume = 0.25f;
  // Packets between our devices; receivers take any length up to 120 ms.
  static constexpr int kDefaultFrameMilliseconds = 20;

  using PeerTable = std::map<PeerID, std::shared_ptr<WalkieTalkiePeer>>;
  // One published state of the peer table; never changes once published.
  using PeerTableSnapshot = std::shared_ptr<const PeerTable>;

  // Builds everything over the engine; the peer name is what other devices
  // show for this one (empty: the host name). Null (after a log line) only
  // when the encoder or the session cannot be set up. A missing sound is
  // logged and never played.
  static std::shared_ptr<WalkieTalkieController> create(
      std::shared_ptr<AudioEngine> audioController, const std::string& peerName = {},
      std::shared_ptr<const DeviceIdentity> identity = nullptr,
      int frameMilliseconds = kDefaultFrameMilliseconds);
  ~WalkieTalkieController() override;
  WalkieTalkieController(const WalkieTalkieController&) = delete;
  WalkieTalkieController& operator=(const WalkieTalkieController&) = delete;

  // Session callback queue.
  void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>& session, const PeerID& peer,
                                 PeerSessionState state) override;

  // Main thread. Refused (forced to false, nothing played or sent) while no
  // peer is connected.
  bool isTransmitting() const { return _transmitting.get(); }
  void setTransmitting(bool transmitting);
  void startTransmission() { setTransmitting(true); }
  void endTransmission() { setTransmitting(false); }
  // The value of every setTransmitting, at once on subscription.
  Signal<bool> transmittingValues() const { return _transmitting.values(); }

  // Drops every peer and renews the session; leaves `transmitting` and
  // `connected` alone (the next peer state report settles `connected`).
  void reset();
  void disconnect() { reset(); }
  // A new command on every call, enabled while connected; executing it
  // disconnects (nothing when the controller is gone) and completes.
  std::shared_ptr<Command<Unit>> disconnectCommand();

  // The current table first, then every publication.
  Signal<PeerTableSnapshot> connectedPeersSignal();
  Signal<std::size_t> connectedPeersCountSignal();
  PeerTableSnapshot connectedPeers() const { return std::atomic_load(&_connectedPeersSnapshot); }

  bool isConnected() const { return _connected.get(); }
  void setConnected(bool connected) { _connected.set(connected); }
  // The value of every peer state report (also unchanged ones), at once on
  // subscription.
  Signal<bool> connectedValues() const { return _connected.values(); }

  // Restarts the player from its beginning and adds it to the mix.
  void playSound(const std::shared_ptr<AudioFilePlayer>& player);

  const std::shared_ptr<AudioEngine>& audioController() const { return _audioController; }
  const std::shared_ptr<MultipeerSessionController>& multipeerController() const {
    return _multipeerController;
  }
  const std::shared_ptr<OpusEncoder>& opusEncoder() const { return _sendChain.opusEncoder; }
  const std::shared_ptr<MultipeerMessageSource>& messageSource() const { return _messageSource; }
  // Wire messages handed to the session so far (audio and statuses).
  std::uint64_t messagesSent() const;
  // The loss our receivers report lately (the worst of them, 0 to 1): what
  // the encoder's redundancy is set for.
  double reportedLoss() const;

  // The feedback sounds (null when their file is missing).
  const std::shared_ptr<AudioFilePlayer>& startRecordingBeep() const { return _startRecordingBeep; }
  const std::shared_ptr<AudioFilePlayer>& endRecordingBeep() const { return _endRecordingBeep; }
  const std::shared_ptr<AudioFilePlayer>& disconnectedBeep() const { return _disconnectedBeep; }
  const AudioBufferList* startReceivingBeep() const { return _receivingBeeps.start.get(); }
  const AudioBufferList* endReceivingBeep() const { return _receivingBeeps.end.get(); }

 private:
  class CountingSink;
  WalkieTalkieController() = default;
  bool setUp(std::shared_ptr<AudioEngine> audioController, const std::string& peerName,
             std::shared_ptr<const DeviceIdentity> identity, int frameMilliseconds);
  // Session queue, with _tableMutex held: the link reports of a new peer go
  // back to it, its reports on our voice set the encoder.
  void watchLink(const std::shared_ptr<WalkieTalkiePeer>& peer);
  void forgetLink(const PeerID& peer);
  void sendReceiverReport(const PeerID& peer, const LinkReport& link);
  void receivedReceiverReport(const PeerID& peer, const ReceiverReport& report);
  // With _tableMutex held: makes the table the published one and sends it.
  void publishConnectedPeers();

  std::shared_ptr<AudioEngine> _audioController;
  std::shared_ptr<MultipeerSessionController> _multipeerController;
  std::shared_ptr<MultipeerMessageSink> _messageSink;
  std::shared_ptr<MultipeerMessageSource> _messageSource;
  std::shared_ptr<CountingSink> _countingSink;
  OpusSendChain _sendChain;

  // The session queue changes the table; disconnect() may reset it from the
  // main thread meanwhile.
  mutable std::recursive_mutex _tableMutex;
  PeerTable _connectedPeers;
  PeerTableSnapshot _connectedPeersSnapshot = std::make_shared<const PeerTable>();
  Property<bool> _transmitting{false};
  std::shared_ptr<Subject<PeerTableSnapshot>> _connectedPeersSubject =
      Subject<PeerTableSnapshot>::create();

  std::shared_ptr<AudioFilePlayer> _startRecordingBeep;
  std::shared_ptr<AudioFilePlayer> _endRecordingBeep;
  std::shared_ptr<AudioFilePlayer> _disconnectedBeep;
  // Peers' receivers point at these; they live as long as the controller.
  ReceivingBeeps _receivingBeeps;
  // Per connected peer: the subscriptions to its link, and the loss it
  // reports on our voice (smoothed).
  std::map<PeerID, std::vector<DisposablePtr>> _linkSubscriptions;
  mutable std::mutex _lossMutex;
  std::map<PeerID, double> _reportedLoss;
  Property<bool> _connected{false};
};

}  // namespace qur
