#include "peers/peer_id.h"

#include <unistd.h>

#include "peers/device_identity.h"

namespace qur {

PeerID::PeerID(std::string_view displayName) : PeerID(displayName, DeviceIdentity::generate()) {}

PeerID::PeerID(std::string_view displayName, std::shared_ptr<const DeviceIdentity> identity)
    : _displayName(
          peers::sanitizeDisplayName(displayName.empty() ? defaultDisplayName() : displayName)),
      _identity(std::move(identity)) {
  // Without a key (the crypto library failed) the identifier stays zero and
  // no session can be made for it.
  if (_identity) _identifier = _identity->identifier();
}

std::optional<PeerID> PeerID::fromWire(std::string displayName,
                                       const peers::Identifier& identifier) {
  if (!peers::isValidDisplayName(displayName)) return std::nullopt;
  return PeerID(std::move(displayName), identifier);
}

std::string PeerID::defaultDisplayName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "peer";
  return peers::sanitizeDisplayName(name);
}

std::string PeerID::description() const {
  return _displayName + " (" + identifierString().substr(0, 8) + ")";
}

}  // namespace qur
