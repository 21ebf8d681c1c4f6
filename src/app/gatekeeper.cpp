#include "app/gatekeeper.h"

#include <algorithm>
#include <cctype>

#include "app/app_event_lines.h"
#include "app/walkie_talkie_app.h"
#include "log/log.h"
#include "peers/device_identity.h"
#include "peers/display_name.h"
#include "peers/log_limiter.h"

namespace qur {

namespace {

using Clock = std::chrono::steady_clock;

// At least this many hex digits pick a device by its identifier.
constexpr std::size_t kMinimumPrefix = 4;

bool isHexPrefix(const std::string& text) {
  return text.size() >= kMinimumPrefix && text.size() <= 2 * peers::kIdentifierSize &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(c); });
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

std::string shortIdentifier(const std::string& identifier) {
  return identifier.substr(0, 8);
}

// "abcd1234 (key ABCD EFGH IJKL MNOP, new)"
std::string deviceWords(const std::string& identifier, const std::string& fingerprint,
                        const std::string& trust) {
  return shortIdentifier(identifier) + " (key " + fingerprint + ", " + trust + ")";
}

// Outsiders choose when these happen: one line, then a count.
peers::LogLimiter& floodLog() {
  static peers::LogLimiter limiter;
  return limiter;
}

peers::LogLimiter& impostorLog() {
  static peers::LogLimiter limiter;
  return limiter;
}

}  // namespace

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

std::string Trust::words() const {
  switch (state) {
    case State::Known:
      return otherName ? "known as " + pinnedName : "known";
    case State::KeyChanged:
      return "key changed";
    case State::LooksLike:
      return "looks like " + pinnedName;
    case State::New:
      break;
  }
  return "new";
}

Trust assessTrust(const std::vector<PinnedPeer>& pins, std::string_view name,
                  const peers::Identifier& identifier) {
  using State = Trust::State;
  for (const auto& pin : pins) {
    if (pin.displayName != name) continue;
    return {pin.identifier == identifier ? State::Known : State::KeyChanged, pin.displayName};
  }
  // A name that only looks like a pinned one is judged by that pin.
  const std::string skeleton = peers::displayNameSkeleton(name);
  std::optional<Trust> lookalike;
  for (const auto& pin : pins) {
    if (peers::displayNameSkeleton(pin.displayName) != skeleton) continue;
    if (pin.identifier == identifier) return {State::Known, pin.displayName, true};
    if (!lookalike) lookalike = Trust{State::LooksLike, pin.displayName};
  }
  if (lookalike) return *lookalike;
  // A known key under a new name (renamed after a name conflict, say): the
  // user is shown under which name it was accepted.
  for (const auto& pin : pins)
    if (pin.identifier == identifier) return {State::Known, pin.displayName, true};
  return {};
}

Gatekeeper::Gatekeeper(const std::filesystem::path& configDirectory, AcceptPolicy policy, Emit emit,
                       std::function<void()> pinsChanged)
    : _policy(policy),
      _emit(std::move(emit)),
      _pinsChanged(std::move(pinsChanged)),
      _knownPeers(std::make_unique<KnownPeers>(configDirectory)) {}

std::string Gatekeeper::pinsProblem() const {
  return _knownPeers->problem();
}

bool Gatekeeper::isPinned(const peers::Identifier& identifier) const {
  return _knownPeers->isPinned(identifier);
}

Gatekeeper::~Gatekeeper() {
  for (auto& pending : _queue) pending.reply(false);
}

Trust Gatekeeper::trustOf(const std::string& name, const peers::Identifier& identifier) const {
  return assessTrust(_knownPeers->list(), name, identifier);
}

std::vector<NearbyDevice> Gatekeeper::describe(const std::vector<NearbyPeer>& nearby) const {
  const auto pins = _knownPeers->list();
  std::vector<NearbyDevice> devices;
  for (const auto& peer : nearby) {
    devices.push_back({peer.peer.displayName(), peer.peer.identifierString(),
                       peers::fingerprintForIdentifier(peer.peer.identifier()),
                       assessTrust(pins, peer.peer.displayName(), peer.peer.identifier()),
                       peer.endpoint.address});
  }
  return devices;
}

