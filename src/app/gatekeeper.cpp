#include "app/gatekeeper.h"

#include <algorithm>

#include "app/app_event_lines.h"
#include "app/walkie_talkie_app.h"
#include "log/log.h"
#include "peers/device_identity.h"
#include "peers/known_peers.h"

namespace qur {

const char* acceptPolicyName(AcceptPolicy policy) {
  switch (policy) {
    case AcceptPolicy::Auto:
      return "auto";
    case AcceptPolicy::Never:
      return "never";
    case AcceptPolicy::Ask:
      break;
  }
  return "ask";
}

Gatekeeper::Gatekeeper(const std::filesystem::path& configDirectory, AcceptPolicy policy, Emit emit)
    : _policy(policy),
      _emit(std::move(emit)),
      _knownPeers(std::make_unique<KnownPeers>(configDirectory)) {}

Gatekeeper::~Gatekeeper() {
  for (auto& pending : _pendingTable) pending.reply(false);
}

std::string Gatekeeper::trustOf(const std::string& name,
                                const peers::Identifier& identifier) const {
  const KeyTrust trust = _knownPeers->lookup(name, identifier);
  return trust == KeyTrust::Match ? "known" : trust == KeyTrust::KeyChanged ? "key changed" : "new";
}

void Gatekeeper::publishPending() {
  std::vector<Invitation> pending;
  for (const auto& item : _pendingTable) pending.push_back(item.invitation);
  _pending.set(pending);
}

void Gatekeeper::invitationArrived(const PeerID& peer, const std::string& address,
                                   std::function<void(bool)> reply) {
  if (_closed) return reply(false);
  _goneInvitation.clear();
  Invitation invitation;
  invitation.id = _nextInvitationId++;
  invitation.peer = peer.displayName();
  invitation.identifier = peer.identifierString();
  invitation.address = address;
  invitation.fingerprint = peers::fingerprintForIdentifier(peer.identifier());
  invitation.trust = trustOf(peer.displayName(), peer.identifier());
  // Someone else may be using the name: the user must look before anyone gets in.
  AcceptPolicy policy = _policy;
  if (invitation.trust == "key changed") {
    QUR_LOG_ERROR("Key changed for %s: it now has fingerprint %s, not the pinned key",
                  peer.displayName().c_str(), invitation.fingerprint.c_str());
    if (policy == AcceptPolicy::Auto) policy = AcceptPolicy::Ask;
  }
  _emit({.kind = AppEvent::Kind::Invitation, .invitation = invitation, .policy = policy});
  // One question at a time: a newer invitation declines an unanswered one.
  if (policy == AcceptPolicy::Ask) {
    while (!_pendingTable.empty()) answer(0, false);
  }
  _pendingTable.push_back({invitation, std::move(reply)});
  if (policy != AcceptPolicy::Ask) {
    answer(_pendingTable.size() - 1, policy == AcceptPolicy::Auto);
    return;
  }
  publishPending();
}

void Gatekeeper::answer(std::size_t index, bool accept) {
  auto pending = std::move(_pendingTable[index]);
  _pendingTable.erase(_pendingTable.begin() + std::ptrdiff_t(index));
  publishPending();
  _emit({.kind = AppEvent::Kind::InvitationAnswered,
         .peer = pending.invitation.peer,
         .value = accept,
         .invitation = pending.invitation});
  // Accepting is trusting this key for the name from now on.
  if (accept && pending.invitation.trust != "known") {
    if (auto id = peers::identifierFromHex(pending.invitation.identifier))
      _knownPeers->pin(pending.invitation.peer, *id);
  }
  pending.reply(accept);
}

bool Gatekeeper::answerInvitation(bool accept, std::uint64_t id, std::string* error) {
  if (_pendingTable.empty()) {
    *error = _goneInvitation.empty() ? "no invitation to answer" : _goneInvitation;
    return false;
  }
  std::size_t index = _pendingTable.size() - 1;
  if (id != 0) {
    const auto it = std::find_if(_pendingTable.begin(), _pendingTable.end(),
                                 [&](const auto& item) { return item.invitation.id == id; });
    if (it == _pendingTable.end()) {
      *error = "that invitation is no longer pending";
      return false;
    }
    index = std::size_t(it - _pendingTable.begin());
  }
  answer(index, accept);
  return true;
}

void Gatekeeper::invitationEnded(const PeerID& peer, const std::string& outcome) {
  const std::string identifier = peer.identifierString();
  const auto it = std::find_if(_pendingTable.begin(), _pendingTable.end(), [&](const auto& item) {
    return item.invitation.identifier == identifier;
  });
  if (it == _pendingTable.end()) return;
  const Invitation invitation = it->invitation;
  _pendingTable.erase(it);
  publishPending();
  _goneInvitation =
      "the invitation from " + peer.displayName() + " is gone: it " + invitationEndWords(outcome);
  _emit({.kind = AppEvent::Kind::InvitationResult,
         .peer = peer.displayName(),
         .value = true,
         .reason = outcome,
         .invitation = invitation});
}

void Gatekeeper::close() {
  _closed = true;
  auto pending = std::move(_pendingTable);
  _pendingTable.clear();
  for (auto& item : pending) item.reply(false);
  _pending.set({});
}

std::optional<NearbyPeer> Gatekeeper::invitee(const std::string& name,
                                              const std::vector<NearbyPeer>& nearby,
                                              std::string* error) const {
  // The newest announcement wins: a device that restarted under the same
  // name may still be listed under its old identity for a while.
  std::optional<NearbyPeer> target;
  for (const auto& peer : nearby) {
    if (peer.peer.displayName() == name) target = peer;
  }
  if (!target) *error = "no nearby peer named '" + name + "' (try 'peers')";
  return target;
}

}  // namespace qur
