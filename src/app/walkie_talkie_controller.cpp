#include "app/walkie_talkie_controller.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "app/opus_streamer.h"
#include "app/walkie_talkie_peer.h"
#include "audio/engine/audio_engine.h"
#include "audio/engine/audio_file_player.h"
#include "audio/media_reader.h"
#include "audio/opus_decoder.h"
#include "audio/opus_encoder.h"
#include "audio/sound_resources.h"
#include "log/log.h"
#include "log/thread_role.h"
#include "peers/message_sink.h"
#include "peers/session_controller.h"
#include "signals/signal_operators.h"
#include "wire/wire_message.h"
#include "wire/wire_message_stream.h"

namespace qur {

namespace {

std::shared_ptr<AudioFilePlayer> loadPlayer(const char* name, AudioEngine* engine) {
  const std::string path = soundResourcePath(name, "caf");
  if (path.empty()) {
    QUR_LOG_ERROR("Sound \"%s\" not found: %s", name, soundResourceLocation(name).c_str());
    return nullptr;
  }
  std::string error;
  auto player = AudioFilePlayer::audioFilePlayerWithURL(path, engine, &error);
  if (!player) QUR_LOG_ERROR("Sound \"%s\" could not be loaded: %s", name, error.c_str());
  return player;
}

}  // namespace

// Counts what goes out, so a long run can compare sent and received.
class WalkieTalkieController::CountingSink : public StreamSink {
 public:
  explicit CountingSink(std::shared_ptr<StreamSink> sink) : _sink(std::move(sink)) {}
  bool writeMessage(ByteMessage message) override {
    const bool written = _sink->writeMessage(message);
    if (written) _written.fetch_add(1, std::memory_order_relaxed);
    return written;
  }
  std::uint64_t written() const { return _written.load(std::memory_order_relaxed); }