// ---- devices that want in ------------------------------------------------------

void Gatekeeper::publishPending() {
  std::vector<Invitation> pending;
  for (const auto& item : _queue) {
    pending.push_back(item.invitation);
    pending.back().waiting = pending.size() - 1;
  }
  _pending.set(pending);
}

void Gatekeeper::requestArrived(const Request& request, std::function<void(bool)> reply) {
  if (_closed) return reply(false);
  const PeerID& peer = request.peer;
  const Trust trust = trustOf(peer.displayName(), peer.identifier());
  Invitation invitation;
  invitation.peer = peer.displayName();
  invitation.identifier = peer.identifierString();
  invitation.address = request.address;
  invitation.fingerprint = peers::fingerprintForIdentifier(peer.identifier());
  invitation.trust = trust.words();
  if (request.member) invitation.introducedBy = request.member->displayName();
  // Someone else may be using the name: the user must look before anyone gets in.
  AcceptPolicy policy = _policy;
  if (!trust.automatic()) {
    if (auto quiet = impostorLog().admit()) {
      QUR_LOG_WARN(
          "%s for %s: it has fingerprint %s, not the key pinned for %s (%zu more since the last "
          "report)",
          trust.state == Trust::State::KeyChanged ? "Key changed" : "A look-alike name",
          peer.displayName().c_str(), invitation.fingerprint.c_str(), trust.pinnedName.c_str(),
          *quiet);
    }
    if (policy == AcceptPolicy::Auto) policy = AcceptPolicy::Ask;
  }
  if (policy == AcceptPolicy::Ask) {
    // Questions wait; a flood of them must not push out a colleague's.
    const auto fromThere = std::count_if(_queue.begin(), _queue.end(), [&](const Pending& p) {
      return p.invitation.address == request.address;
    });
    const bool full = std::size_t(fromThere) >= kMaxWaitingPerAddress ||
                      (_queue.size() >= kMaxWaiting && trust.state != Trust::State::Known);
    if (full) {
      if (auto quiet = floodLog().admit()) {
        QUR_LOG_WARN(
            "Declining %s at %s: too many questions wait already (%zu more declined since the "
            "last report)",
            peer.description().c_str(), request.address.c_str(), *quiet);
      }
      return reply(false);
    }
  }
  invitation.id = _nextInvitationId++;
  invitation.waiting = policy == AcceptPolicy::Ask ? _queue.size() : 0;
  _emit({.kind = AppEvent::Kind::Invitation, .invitation = invitation, .policy = policy});
  if (policy != AcceptPolicy::Ask) {
    _emit({.kind = AppEvent::Kind::InvitationAnswered,
           .peer = invitation.peer,
           .value = policy == AcceptPolicy::Auto,
           .invitation = invitation});
    if (policy == AcceptPolicy::Auto) pin(invitation.peer, invitation.identifier, invitation.trust);
    return reply(policy == AcceptPolicy::Auto);
  }
  if (_queue.empty()) _goneInvitation.clear();
  _queue.push_back({invitation, std::move(reply)});
  publishPending();
}

Gatekeeper::Pending Gatekeeper::remove(std::size_t index, bool answeredHere) {
  Pending item = std::move(_queue[index]);
  _queue.erase(_queue.begin() + std::ptrdiff_t(index));
  publishPending();
  if (index == 0 && !_queue.empty() && !answeredHere) _questionChangedAt = Clock::now();
  return item;
}

void Gatekeeper::answer(std::size_t index, bool accept) {
  Pending pending = remove(index, true);
  _emit({.kind = AppEvent::Kind::InvitationAnswered,
         .peer = pending.invitation.peer,
         .value = accept,
         .invitation = pending.invitation});
  // Accepting is trusting this key for the name from now on.
  if (accept) pin(pending.invitation.peer, pending.invitation.identifier, pending.invitation.trust);
  pending.reply(accept);
  if (index == 0 && !_queue.empty())
    _emit({.kind = AppEvent::Kind::InvitationShown, .invitation = _pending.get().front()});
}

