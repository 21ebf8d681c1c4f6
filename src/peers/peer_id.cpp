#include "peers/peer_id.h"

#include <unistd.h>

#include <random>

namespace qur {

PeerID::PeerID(std::string_view displayName)
    : _displayName(
          peers::sanitizeDisplayName(displayName.empty() ? defaultDisplayName() : displayName)) {
  std::random_device device;
  for (std::size_t i = 0; i < _identifier.size(); i += 4) {
    const std::uint32_t r = device();
    for (std::size_t k = 0; k < 4; ++k)
      _identifier[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
  }
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
