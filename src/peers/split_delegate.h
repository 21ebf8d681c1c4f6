// The one delegate of every session, fanning each callback out to the
// objects registered for its kind. They are held weakly and called one at a
// time on a private serial queue, in the order the session reported.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "peers/peer_session.h"
#include "peers/serial_queue.h"
#include "peers/weak_reference.h"

namespace qur {

class MultipeerPeerStateDelegate {
 public:
  virtual ~MultipeerPeerStateDelegate() = default;
  virtual void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>& session,
                                         const PeerID& peer, PeerSessionState state) = 0;
};

class MultipeerSessionDataReceiptDelegate {
 public:
  virtual ~MultipeerSessionDataReceiptDelegate() = default;
  virtual void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>& session,
                                             std::span<const std::uint8_t> data,
                                             const PeerID& peer) = 0;
};

class MultipeerSessionStreamReceiptDelegate {
 public:
  virtual ~MultipeerSessionStreamReceiptDelegate() = default;
  virtual void sessionDidReceiveStreamWithNameFromPeer(const std::shared_ptr<PeerSession>& session,
                                                       const std::shared_ptr<std::istream>& stream,
                                                       const std::string& name,
                                                       const PeerID& peer) = 0;
};

class MultipeerSessionSplitDelegate : public PeerSessionDelegate {
 public:
  static constexpr const char* kQueueName = "QURMultipeerSessionSplitDelegate queue";

  MultipeerSessionSplitDelegate();
  ~MultipeerSessionSplitDelegate() override;

  // Registration is safe at any time, also while callbacks are forwarded.
  // Adding does not check for duplicates; removing takes every reference to
  // the object and every expired one from that list.
  void addPeerStateDelegate(const std::shared_ptr<MultipeerPeerStateDelegate>& delegate);
  void removePeerStateDelegate(const MultipeerPeerStateDelegate* delegate);
  void addDataReceiptDelegate(const std::shared_ptr<MultipeerSessionDataReceiptDelegate>& delegate);
  void removeDataReceiptDelegate(const MultipeerSessionDataReceiptDelegate* delegate);
  void addStreamReceiptDelegate(
      const std::shared_ptr<MultipeerSessionStreamReceiptDelegate>& delegate);
  void removeStreamReceiptDelegate(const MultipeerSessionStreamReceiptDelegate* delegate);

  // List sizes including expired references (for inspection).
  std::size_t peerStateDelegateCount() const;
  std::size_t dataReceiptDelegateCount() const;
  std::size_t streamReceiptDelegateCount() const;

  SerialQueue& operationQueue() { return _operationQueue; }

  // PeerSessionDelegate
  void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>& session, const PeerID& peer,
                                 PeerSessionState state) override;
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>& session,
                                     std::span<const std::uint8_t> data,
                                     const PeerID& peer) override;
  // Holds the session's ticket until every registered delegate has handled
  // the message, so a slow queue slows the sender instead of growing.
  void sessionDidReceiveMessageFromPeer(
      const std::shared_ptr<PeerSession>& session,
      const std::shared_ptr<const std::vector<std::uint8_t>>& message, const PeerID& peer,
      const std::shared_ptr<void>& ticket) override;
  void sessionDidReceiveStreamWithNameFromPeer(const std::shared_ptr<PeerSession>& session,
                                               const std::shared_ptr<std::istream>& stream,
                                               const std::string& name,
                                               const PeerID& peer) override;
  // Resource callbacks are ignored (the inherited empty ones).

 private:
  template <typename T>
  using List = std::vector<std::shared_ptr<WeakReference<T>>>;

  template <typename T>
  void addWeakReferenceToList(List<T>& list, const std::shared_ptr<T>& object);
  template <typename T>
  void cleanExpiredWeakReferencesInList(List<T>& list, const void* object);

  mutable std::mutex _listMutex;
  List<MultipeerPeerStateDelegate> _peerStateDelegates;
  List<MultipeerSessionDataReceiptDelegate> _dataReceiptDelegates;
  List<MultipeerSessionStreamReceiptDelegate> _streamReceiptDelegates;
  List<void> _resourceReceiptDelegates;  // never filled
  SerialQueue _operationQueue;
};

}  // namespace qur