bool Gatekeeper::answerInvitation(bool accept, std::uint64_t id, std::string* error) {
  if (_queue.empty()) {
    *error = _goneInvitation.empty() ? "no invitation to answer" : _goneInvitation;
    return false;
  }
  if (id == 0) {
    // The question changed while the user was answering the one before.
    if (Clock::now() - _questionChangedAt < kChangedQuestionGrace) {
      const Invitation& now = _queue.front().invitation;
      *error = _goneInvitation + "; the question now is about " + now.peer + " (" +
               shortIdentifier(now.identifier) + "): answer again";
      return false;
    }
    answer(0, accept);
    return true;
  }
  const auto it = std::find_if(_queue.begin(), _queue.end(),
                               [&](const auto& item) { return item.invitation.id == id; });
  if (it == _queue.end()) {
    *error = "that invitation is no longer pending";
    return false;
  }
  answer(std::size_t(it - _queue.begin()), accept);
  return true;
}

bool Gatekeeper::answerInvitation(bool accept, const std::string& who, std::string* error) {
  std::vector<std::size_t> matches;
  for (std::size_t i = 0; i < _queue.size(); ++i)
    if (_queue[i].invitation.peer == who) matches.push_back(i);
  if (matches.empty() && isHexPrefix(who)) {
    for (std::size_t i = 0; i < _queue.size(); ++i)
      if (_queue[i].invitation.identifier.rfind(lowered(who), 0) == 0) matches.push_back(i);
  }
  if (matches.empty()) {
    *error = "no invitation from '" + who + "' is waiting";
    return false;
  }
  if (matches.size() > 1) {
    std::string which;
    for (auto i : matches) {
      const Invitation& item = _queue[i].invitation;
      which +=
          (which.empty() ? "" : "; ") + deviceWords(item.identifier, item.fingerprint, item.trust);
    }
    *error = std::to_string(matches.size()) + " invitations from '" + who +
             "' are waiting: answer one by its identifier: " + which;
    return false;
  }
  answer(matches.front(), accept);
  return true;
}

void Gatekeeper::requestEnded(const PeerID& peer, const std::string& outcome) {
  // An answer given here was told when it was given; the session answers
  // on its own only when we invited the device too.
  if (outcome == "declined") return;
  const std::string identifier = peer.identifierString();
  const auto it = std::find_if(_queue.begin(), _queue.end(), [&](const auto& item) {
    return item.invitation.identifier == identifier;
  });
  if (it == _queue.end()) return;
  const std::size_t index = std::size_t(it - _queue.begin());
  const bool accepted = outcome == "accepted";
  const Pending item = remove(index, accepted);
  if (!accepted) {
    _goneInvitation =
        "the invitation from " + peer.displayName() + " is gone: it " + invitationEndWords(outcome);
  }
  _emit({.kind = AppEvent::Kind::InvitationResult,
         .peer = peer.displayName(),
         .value = true,
         .reason = outcome,
         .invitation = item.invitation});
  if (index == 0 && !_queue.empty())
    _emit({.kind = AppEvent::Kind::InvitationShown, .invitation = _pending.get().front()});
}

void Gatekeeper::close() {
  _closed = true;
  auto pending = std::move(_queue);
  _queue.clear();
  for (auto& item : pending) item.reply(false);
  _pending.set({});
}

bool Gatekeeper::pin(const std::string& name, const std::string& identifier,
                     const std::string& trust) {
  if (trust.rfind("known", 0) == 0) return false;
  const auto id = peers::identifierFromHex(identifier);
  if (!id || !_knownPeers->pin(name, *id)) return false;
  if (_pinsChanged) _pinsChanged();
  return true;
}

// ---- our invitations -----------------------------------------------------------

