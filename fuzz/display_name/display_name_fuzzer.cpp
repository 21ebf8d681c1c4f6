// Display names as they come off the network (hellos, introductions, mDNS
// instance names) and from the command line: whatever the bytes, the
// normaliser either refuses them or gives a name that every check accepts.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "peers/display_name.h"
#include "peers/protocol.h"

using namespace qur::peers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NameProblem problem = NameProblem::None;
  const auto name = normalizeDisplayName(text, &problem);
  if (name.has_value() != (problem == NameProblem::None)) __builtin_trap();
  if (name) {
    // What is shown is what is sent: normal already, and stays so.
    if (name->empty() || name->size() > kMaxDisplayNameBytes) __builtin_trap();
    if (!isValidDisplayName(*name)) __builtin_trap();
    if (normalizeDisplayName(*name) != name) __builtin_trap();
    // Every name has something to compare by.
    if (displayNameSkeleton(*name).empty()) __builtin_trap();
  }
  // Anything can be cleaned into a name that passes.
  const std::string cleaned = sanitizeDisplayName(text);
  if (!isValidDisplayName(cleaned)) __builtin_trap();
  if (isValidDisplayName(text) && cleaned != text) __builtin_trap();
  return 0;
}
