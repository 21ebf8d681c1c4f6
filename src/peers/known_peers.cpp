#include "peers/known_peers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "peers/private_files.h"

namespace qur {

namespace fs = std::filesystem;

namespace {

// A line per peer: far more than anyone pins.
constexpr std::size_t kMaxFileBytes = 1024 * 1024;
constexpr const char* kHeader = "# qur-wtalkie pinned peer keys: identifier, then display name\n";

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" escapes; nullopt for a broken one.
std::optional<std::string> unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = hexValue(s[i + 1]);
    const int lo = hexValue(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>((hi << 4) | lo);
    i += 2;
  }
  return out;
}

// Holds an exclusive lock on "<file>.lock" so two programs editing the pins
// at once do not lose each other's change.
class FileLock {
 public:
  // Never through a symbolic link: it would create or lock its target.
  explicit FileLock(const fs::path& path)
      : _fd(::open((path.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                   0600)) {
    if (_fd < 0) {
      QUR_LOG_ERROR("Cannot lock %s.lock: %s", path.c_str(), std::strerror(errno));
      return;
    }
    while (::flock(_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  bool ok() const { return _fd >= 0; }
  ~FileLock() {
    if (_fd >= 0) ::close(_fd);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int _fd;
};

}  // namespace

const char* keyTrustName(KeyTrust trust) {
  switch (trust) {
    case KeyTrust::Unknown:
      return "unknown";
    case KeyTrust::Match:
      return "match";
    case KeyTrust::KeyChanged:
      return "key changed";
  }
  return "?";
}

namespace peers {

KnownPeersText parseKnownPeers(std::string_view text) {
  KnownPeersText parsed;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    while (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    KnownPeersText::Line line{std::string(raw), std::nullopt, false};
    const std::string_view body = trim(raw);
    if (!body.empty() && body.front() != '#') {
      const auto gap = std::min(body.find(' '), body.find('\t'));
      const auto id = identifierFromHex(body.substr(0, gap));
      const auto name =
          gap == std::string_view::npos ? std::nullopt : unescape(trim(body.substr(gap)));
      if (id && name && isValidDisplayName(*name)) {
        // The first pin for a name holds; a later one is kept in the file
        // but ignored, so a hand-added line cannot quietly replace a key.
        line.repeated = std::any_of(parsed.lines.begin(), parsed.lines.end(), [&](const auto& l) {
          return l.entry && l.entry->displayName == *name;
        });
        line.entry = PinnedPeer{*name, *id};
      }
      if (!line.entry || line.repeated) {
        if (parsed.badLines++ == 0) parsed.firstBadLine = number;
      }
    }
    parsed.lines.push_back(std::move(line));
  }
  return parsed;
}

std::string formatPinLine(const PinnedPeer& peer) {
  const std::string& name = peer.displayName;
  std::string out = identifierToHex(peer.identifier);
  out += ' ';
  // Escapes keep a name's outer blanks and '%' through the trimming reader.
  const std::size_t first = name.find_first_not_of(" \t");
  const std::size_t last = name.find_last_not_of(" \t");
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool outer = first == std::string::npos || i < first || i > last;
    if (c == '%' || (outer && isBlank(c))) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[static_cast<unsigned char>(c) >> 4];
      out += kHex[c & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace peers

KnownPeers::KnownPeers(const fs::path& directory)
    : _directory(directory.empty() ? peers::defaultConfigDirectory() : directory),
      _path(_directory / kFileName) {}

const peers::KnownPeersText* KnownPeers::current() const {
  struct stat st {};
  if (::lstat(_path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      QUR_LOG_ERROR("Cannot read %s: %s", _path.c_str(), std::strerror(errno));
      _readable = false;
      _stamp.reset();
      return nullptr;
    }
    _text = {};
    _readable = true;
    _problem.clear();
    _stamp.reset();
    return &_text;
  }
  const auto stamp = std::make_tuple(
      static_cast<long long>(st.st_ino), static_cast<long long>(st.st_size),
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec,
      static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec);
  if (_stamp == stamp) return _readable ? &_text : nullptr;
  _stamp = stamp;
  int error = 0;
  std::string unsafe;
  const auto contents = peers::readSmallFile(_path, kMaxFileBytes, &error, &unsafe);
  if (!contents) {
    // Pins someone else could have written are no pins: refused, and said so.
    const std::string problem = !unsafe.empty() ? unsafe
                                : error == EFBIG
                                    ? "is over 1 MiB"
                                    : std::string("cannot be read: ") + std::strerror(error);
    if (problem != _problem)
      QUR_LOG_ERROR("Known peers file %s %s", _path.c_str(), problem.c_str());
    _problem = !unsafe.empty() ? problem : std::string();
    _readable = false;
    _text = {};
    return nullptr;
  }
  _problem.clear();
  _text = peers::parseKnownPeers(*contents);
  _readable = true;
  // Reported once, not again each time a pin rewrites the same bad lines.
  const auto report = std::make_pair(_text.badLines, _text.firstBadLine);
  if (_text.badLines > 0 && report != _reported)
    QUR_LOG_ERROR("Known peers file %s: skipped %d unreadable or repeated line(s), first line %d",
                  _path.c_str(), _text.badLines, _text.firstBadLine);
  _reported = report;
  return &_text;
}

std::string KnownPeers::problem() const {
  std::lock_guard lock(_mutex);
  std::error_code missing;
  if (!fs::exists(_directory, missing)) return {};  // nothing there to distrust yet
  std::string folder;
  if (!peers::ensurePrivateDirectory(_directory, &folder)) return folder;
  current();
  return _problem.empty() ? std::string()
                          : "the file of pinned keys " + _path.string() + " " + _problem;
}

bool KnownPeers::isPinned(const peers::Identifier& identifier) const {
  std::lock_guard lock(_mutex);
  const auto* text = current();
  if (!text) return false;
  for (const auto& line : text->lines)
    if (line.entry && !line.repeated && line.entry->identifier == identifier) return true;
  return false;
}

KeyTrust KnownPeers::lookup(std::string_view displayName,
                            const peers::Identifier& identifier) const {
  const auto pin = pinned(displayName);
  if (!pin) return KeyTrust::Unknown;
  return *pin == identifier ? KeyTrust::Match : KeyTrust::KeyChanged;
}

std::optional<peers::Identifier> KnownPeers::pinned(std::string_view displayName) const {
  std::lock_guard lock(_mutex);
  const auto* text = current();
  if (!text) return std::nullopt;
  for (const auto& line : text->lines)
    if (line.entry && !line.repeated && line.entry->displayName == displayName)
      return line.entry->identifier;
  return std::nullopt;
}

std::vector<PinnedPeer> KnownPeers::list() const {
  std::lock_guard lock(_mutex);
  std::vector<PinnedPeer> out;
  if (const auto* text = current())
    for (const auto& line : text->lines)
      if (line.entry && !line.repeated) out.push_back(*line.entry);
  return out;
}

bool KnownPeers::rewrite(const peers::KnownPeersText& text) {
  std::string contents;
  bool hasHeader = !text.lines.empty() && text.lines.front().text.starts_with("#");
  if (!hasHeader) contents = kHeader;
  for (const auto& line : text.lines) {
    contents += line.text;
    contents += '\n';
  }
  const bool ok = peers::writeFileAtomically(_path, contents, peers::WriteMode::Replace) ==
                  peers::WriteResult::Written;
  _stamp.reset();
  _readable = false;
  return ok;
}

bool KnownPeers::pin(std::string_view displayName, const peers::Identifier& identifier) {
  if (!peers::isValidDisplayName(displayName)) {
    QUR_LOG_ERROR("Not pinning a key for an invalid display name");
    return false;
  }
  std::lock_guard lock(_mutex);
  if (!peers::ensurePrivateDirectory(_directory)) return false;
  FileLock fileLock(_path);
  if (!fileLock.ok()) return false;
  _stamp.reset();
  const auto* current = this->current();
  if (!current) return false;  // rewriting would lose pins we could not read
  peers::KnownPeersText text = *current;
  const PinnedPeer entry{std::string(displayName), identifier};
  bool placed = false;
  std::erase_if(text.lines, [&](auto& line) {
    if (!line.entry || line.entry->displayName != displayName) return false;
    if (placed) return true;
    line = {peers::formatPinLine(entry), entry, false};
    placed = true;
    return false;
  });
  if (!placed) text.lines.push_back({peers::formatPinLine(entry), entry, false});
  return rewrite(text);
}

bool KnownPeers::forget(std::string_view displayName) {
  std::lock_guard lock(_mutex);
  FileLock fileLock(_path);
  if (!fileLock.ok()) return false;
  _stamp.reset();
  const auto* current = this->current();
  if (!current) return false;
  peers::KnownPeersText text = *current;
  const auto removed = std::erase_if(text.lines, [&](const auto& line) {
    return line.entry && line.entry->displayName == displayName;
  });
  if (removed == 0) return false;
  return rewrite(text);
}

}  // namespace qur
