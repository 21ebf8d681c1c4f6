// What a browser does with a resolved service from the network: the TXT
// data as it travels, and the instance name, turned into a listed peer.
// Input: one byte of name length, the name, then the TXT data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "peers/discovery.h"
#include "peers/peer_browser.h"
#include "peers/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t nameSize = std::min<std::size_t>(data[0], size - 1);
  qur::ServiceInstance instance;
  instance.name.assign(reinterpret_cast<const char*>(data + 1), nameSize);
  instance.address = "10.0.0.1";
  instance.port = 4000;
  instance.txt = qur::txtRecordFromWire(std::span(data + 1 + nameSize, size - 1 - nameSize));
  static const qur::PeerID local("fuzz");
  std::string reason;
  auto peer = qur::nearbyPeerFromService(instance, local, &reason);
  if (!peer) return 0;
  if (!qur::peers::isValidDisplayName(peer->peer.displayName())) __builtin_trap();
  if (peer->peer == local || instance.txt.at("v") != std::to_string(qur::peers::kProtocolVersion))
    __builtin_trap();
  const auto again = qur::peers::identifierFromHex(peer->peer.identifierString());
  if (!again || *again != peer->peer.identifier()) __builtin_trap();
  if (peer->serviceName != instance.name || peer->endpoint.port != 4000) __builtin_trap();
  return 0;
}
