// Makes the local peer discoverable: publishes the session's port under the
// service type with the peer's display name, and lets invitations into the
// session while started.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "peers/discovery.h"
#include "peers/peer_session.h"

namespace qur {

class Advertiser {
 public:
  // The handler new advertisers use; without one every invitation is declined.
  static void setDefaultInvitationHandler(InvitationHandler handler);
  static InvitationHandler defaultInvitationHandler();

  Advertiser(std::string serviceType, std::map<std::string, std::string> discoveryInfo,
             std::shared_ptr<PeerSession> session);
  ~Advertiser();
  Advertiser(const Advertiser&) = delete;
  Advertiser& operator=(const Advertiser&) = delete;

  // The wanted display name, or "name #2" (#3...) when another device
  // advertises it already: what a new local peer should be called, so its
  // hello, its screen and its advertisement all say the same. Blocks for
  // about a second while the network is asked (see Discovery). Any thread.
  static std::string availableDisplayName(const std::string& serviceType,
                                          const std::string& wanted);

  void start();
  void stop();
  bool isStarted() const;
  // Invitations go to the new session from now on. The advertisement stays
  // as it is (no goodbye, nothing for browsers to flap on) unless the port
  // or identity changed. Any thread.
  void setSession(std::shared_ptr<PeerSession> session);

  // Replaces the default handler for this advertiser (applies at the next start).
  void setInvitationHandler(InvitationHandler handler);
  std::shared_ptr<PeerSession> session() const;
  const std::string& serviceType() const { return _serviceType; }
  // The instance name on the network, which differs from the display name
  // after a name conflict; empty until published.
  std::string publishedName() const;

 private:
  const std::string _serviceType;
  const std::map<std::string, std::string> _discoveryInfo;
  void publishLocked();

  std::shared_ptr<PeerSession> _session;
  mutable std::mutex _mutex;
  std::optional<InvitationHandler> _handler;
  InvitationHandler _activeHandler;  // while started
  std::unique_ptr<Discovery::Publication> _publication;
  bool _started = false;
};

}  // namespace qur
