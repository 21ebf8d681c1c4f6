#include "peers/split_delegate.h"

#include <algorithm>

namespace qur {

MultipeerSessionSplitDelegate::MultipeerSessionSplitDelegate() : _operationQueue(kQueueName) {}

MultipeerSessionSplitDelegate::~MultipeerSessionSplitDelegate() = default;

template <typename T>
void MultipeerSessionSplitDelegate::addWeakReferenceToList(List<T>& list,
                                                           const std::shared_ptr<T>& object) {
  std::lock_guard lock(_listMutex);
  list.push_back(WeakReference<T>::referenceTo(object));
}

template <typename T>
void MultipeerSessionSplitDelegate::cleanExpiredWeakReferencesInList(List<T>& list,
                                                                     const void* object) {
  std::lock_guard lock(_listMutex);
  std::erase_if(list, [&](const auto& reference) {
    auto target = reference->target();
    return !target || static_cast<const void*>(target.get()) == object;
  });
}

void MultipeerSessionSplitDelegate::addPeerStateDelegate(
    const std::shared_ptr<MultipeerPeerStateDelegate>& delegate) {
  addWeakReferenceToList(_peerStateDelegates, delegate);
}
void MultipeerSessionSplitDelegate::removePeerStateDelegate(
    const MultipeerPeerStateDelegate* delegate) {
  cleanExpiredWeakReferencesInList(_peerStateDelegates, delegate);
}
void MultipeerSessionSplitDelegate::addDataReceiptDelegate(
    const std::shared_ptr<MultipeerSessionDataReceiptDelegate>& delegate) {
  addWeakReferenceToList(_dataReceiptDelegates, delegate);
}
void MultipeerSessionSplitDelegate::removeDataReceiptDelegate(
    const MultipeerSessionDataReceiptDelegate* delegate) {
  cleanExpiredWeakReferencesInList(_dataReceiptDelegates, delegate);
}
void MultipeerSessionSplitDelegate::addStreamReceiptDelegate(
    const std::shared_ptr<MultipeerSessionStreamReceiptDelegate>& delegate) {
  addWeakReferenceToList(_streamReceiptDelegates, delegate);
}
void MultipeerSessionSplitDelegate::removeStreamReceiptDelegate(
    const MultipeerSessionStreamReceiptDelegate* delegate) {
  cleanExpiredWeakReferencesInList(_streamReceiptDelegates, delegate);
}

std::size_t MultipeerSessionSplitDelegate::peerStateDelegateCount() const {
  std::lock_guard lock(_listMutex);
  return _peerStateDelegates.size();
}
std::size_t MultipeerSessionSplitDelegate::dataReceiptDelegateCount() const {
  std::lock_guard lock(_listMutex);
  return _dataReceiptDelegates.size();
}
std::size_t MultipeerSessionSplitDelegate::streamReceiptDelegateCount() const {
  std::lock_guard lock(_listMutex);
  return _streamReceiptDelegates.size();
}

// Each forward walks a copy of the list, so registration may change it
// meanwhile; each operation reads its reference's target only when it runs.

void MultipeerSessionSplitDelegate::sessionPeerDidChangeState(
    const std::shared_ptr<PeerSession>& session, const PeerID& peer, PeerSessionState state) {
  List<MultipeerPeerStateDelegate> list;
  {
    std::lock_guard lock(_listMutex);
    list = _peerStateDelegates;
  }
  for (auto& reference : list) {
    _operationQueue.addOperation([reference, session, peer, state] {
      if (auto target = reference->target())
        target->sessionPeerDidChangeState(session, peer, state);
    });
  }
}

void MultipeerSessionSplitDelegate::sessionDidReceiveDataFromPeer(
    const std::shared_ptr<PeerSession>& session, std::span<const std::uint8_t> data,
    const PeerID& peer) {
  List<MultipeerSessionDataReceiptDelegate> list;
  {
    std::lock_guard lock(_listMutex);
    list = _dataReceiptDelegates;
  }
  if (list.empty()) return;
  // The span dies with this call; the queued operations share one copy.
  auto bytes = std::make_shared<const std::vector<std::uint8_t>>(data.begin(), data.end());
  for (auto& reference : list) {
    _operationQueue.addOperation([reference, session, bytes, peer] {
      if (auto target = reference->target())
        target->sessionDidReceiveDataFromPeer(session, *bytes, peer);
    });
  }
}

void MultipeerSessionSplitDelegate::sessionDidReceiveMessageFromPeer(
    const std::shared_ptr<PeerSession>& session,
    const std::shared_ptr<const std::vector<std::uint8_t>>& message, const PeerID& peer,
    const std::shared_ptr<void>& ticket) {
  List<MultipeerSessionDataReceiptDelegate> list;
  {
    std::lock_guard lock(_listMutex);
    list = _dataReceiptDelegates;
  }
  for (auto& reference : list) {
    _operationQueue.addOperation([reference, session, message, peer, ticket] {
      if (auto target = reference->target())
        target->sessionDidReceiveDataFromPeer(session, *message, peer);
    });
  }
}

void MultipeerSessionSplitDelegate::sessionDidReceiveStreamWithNameFromPeer(
    const std::shared_ptr<PeerSession>& session, const std::shared_ptr<std::istream>& stream,
    const std::string& name, const PeerID& peer) {
  List<MultipeerSessionStreamReceiptDelegate> list;
  {
    std::lock_guard lock(_listMutex);
    list = _streamReceiptDelegates;
  }
  for (auto& reference : list) {
    _operationQueue.addOperation([reference, session, stream, name, peer] {
      if (auto target = reference->target())
        target->sessionDidReceiveStreamWithNameFromPeer(session, stream, name, peer);
    });
  }
}

}  // namespace qur
