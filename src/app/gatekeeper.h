// Who may reach this device's microphone and speaker. One trust decision for
// every connection, whoever dials: a device's name and key are checked
// against the keys the user accepted before (by name, and by look-alike
// name), invitations and introduced devices wait in one queue for the user
// and are asked about one at a time in the order they came, and an
// invitation of ours goes only to the device with the key pinned for the
// name, or, for another key, only once the user confirmed it. The facade
// holds one; the command-line program and the window ask it through the
// facade, the session through the facade's handlers.
//
// Threads: main thread, except where a method says otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peers/known_peers.h"
#include "peers/peer_browser.h"
#include "peers/peer_id.h"
#include "signals/property.h"

namespace qur {

struct AppEvent;

enum class AcceptPolicy { Ask, Auto, Never };
const char* acceptPolicyName(AcceptPolicy policy);

// A device's key against the pins.
struct Trust {
  enum class State {
    New,         // nothing pinned for the key, the name or a look-alike of it
    Known,       // the key pinned for the name (or, under another name, for pinnedName)
    KeyChanged,  // another key is pinned for the name
    LooksLike,   // another key is pinned for a name that looks the same (pinnedName)
  };
  State state = State::New;
  // The pinned name the verdict refers to; empty for New.
  std::string pinnedName;
  // Known: the key is pinned under another name than the device gives.
  bool otherName = false;
  // "new", "known", "known as NAME", "key changed" or "looks like NAME".
  std::string words() const;
  // Whether a device may be let in without the user (New or Known).
  bool automatic() const { return state == State::New || state == State::Known; }
  bool operator==(const Trust&) const = default;
};

// The verdict for a device of that name and key. Pure; the name is a valid
// display name.
Trust assessTrust(const std::vector<PinnedPeer>& pins, std::string_view name,
                  const peers::Identifier& identifier);

// A device in the nearby list, as the faces show it.
struct NearbyDevice {
  std::string name;        // as it advertises itself
  std::string identifier;  // 32 hex digits
  std::string fingerprint;
  Trust trust;
  std::string address;
  bool operator==(const NearbyDevice&) const = default;
};

struct Invitation {
  std::uint64_t id = 0;
  std::string peer;        // the inviter's display name
  std::string identifier;  // the inviter's identifier, in hex
  // Where the invitation comes from; empty when the session no longer knows.
  std::string address;
  // The inviter's key, for people to compare: "ABCD EFGH IJKL MNOP".
  std::string fingerprint;
  // Trust::words(): "new", "known", "key changed" or "looks like NAME" (the
  // last two never accepted without the user).
  std::string trust;
  // A device a connected member introduced: that member's name; empty for
  // an invitation.
  std::string introducedBy;
  // How many questions wait before this one (0: it is the one asked now).
  std::size_t waiting = 0;
};

class Gatekeeper {
 public:
  using Emit = std::function<void(const AppEvent&)>;
  // Bounds of the questions waiting for the user: per address the device
  // connected from, and in all (devices whose key is pinned may pass the
  // latter, so strangers cannot crowd out a colleague).
  static constexpr std::size_t kMaxWaitingPerAddress = 4;
  static constexpr std::size_t kMaxWaiting = 16;
  // A bare answer given this soon after the question changed under the
  // user (the one shown went away) is refused: it was meant for that one.
  static constexpr std::chrono::milliseconds kChangedQuestionGrace{1000};
  // How long a confirmed key stays confirmed for the invitation it was for.
  static constexpr std::chrono::seconds kConfirmationLifetime{60};

  // Pins live in <configDirectory>/known-peers (empty: the default folder).
  // pinsChanged runs after every pin this makes.
  Gatekeeper(const std::filesystem::path& configDirectory, AcceptPolicy policy, Emit emit,
             std::function<void()> pinsChanged);
  // Unanswered questions are declined rather than left hanging.
  ~Gatekeeper();
  Gatekeeper(const Gatekeeper&) = delete;
  Gatekeeper& operator=(const Gatekeeper&) = delete;