 private:
  std::shared_ptr<StreamSink> _sink;
  std::atomic<std::uint64_t> _written{0};
};

std::shared_ptr<WalkieTalkieController> WalkieTalkieController::create(
    std::shared_ptr<AudioEngine> audioController, const std::string& peerName,
    std::shared_ptr<const DeviceIdentity> identity, int frameMilliseconds) {
  std::shared_ptr<WalkieTalkieController> controller(new WalkieTalkieController());
  if (!controller->setUp(std::move(audioController), peerName, std::move(identity),
                         frameMilliseconds)) {
    return nullptr;
  }
  return controller;
}

bool WalkieTalkieController::setUp(std::shared_ptr<AudioEngine> audioController,
                                   const std::string& peerName,
                                   std::shared_ptr<const DeviceIdentity> identity,
                                   int frameMilliseconds) {
  _audioController = std::move(audioController);
  AudioEngine* engine = _audioController.get();

  _startRecordingBeep = loadPlayer("beep-short-high", engine);
  if (_startRecordingBeep) {
    _startRecordingBeep->setRemoveUponFinish(true);
    _startRecordingBeep->setVolume(kBeepVolume);
  }
  _endRecordingBeep = loadPlayer("beep-short-low", engine);
  if (_endRecordingBeep) {
    _endRecordingBeep->setRemoveUponFinish(true);
    _endRecordingBeep->setVolume(kBeepVolume);
  }
  _disconnectedBeep = loadPlayer("hangup", engine);
  if (_disconnectedBeep) _disconnectedBeep->setRemoveUponFinish(true);

  // The receiving beeps are in the codec format, so the decoder plays them
  // like decoded audio; the level is baked into the samples.
  const AudioStreamBasicDescription codecFormat = codecAudioDescription();
  const std::string beepPath = soundResourcePath("beep", "caf");
  AudioBufferListPtr beep;
  if (!beepPath.empty()) {
    beep.reset(MediaReader::createRawPCMOfAssetAtURL(beepPath, &codecFormat));
  }
  if (beep) {
    _receivingBeeps = ReceivingBeeps::fromSound(std::move(beep), kBeepVolume);
  } else if (beepPath.empty()) {
    QUR_LOG_ERROR("Sound \"beep\" not found: %s (transmissions from peers play without it)",
                  soundResourceLocation("beep").c_str());
  } else {
    QUR_LOG_ERROR("Sound \"beep\" not available: transmissions from peers play without it");
  }

  const std::string name = peerName.empty() ? PeerID::defaultDisplayName() : peerName;
  _multipeerController = std::make_shared<MultipeerSessionController>(name, kServiceType, nullptr,
                                                                      std::move(identity));
  if (!_multipeerController->session()) {
    QUR_LOG_ERROR("Could not create the peer session");
    return false;
  }
  _multipeerController->sessionDelegates()->addPeerStateDelegate(shared_from_this());

  // Outgoing messages follow the session through every reset.
  _messageSink = std::make_shared<MultipeerMessageSink>(_multipeerController->session());
  _messageSink->bindSession(_multipeerController->sessionProperty());

  _messageSource = std::make_shared<MultipeerMessageSource>();
  _multipeerController->sessionDelegates()->addDataReceiptDelegate(_messageSource);

  _countingSink = std::make_shared<CountingSink>(_messageSink);
  if (!_sendChain.setUp(_audioController->audioDescription(), _countingSink, frameMilliseconds))
    return false;
  _audioController->addInputReceiver(_sendChain.opusEncoder);
  return true;
}

WalkieTalkieController::~WalkieTalkieController() {
  // Peers' decoders leave the mix before the sounds they point at are freed.
  std::lock_guard lock(_tableMutex);
  std::vector<std::shared_ptr<AudioPlayable>> decoders;
  for (const auto& [id, peer] : _connectedPeers) decoders.push_back(peer->decoder());
  if (_audioController) {
    if (!decoders.empty()) _audioController->removeChannels(decoders);
    if (_sendChain.opusEncoder) _audioController->removeInputReceiver(_sendChain.opusEncoder);
  }
  _connectedPeers.clear();
}

void WalkieTalkieController::sessionPeerDidChangeState(const std::shared_ptr<PeerSession>&,
                                                       const PeerID& peer, PeerSessionState state) {
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::size_t count = 0;
  {
    std::lock_guard lock(_tableMutex);
    switch (state) {
      case PeerSessionState::NotConnected: {
        const auto it = _connectedPeers.find(peer);
        if (it == _connectedPeers.end()) break;
        _audioController->removeChannels({it->second->decoder()});
        // Every peer that ever joined would otherwise stay in the table.
        _messageSource->removeDelegateForPeer(peer);
        forgetLink(peer);
        _connectedPeers.erase(it);
        if (!_connectedPeers.empty()) {
          publishConnectedPeers();
        } else {
          reset();
        }
        break;
      }
      case PeerSessionState::Connecting:
        break;
      case PeerSessionState::Connected: {
        auto walkieTalkiePeer =
            WalkieTalkiePeer::create(_audioController->audioDescription(), peer,
                                     _receivingBeeps.start.get(), _receivingBeeps.end.get());
        if (!walkieTalkiePeer) break;
        _messageSource->setDelegateForPeer(walkieTalkiePeer->wireMessageSource(), peer);
        // A repeated report replaces the peer: its old decoder leaves the mix
        // rather than playing on with nobody feeding it.
        const auto old = _connectedPeers.find(peer);
        if (old != _connectedPeers.end())
          _audioController->removeChannels({old->second->decoder()});
        _audioController->addChannels({walkieTalkiePeer->decoder()});
        forgetLink(peer);
        watchLink(walkieTalkiePeer);
        _connectedPeers[peer] = std::move(walkieTalkiePeer);
        publishConnectedPeers();
        break;
      }
    }
    count = _connectedPeers.size();
  }
  if (count == 0 && isConnected()) playSound(_disconnectedBeep);
  setConnected(count != 0);
}

void WalkieTalkieController::setTransmitting(bool transmitting) {
  QUR_ASSERT_THREAD(ThreadRole::Main);
  if (!isConnected()) {
    _transmitting.set(false);
    return;
  }
  _transmitting.set(transmitting);
  if (transmitting) {
    playSound(_startRecordingBeep);
    _sendChain.opusEncoder->startEncoding();
  } else {
    playSound(_endRecordingBeep);
    _sendChain.opusEncoder->stopEncoding();
  }
}

void WalkieTalkieController::reset() {
  // Main thread, or the session queue after the last peer left.
  QUR_ASSERT_NOT_THREAD(ThreadRole::Audio);
  std::lock_guard lock(_tableMutex);
  _multipeerController->reset();
  _sendChain.opusEncoder->reset();
  std::vector<std::shared_ptr<AudioPlayable>> decoders;
  for (const auto& [id, peer] : _connectedPeers) {
    decoders.push_back(peer->decoder());
    _messageSource->removeDelegateForPeer(id);
  }
  while (!_linkSubscriptions.empty()) forgetLink(_linkSubscriptions.begin()->first);
  if (!decoders.empty()) _audioController->removeChannels(decoders);
  _connectedPeers.clear();
  publishConnectedPeers();
}

void WalkieTalkieController::watchLink(const std::shared_ptr<WalkieTalkiePeer>& peer) {
  std::weak_ptr<WalkieTalkieController> weakSelf = weak_from_this();
  const PeerID id = peer->peerID();
  auto& subscriptions = _linkSubscriptions[id];
  subscriptions.push_back(peer->linkReports().subscribeNext([weakSelf, id](const LinkReport& r) {
    if (auto self = weakSelf.lock()) self->sendReceiverReport(id, r);
  }));
  subscriptions.push_back(
      peer->receiverReports().subscribeNext([weakSelf, id](const ReceiverReport& r) {
        if (auto self = weakSelf.lock()) self->receivedReceiverReport(id, r);
      }));
}

void WalkieTalkieController::forgetLink(const PeerID& peer) {
  const auto it = _linkSubscriptions.find(peer);
  if (it != _linkSubscriptions.end()) {
    for (auto& subscription : it->second) {
      if (subscription) subscription->dispose();
    }
    _linkSubscriptions.erase(it);
  }
  double loss = 0;
  {
    std::lock_guard lock(_lossMutex);
    if (_reportedLoss.erase(peer) == 0) return;
    for (const auto& [id, value] : _reportedLoss) loss = std::max(loss, value);
  }
  _sendChain.opusEncoder->setLinkConditions(loss);
}

void WalkieTalkieController::sendReceiverReport(const PeerID& peer, const LinkReport& link) {
  ReceiverReport report;
  report.lossPermille = std::uint32_t(std::lround(std::clamp(link.lossFraction, 0.0, 1.0) * 1000));
  report.latePackets = std::uint32_t(std::min<std::uint64_t>(link.late, UINT32_MAX));
  report.jitterMeanMs = std::uint32_t(std::lround(std::max(0.0, link.jitterMeanMs)));
  report.jitterP95Ms = std::uint32_t(std::lround(std::max(0.0, link.jitterP95Ms)));
  report.targetDelayMs = std::uint32_t(std::lround(std::max(0.0, link.targetMs)));
  report.intervalMs = std::uint32_t(std::lround(link.intervalSeconds * 1000));
  QURWireMessage message;
  wireMessageMakeReceiverReport(&message, report);
  std::uint8_t bytes[64];
  const std::ptrdiff_t length = wireMessageEncode(&message, bytes, sizeof bytes);
  auto session = _multipeerController->session();
  if (length < 0 || !session) return;
  PeerError error;
  // Only to the talker it is about; a peer that just left is no failure.
  if (!session->sendData(std::span<const std::uint8_t>(bytes, std::size_t(length)), {peer},
                         SessionSendDataMode::Reliable, &error)) {
    QUR_LOG_INFO("Receiver report to %s not sent: %s", peer.displayName().c_str(),
                 error.description.c_str());
  }
}

void WalkieTalkieController::receivedReceiverReport(const PeerID& peer,
                                                    const ReceiverReport& report) {
  double loss = 0;
  {
    std::lock_guard lock(_lossMutex);
    // Loss goes up at once and comes down by halves: one clean second after
    // a lossy one is no reason to drop the redundancy yet.
    double& smoothed = _reportedLoss[peer];
    smoothed = std::max(report.lossPermille / 1000.0, smoothed * 0.5);
    if (smoothed < 0.002) smoothed = 0;
    for (const auto& [id, value] : _reportedLoss) loss = std::max(loss, value);
  }
  _sendChain.opusEncoder->setLinkConditions(loss);
}

double WalkieTalkieController::reportedLoss() const {
  std::lock_guard lock(_lossMutex);
  double loss = 0;
  for (const auto& [id, value] : _reportedLoss) loss = std::max(loss, value);
  return loss;
}

std::shared_ptr<Command<Unit>> WalkieTalkieController::disconnectCommand() {
  std::weak_ptr<WalkieTalkieController> weakSelf = weak_from_this();
  return std::make_shared<Command<Unit>>(_connected.values(), [weakSelf](const Unit&) {
    return Signal<Unit>::create([weakSelf](const SubscriberPtr<Unit>& subscriber) -> DisposablePtr {
      if (auto self = weakSelf.lock()) self->disconnect();
      subscriber->sendCompleted();
      return nullptr;
    });
  });
}

void WalkieTalkieController::publishConnectedPeers() {
  auto snapshot = std::make_shared<const PeerTable>(_connectedPeers);
  std::atomic_store(&_connectedPeersSnapshot, PeerTableSnapshot(snapshot));
  _connectedPeersSubject->sendNext(snapshot);
}

Signal<WalkieTalkieController::PeerTableSnapshot> WalkieTalkieController::connectedPeersSignal() {
  std::weak_ptr<WalkieTalkieController> weakSelf = weak_from_this();
  auto subject = _connectedPeersSubject;
  return Signal<PeerTableSnapshot>::create(
      [weakSelf, subject](const SubscriberPtr<PeerTableSnapshot>& subscriber) -> DisposablePtr {
        auto self = weakSelf.lock();
        if (!self) {
          subscriber->sendCompleted();
          return nullptr;
        }
        // Under the table lock no publication can slip in between the
        // current table and the first live one.
        std::lock_guard lock(self->_tableMutex);
        subscriber->sendNext(self->connectedPeers());
        return subject->subscribe(subscriber);
      });
}

Signal<std::size_t> WalkieTalkieController::connectedPeersCountSignal() {
  return connectedPeersSignal().map(
      [](const PeerTableSnapshot& table) { return table ? table->size() : std::size_t{0}; });
}

std::uint64_t WalkieTalkieController::messagesSent() const {
  return _countingSink ? _countingSink->written() : 0;
}

void WalkieTalkieController::playSound(const std::shared_ptr<AudioFilePlayer>& player) {
  if (!player) return;
  player->setChannelIsPlaying(true);
  player->setCurrentTime(0.0);
  _audioController->addChannels({player});
}

}  // namespace qur
