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

  void start();
  void stop();
  bool isStarted() const;

  // Replaces the default handler for this advertiser (applies at the next start).
  void setInvitationHandler(InvitationHandler handler);
  const std::shared_ptr<PeerSession>& session() const { return _session; }
  const std::string& serviceType() const { return _serviceType; }
  // The instance name on the network, which differs from the display name
  // after a name conflict; empty until published.
  std::string publishedName() const;

 private:
  const std::string _serviceType;
  const std::map<std::string, std::string> _discoveryInfo;
  const std::shared_ptr<PeerSession> _session;
  mutable std::mutex _mutex;
  std::optional<InvitationHandler> _handler;
  std::unique_ptr<Discovery::Publication> _publication;
  bool _started = false;
};

}  // namespace qur