  AcceptPolicy policy() const { return _policy; }
  // Why the pins must not be used (someone else could have written them);
  // empty when they may. Any thread.
  std::string pinsProblem() const;
  // Whether the key is pinned for any name. Any thread.
  bool isPinned(const peers::Identifier& identifier) const;
  // Any thread.
  Trust trustOf(const std::string& name, const peers::Identifier& identifier) const;

  // ---- devices that want in ----------------------------------------------

  struct Request {
    PeerID peer;  // hello name and proven key (or the introduction's)
    std::string address;
    std::optional<PeerID> member;  // set: a device this member introduced
  };
  // reply(true) lets the device in; the policy, the trust and the user decide.
  void requestArrived(const Request& request, std::function<void(bool)> reply);
  // id 0: the question shown now. False with a reason in words.
  bool answerInvitation(bool accept, std::uint64_t id, std::string* error);
  // The waiting question from that name, or whose identifier starts with
  // the hex digits.
  bool answerInvitation(bool accept, const std::string& who, std::string* error);
  // A question ended without our answer, or was answered by the session
  // (outcome: an event key such as "accepted", "timed_out" or "withdrawn").
  void requestEnded(const PeerID& peer, const std::string& outcome);
  // The waiting questions, the one asked now first.
  const Property<std::vector<Invitation>>& pendingInvitations() const { return _pending; }
  // Declines whatever waits; later requests are declined at once.
  void close();

  // ---- our invitations ------------------------------------------------------

  // The nearby device an invitation to `target` (a name, or the first hex
  // digits of an identifier) goes to; nullopt with the reason in *error.
  // A pinned name goes to the pinned key only; a device whose key changed or
  // that looks like a pinned name is held for confirm() and told as an
  // event.
  std::optional<NearbyPeer> invitee(const std::string& target,
                                    const std::vector<NearbyPeer>& nearby, std::string* error);
  // The device held by the last invitee() call, now confirmed by the user.
  std::optional<NearbyPeer> confirm(const std::vector<NearbyPeer>& nearby, std::string* error);
  // Whether the device we dialled may be invited under the name its hello
  // gives, with the key it proved. Any thread.
  bool inviteeAllowed(const PeerID& invitee);
  // Why inviteeAllowed last refused that identifier; empty when it did not.
  // Any thread.
  std::string refusal(const peers::Identifier& identifier);
  // A device we invited accepted: its key is trusted for its name from now on.
  void inviteAccepted(const PeerID& peer);

  // The nearby list with each device's trust.
  std::vector<NearbyDevice> describe(const std::vector<NearbyPeer>& nearby) const;

 private:
  struct Pending {
    Invitation invitation;
    std::function<void(bool)> reply;
  };
  void answer(std::size_t index, bool accept);
  // Takes the item out and tells what comes next.
  Pending remove(std::size_t index, bool answeredHere);
  void publishPending();
  bool pin(const std::string& name, const std::string& identifier, const std::string& trust);
  void approve(const PeerID& peer);

  const AcceptPolicy _policy;
  const Emit _emit;
  const std::function<void()> _pinsChanged;
  std::unique_ptr<KnownPeers> _knownPeers;
  std::deque<Pending> _queue;
  std::uint64_t _nextInvitationId = 1;
  // Why the last question went away unanswered, for a late answer.
  std::string _goneInvitation;
  std::chrono::steady_clock::time_point _questionChangedAt{};
  bool _closed = false;
  Property<std::vector<Invitation>> _pending;
  // Our invitations: the device held for confirmation, and the name and
  // key pairs the user confirmed (read on the network thread).
  std::optional<NearbyPeer> _held;
  mutable std::mutex _approvalMutex;
  std::map<std::pair<std::string, peers::Identifier>, std::chrono::steady_clock::time_point>
      _approved;
  std::map<peers::Identifier, std::string> _refusals;
};

}  // namespace qur
