// The two files a user or a damaged disk can hand us: the device key (PEM)
// and the pinned peers list. First byte picks which.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "peers/device_identity.h"
#include "peers/known_peers.h"

using namespace qur;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    if (auto identity = DeviceIdentity::fromPem(text)) {
      // A key that loads must come back the same through its own file form.
      auto again = DeviceIdentity::fromPem(identity->toPem());
      if (!again || again->identifier() != identity->identifier()) __builtin_trap();
    }
    return 0;
  }
  const auto parsed = peers::parseKnownPeers(text);
  int bad = 0;
  std::string rewritten;
  for (const auto& line : parsed.lines) {
    if (!line.entry || line.repeated) ++bad;
    if (line.entry && !peers::isValidDisplayName(line.entry->displayName)) __builtin_trap();
    // A pin written back must read back as the same pin.
    if (line.entry) {
      const auto back = peers::parseKnownPeers(peers::formatPinLine(*line.entry));
      if (back.lines.size() != 1 || back.lines[0].entry != line.entry) __builtin_trap();
    }
    rewritten += line.text;
    rewritten += '\n';
  }
  // Comment and blank lines are neither pins nor bad; never more bad than lines.
  if (parsed.badLines > bad || parsed.badLines < 0) __builtin_trap();
  // Rewriting the lines as kept gives the same pins.
  const auto again = peers::parseKnownPeers(rewritten);
  if (again.lines.size() != parsed.lines.size()) __builtin_trap();
  for (std::size_t i = 0; i < again.lines.size(); ++i)
    if (again.lines[i].entry != parsed.lines[i].entry) __builtin_trap();
  return 0;
}
