// Peers whose key the user accepted, by display name: the first accepted key
// for a name is pinned, and a later device under that name with another key
// is flagged rather than trusted. A file that is a symbolic link, someone
// else's or writable by others is not read. Kept in a text file, one peer a line:
//   <32 hex digits of the identifier> <display name>
// Lines starting with '#' and blank lines are comments. The file is read
// again whenever it changed, so the command line can edit the pins of a
// running program.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "peers/protocol.h"

namespace qur {

enum class KeyTrust {
  Unknown,     // no key pinned for this name
  Match,       // the pinned key
  KeyChanged,  // another key is pinned for this name
};

const char* keyTrustName(KeyTrust trust);

struct PinnedPeer {
  std::string displayName;
  peers::Identifier identifier{};
  bool operator==(const PinnedPeer&) const = default;
};

namespace peers {
// One parsed file: the pins in file order, plus every line as written so a
// rewrite keeps comments and lines it could not read.
struct KnownPeersText {
  struct Line {
    std::string text;                 // without the line end
    std::optional<PinnedPeer> entry;  // set when the line is a pin
    bool repeated = false;            // a later pin for a name already pinned: ignored
  };
  std::vector<Line> lines;
  int badLines = 0;
  int firstBadLine = 0;  // 1-based, 0 when none
};
// Pure, for the fuzzer: never fails, any bytes.
KnownPeersText parseKnownPeers(std::string_view text);
std::string formatPinLine(const PinnedPeer& peer);
}  // namespace peers

class KnownPeers {
 public:
  static constexpr const char* kFileName = "known-peers";

  // The pins in <directory>/known-peers (empty: defaultConfigDirectory()).
  // Nothing is read or written until first used.
  explicit KnownPeers(const std::filesystem::path& directory = {});

  // Whether the identifier is the one pinned for the name. Any thread.
  KeyTrust lookup(std::string_view displayName, const peers::Identifier& identifier) const;
  // The pin for the name, if any. Any thread.
  std::optional<peers::Identifier> pinned(std::string_view displayName) const;
  // Pins the key for the name, replacing any earlier pin for it; false,
  // logged, when the file cannot be written (nothing is pinned then). Any thread.
  bool pin(std::string_view displayName, const peers::Identifier& identifier);
  // Removes the pin for the name; false when there was none or the file
  // cannot be written. Any thread.
  bool forget(std::string_view displayName);
  // Every pin, in file order. Any thread.
  std::vector<PinnedPeer> list() const;
  // Whether the key is pinned for any name. Any thread.
  bool isPinned(const peers::Identifier& identifier) const;
  // Why the pins must not be used, in words for the user: the folder or the
  // file is a symbolic link, someone else's or writable by others
  // (private_files.h). Empty when they may. Any thread.
  std::string problem() const;

  const std::filesystem::path& path() const { return _path; }

 private:
  // With _mutex held: the file as it is now, read again if it changed.
  const peers::KnownPeersText* current() const;
  bool rewrite(const peers::KnownPeersText& text);

  std::filesystem::path _directory;
  std::filesystem::path _path;
  mutable std::mutex _mutex;
  mutable peers::KnownPeersText _text;
  mutable bool _readable = false;
  mutable std::pair<int, int> _reported{0, 0};
  mutable std::string _problem;  // why the file must not be trusted, once reported
  mutable std::optional<std::tuple<long long, long long, long long, long long>> _stamp;
};

}  // namespace qur