std::optional<NearbyPeer> Gatekeeper::invitee(const std::string& target,
                                              const std::vector<NearbyPeer>& nearby,
                                              std::string* error) {
  _held.reset();
  const auto pinned = _knownPeers->pinned(target);
  // A pinned name goes to its key, whatever name that device uses now.
  if (pinned) {
    for (const auto& peer : nearby)
      if (peer.peer.identifier() == *pinned) return peer;
  }
  std::vector<NearbyPeer> named;
  for (const auto& peer : nearby)
    if (peer.peer.displayName() == target) named.push_back(peer);
  if (named.empty() && isHexPrefix(target)) {
    for (const auto& peer : nearby)
      if (peer.peer.identifierString().rfind(lowered(target), 0) == 0) named.push_back(peer);
  }
  if (named.empty()) {
    *error = "no nearby peer named '" + target + "'" +
             (pinned ? " has the key accepted for it" : "") + " (try 'peers')";
    return std::nullopt;
  }
  if (named.size() > 1) {
    std::string which;
    for (const auto& device : describe(named))
      which += (which.empty() ? "" : "; ") +
               deviceWords(device.identifier, device.fingerprint, device.trust.words());
    *error = std::to_string(named.size()) + " nearby devices answer to '" + target +
             "': invite one by its identifier: " + which;
    return std::nullopt;
  }
  const NearbyPeer& device = named.front();
  const Trust trust = trustOf(device.peer.displayName(), device.peer.identifier());
  if (trust.automatic()) return device;
  // Another key answers to a name the user trusts: never without the user.
  _held = device;
  Invitation held;
  held.peer = device.peer.displayName();
  held.identifier = device.peer.identifierString();
  held.address = device.endpoint.address;
  held.fingerprint = peers::fingerprintForIdentifier(device.peer.identifier());
  held.trust = trust.words();
  _emit({.kind = AppEvent::Kind::InviteUnconfirmed, .peer = held.peer, .invitation = held});
  *error = "not invited: " + held.peer + " (" + shortIdentifier(held.identifier) + ") is " +
           (trust.state == Trust::State::KeyChanged ? "not the key accepted for " + trust.pinnedName
                                                    : "a look-alike of " + trust.pinnedName) +
           "; 'confirm' invites it anyway";
  return std::nullopt;
}

std::optional<NearbyPeer> Gatekeeper::confirm(const std::vector<NearbyPeer>& nearby,
                                              std::string* error) {
  if (!_held) {
    *error = "nothing to confirm: 'invite NAME' first";
    return std::nullopt;
  }
  const PeerID held = _held->peer;
  _held.reset();
  for (const auto& peer : nearby) {
    if (peer.peer != held) continue;
    approve(peer.peer);
    return peer;
  }
  *error = held.displayName() + " is no longer nearby";
  return std::nullopt;
}

void Gatekeeper::approve(const PeerID& peer) {
  std::lock_guard lock(_approvalMutex);
  const auto now = Clock::now();
  std::erase_if(_approved, [&](const auto& entry) { return entry.second < now; });
  _approved[{peer.displayName(), peer.identifier()}] = now + kConfirmationLifetime;
}

bool Gatekeeper::inviteeAllowed(const PeerID& invitee) {
  const Trust trust = trustOf(invitee.displayName(), invitee.identifier());
  if (trust.automatic()) return true;
  std::lock_guard lock(_approvalMutex);
  const auto found = _approved.find({invitee.displayName(), invitee.identifier()});
  if (found != _approved.end() && found->second >= Clock::now()) return true;
  QUR_LOG_WARN("Not inviting %s: %s, and the user did not confirm it",
               invitee.description().c_str(), trust.words().c_str());
  _refusals[invitee.identifier()] =
      invitee.displayName() + " answered with " +
      (trust.state == Trust::State::KeyChanged ? "another key than the one accepted for the name"
                                               : "a name that looks like " + trust.pinnedName);
  return false;
}

std::string Gatekeeper::refusal(const peers::Identifier& identifier) {
  std::lock_guard lock(_approvalMutex);
  const auto found = _refusals.find(identifier);
  if (found == _refusals.end()) return {};
  std::string why = std::move(found->second);
  _refusals.erase(found);
  return why;
}

void Gatekeeper::inviteAccepted(const PeerID& peer) {
  const Trust trust = trustOf(peer.displayName(), peer.identifier());
  // Only a key let through on its own or confirmed by the user gets here.
  pin(peer.displayName(), peer.identifierString(), trust.words());
}

}  // namespace qur
