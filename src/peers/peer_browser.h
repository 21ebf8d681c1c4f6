// The browser "screen" as a headless model: the nearby peers that advertise
// the service type, an invite operation into the session, and the finish and
// cancel answers a user gives. The CLI and the Qt screen both drive it.
// Browsing does not depend on the session: a replaced session is followed
// without browsing again, so the list does not flap.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "peers/discovery.h"
#include "peers/peer_session.h"
#include "peers/split_delegate.h"

namespace qur {

class PeerBrowser;

class PeerBrowserDelegate {
 public:
  virtual ~PeerBrowserDelegate() = default;
  virtual void browserViewControllerDidFinish(PeerBrowser& browser) = 0;
  virtual void browserViewControllerWasCancelled(PeerBrowser& browser) = 0;
};

struct NearbyPeer {
  PeerID peer;  // its display name is the advertised instance name
  PeerEndpoint endpoint;
  std::string serviceName;  // the advertised instance name
};

// The peer a resolved service stands for; nullopt (and the reason) for one
// to skip: no or a malformed identifier, another protocol version, an
// invalid name, or ourselves (reason left empty: not worth a log line).
std::optional<NearbyPeer> nearbyPeerFromService(const ServiceInstance& instance,
                                                const PeerID& local, std::string* reason);

// Hears every peer state change of the sessions (through the split delegate)
// to re-check peers that were lost or could not be reached.
class PeerBrowser : public std::enable_shared_from_this<PeerBrowser>,
                    public MultipeerPeerStateDelegate {
 public:
  // How long a re-check waits for the peer's port to answer.
  static constexpr int kRecheckTimeoutMs = 3000;
  // A peer that did not answer is asked again 1, 2 and 4 s later, then every
  // kRetryCapMs while its records stay cached; it is listed again once it answers.
  static constexpr int kRetryCapMs = 5000;

  static std::shared_ptr<PeerBrowser> create(std::string serviceType,
                                             std::shared_ptr<PeerSession> session);
  ~PeerBrowser();
  PeerBrowser(const PeerBrowser&) = delete;
  PeerBrowser& operator=(const PeerBrowser&) = delete;

  // Counting the local peer; invite() admits no more than this.
  void setMaximumNumberOfPeers(std::size_t count);
  std::size_t maximumNumberOfPeers() const;

  void setDelegate(std::weak_ptr<PeerBrowserDelegate> delegate);
  std::shared_ptr<PeerBrowserDelegate> delegate() const;

  // Browsing runs while the browser is shown.
  void start();
  void stop();
  bool isBrowsing() const;

  // Resolved peers in the order they appeared, without ourselves.
  std::vector<NearbyPeer> nearbyPeers() const;
  // Called on the transport thread after every change of the list.
  void setNearbyPeersChangedHandler(std::function<void(const std::vector<NearbyPeer>&)> handler);

  // Invites a listed peer into the session. False when it is not listed or
  // the session already holds maximumNumberOfPeers (counting ourselves).
  bool invite(const PeerID& peer);

  // Asks whether a listed peer is still there: its advertised port is dialled
  // and, unless it answers TLS within kRecheckTimeoutMs, the peer leaves the
  // list instead of waiting for its records to expire; it is listed again
  // when it is announced anew, answers a later check or connects. A peer
  // that is connected when the check ends stays. Any thread; nothing when
  // it is not listed.
  void recheck(const PeerID& peer);
  // A peer that is no longer connected, or could not be reached, is
  // re-checked; one that connected is listed again. Any thread.
  void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>& session, const PeerID& peer,
                                 PeerSessionState state) override;

  // The user is done (finish) or gave up (cancel): browsing stops and the
  // delegate is told.
  void done();
  void cancel();

  std::shared_ptr<PeerSession> session() const;
  // Invitations go to this session from now on; browsing goes on untouched.
  // The session must belong to the same local peer and transport.
  void setSession(std::shared_ptr<PeerSession> session);
  const std::string& serviceType() const { return _serviceType; }

  struct State;

 private:
  PeerBrowser(std::string serviceType, std::shared_ptr<PeerSession> session);

  const std::string _serviceType;
  std::shared_ptr<PeerSession> _session;  // under _mutex
  const std::shared_ptr<Transport> _transport;
  std::shared_ptr<State> _state;
  mutable std::mutex _mutex;
  std::weak_ptr<PeerBrowserDelegate> _delegate;
  std::size_t _maximumNumberOfPeers = PeerSession::kMaximumPeers;
  std::unique_ptr<Discovery::Browse> _browse;
};

}  // namespace qur
