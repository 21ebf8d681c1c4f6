// A peer's identity: the name shown to users and a random identifier that
// tells devices apart (two devices may share a name; never an identifier).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "peers/protocol.h"

namespace qur {

class DeviceIdentity;

class PeerID {
 public:
  // A new local identity with a fresh key kept in memory only. The name is
  // cleaned to a valid display name (at most 63 bytes of UTF-8, no control
  // characters); an empty name means the host name.
  explicit PeerID(std::string_view displayName = {});
  // The local identity of the device that holds this key; the identifier is
  // the key's hash.
  PeerID(std::string_view displayName, std::shared_ptr<const DeviceIdentity> identity);
  // An identity as a remote peer announced it; nullopt when the name is invalid.
  static std::optional<PeerID> fromWire(std::string displayName,
                                        const peers::Identifier& identifier);
  // The device's host name, cleaned to a valid display name.
  static std::string defaultDisplayName();

  const std::string& displayName() const { return _displayName; }
  const peers::Identifier& identifier() const { return _identifier; }
  std::string identifierString() const { return peers::identifierToHex(_identifier); }
  // The key behind a local identity; null for a remote peer's.
  const std::shared_ptr<const DeviceIdentity>& localIdentity() const { return _identity; }
  // "name (abcd1234)" for log lines.
  std::string description() const;

  bool operator==(const PeerID& other) const { return _identifier == other._identifier; }
  bool operator!=(const PeerID& other) const { return !(*this == other); }
  bool operator<(const PeerID& other) const { return _identifier < other._identifier; }

 private:
  PeerID(std::string displayName, const peers::Identifier& identifier)
      : _displayName(std::move(displayName)), _identifier(identifier) {}

  std::string _displayName;
  peers::Identifier _identifier{};
  std::shared_ptr<const DeviceIdentity> _identity;
};

}  // namespace qur

template <>
struct std::hash<qur::PeerID> {
  std::size_t operator()(const qur::PeerID& peer) const noexcept {
    std::size_t h = 0;
    for (auto b : peer.identifier()) h = h * 131 + b;
    return h;
  }
};
