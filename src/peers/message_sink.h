// Byte messages over the peer session: the sink sends each one to every
// connected peer of its (replaceable) session; the source hands each
// received one to the delegate registered for the sending peer.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "log/log_limiter.h"
#include "peers/peer_session.h"
#include "peers/split_delegate.h"
#include "peers/weak_reference.h"
#include "signals/disposable.h"
#include "signals/property.h"
#include "wire/stream.h"

namespace qur {

class MultipeerMessageSink : public StreamSink {
 public:
  explicit MultipeerMessageSink(std::shared_ptr<PeerSession> session);

  // Sends to every peer connected at the call; a failure is logged
  // ("Sending message failed with ...") and reported by the return value.
  bool writeMessage(ByteMessage message) override;

  std::shared_ptr<PeerSession> session() const;
  void setSession(std::shared_ptr<PeerSession> session);
  // Follows a session property (the controller's) until this sink goes.
  void bindSession(const Property<std::shared_ptr<PeerSession>>& sessionProperty);
  const Lifetime& lifetime() const { return _lifetime; }

 private:
  mutable std::mutex _mutex;
  std::shared_ptr<PeerSession> _session;
  LogLimiter _failureLog;  // a peer that stops reading fails every send
  Lifetime _lifetime;      // declared last: bindings end before the fields go
};

class MultipeerMessageSource : public StreamSource, public MultipeerSessionDataReceiptDelegate {
 public:
  MultipeerMessageSource() = default;

  void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>& session,
                                     std::span<const std::uint8_t> data,
                                     const PeerID& peer) override;

  // Replaces any earlier registration for the peer; held weakly.
  void setDelegateForPeer(const std::shared_ptr<StreamSourceDelegate>& delegate,
                          const PeerID& peer);
  void removeDelegateForPeer(const PeerID& peer);
  // Peers with a registration; the owner removes a peer's when it leaves.
  std::size_t peerDelegateCount() const;

  // Receives the data of every peer (unused by the application).
  std::shared_ptr<StreamSourceDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<StreamSourceDelegate> delegate) override;

 private:
  mutable std::mutex _mutex;  // the queue is the only user; cheap insurance
  std::unordered_map<PeerID, std::shared_ptr<WeakReference<StreamSourceDelegate>>>
      _peerSpecificDelegates;
  std::weak_ptr<StreamSourceDelegate> _delegate;
};

}  // namespace qur
