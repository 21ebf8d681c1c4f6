// Who may reach this device's microphone and speaker: the trust of every
// device (its key against the keys the user accepted before), the
// invitations that wait for the user, and the device an invitation of ours
// goes to. The facade holds one; the command-line program, the window and
// the session's handlers all ask it through the facade.
//
// Threads: main thread, except where a method says otherwise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "peers/peer_browser.h"
#include "peers/peer_id.h"
#include "signals/property.h"

namespace qur {

struct AppEvent;
class KnownPeers;

enum class AcceptPolicy { Ask, Auto, Never };
const char* acceptPolicyName(AcceptPolicy policy);

struct Invitation {
  std::uint64_t id = 0;
  std::string peer;        // the inviter's display name
  std::string identifier;  // the inviter's identifier, in hex
  // Where the invitation comes from; empty when the session no longer knows.
  std::string address;
  // The inviter's key, for people to compare: "ABCD EFGH IJKL MNOP".
  std::string fingerprint;
  // The key against the one pinned for the name: "new", "known" or
  // "key changed" (never accepted without the user).
  std::string trust;
};

class Gatekeeper {
 public:
  using Emit = std::function<void(const AppEvent&)>;

  // Pins live in <configDirectory>/known-peers (empty: the default folder).
  Gatekeeper(const std::filesystem::path& configDirectory, AcceptPolicy policy, Emit emit);
  // Unanswered invitations are declined rather than left hanging.
  ~Gatekeeper();
  Gatekeeper(const Gatekeeper&) = delete;
  Gatekeeper& operator=(const Gatekeeper&) = delete;

  AcceptPolicy policy() const { return _policy; }
  KnownPeers& knownPeers() { return *_knownPeers; }

  // "new", "known" or "key changed": the key against the one pinned for the
  // name. Any thread.
  std::string trustOf(const std::string& name, const peers::Identifier& identifier) const;

  // An invitation into our session; reply(true) lets the inviter in.
  void invitationArrived(const PeerID& peer, const std::string& address,
                         std::function<void(bool)> reply);
  // id 0: the newest pending invitation. False with a reason in words.
  bool answerInvitation(bool accept, std::uint64_t id, std::string* error);
  // An invitation to us ended while it waited for the user (outcome: an
  // event key such as "timed_out" or "withdrawn").
  void invitationEnded(const PeerID& peer, const std::string& outcome);
  const Property<std::vector<Invitation>>& pendingInvitations() const { return _pending; }
  // Declines whatever waits; later invitations are declined at once.
  void close();

  // The nearby device an invitation to `name` goes to; nullopt with a
  // reason in words when there is none.
  std::optional<NearbyPeer> invitee(const std::string& name, const std::vector<NearbyPeer>& nearby,
                                    std::string* error) const;

 private:
  struct Pending {
    Invitation invitation;
    std::function<void(bool)> reply;
  };
  void answer(std::size_t index, bool accept);
  void publishPending();

  const AcceptPolicy _policy;
  const Emit _emit;
  std::unique_ptr<KnownPeers> _knownPeers;
  std::vector<Pending> _pendingTable;
  std::uint64_t _nextInvitationId = 1;
  // Why the last invitation to us went away unanswered, for a late answer.
  std::string _goneInvitation;
  bool _closed = false;
  Property<std::vector<Invitation>> _pending;
};

}  // namespace qur
